#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <strings.h>

#include "platform/dynlib.h"
#include "platform/files.h"
#include "sim/fake_libraries.h"
#include "support/test_support.h"

using namespace ferry::test;

namespace {

constexpr char kMotion[] = "MotionWrapperInterface.dll";

struct FolderBack {
  ~FolderBack() { plat_set_library_dir(nullptr); }
};

std::string file_name(const char *dll_name) {
  char name[256];
  EXPECT_TRUE(plat_library_file_name(dll_name, name, sizeof name)) << dll_name;
  return name;
}

std::string last_error() {
  char text[512];
  plat_dynlib_error_text(text, sizeof text);
  return text;
}

bool ends_with(const std::string &text, const std::string &end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

} // namespace

TEST(PlatformDynlib, WindowsNamesBecomeTheSystemsFileNames) {
  // The build names the library file as the system does.
  EXPECT_EQ(file_name(kMotion), FAKE_MOTION_FILE_NAME);
  EXPECT_EQ(strcasecmp(file_name("MotionWrapperInterface.DLL").c_str(), FAKE_MOTION_FILE_NAME), 0);
  char tiny[8] = "x";
  EXPECT_FALSE(plat_library_file_name(kMotion, tiny, sizeof tiny));
  EXPECT_STREQ(tiny, ""); // no stale text where the name did not fit
  EXPECT_FALSE(plat_library_file_name(nullptr, tiny, sizeof tiny));
  EXPECT_FALSE(plat_library_file_name(kMotion, nullptr, 0));
}

TEST(PlatformDynlib, LibrariesLoadFromTheLibraryFolder) {
  FolderBack back;
  for (std::string folder : {std::string(FAKE_MOTION_SINGLE_POSITION_DIR),
                             std::string(FAKE_MOTION_SINGLE_POSITION_DIR) + plat_dir_separator}) {
    SCOPED_TRACE(folder);
    plat_set_library_dir(folder.c_str());
    plat_dynlib *lib = plat_dynlib_load(kMotion);
    ASSERT_NE(lib, nullptr) << last_error();
    EXPECT_NE(plat_dynlib_symbol(lib, "Move_MWI"), nullptr);
    EXPECT_NE(plat_dynlib_symbol(lib, "FakeMwi_Reset"), nullptr);
    EXPECT_EQ(plat_dynlib_symbol(lib, "GetActualPosition_MWI"), nullptr); // left out
    EXPECT_NE(last_error(), "");
    char path[4096];
    ASSERT_TRUE(plat_loaded_library_path(kMotion, path, sizeof path));
    EXPECT_TRUE(ends_with(path, FAKE_MOTION_FILE_NAME)) << path;
    char tiny[4];
    EXPECT_FALSE(plat_loaded_library_path(kMotion, tiny, sizeof tiny));
    plat_dynlib_unload(lib);
    EXPECT_FALSE(plat_loaded_library_path(kMotion, path, sizeof path));
  }
  plat_dynlib_unload(nullptr);
}

TEST(PlatformDynlib, SetFolderWinsOverTheEnvironment) {
  FolderBack back;
  TempDir empty;
  ScopedEnv variable("FERRY_LIBRARY_DIR", FAKE_MOTION_PAIR_POSITION_DIR);
  plat_set_library_dir(nullptr);
  plat_dynlib *lib = plat_dynlib_load(kMotion);
  ASSERT_NE(lib, nullptr) << last_error();
  EXPECT_NE(plat_dynlib_symbol(lib, "GetActualPosition_MWI"), nullptr); // the pair variant
  plat_dynlib_unload(lib);

  plat_set_library_dir(empty.path().string().c_str());
  EXPECT_EQ(plat_dynlib_load(kMotion), nullptr);
  plat_set_library_dir(nullptr);
  lib = plat_dynlib_load(kMotion);
  EXPECT_NE(lib, nullptr);
  plat_dynlib_unload(lib);
}

TEST(PlatformDynlib, FailuresKeepTheSystemsReason) {
  FolderBack back;
  TempDir empty;
  plat_set_library_dir(empty.path().string().c_str());
  EXPECT_EQ(plat_dynlib_load(kMotion), nullptr);
  std::string reason = last_error();
  EXPECT_NE(reason, "");
  char cut[4];
  plat_dynlib_error_text(cut, sizeof cut);
  EXPECT_EQ(std::string(cut), reason.substr(0, 3));

  EXPECT_EQ(plat_dynlib_load(nullptr), nullptr);
  EXPECT_EQ(plat_dynlib_load(""), nullptr);
  EXPECT_EQ(plat_dynlib_symbol(nullptr, "Move_MWI"), nullptr);
  EXPECT_NE(last_error(), "");
}

TEST(PlatformDynlib, FileVersionComesFromTheLibraryFile) {
  std::string versioned =
      std::string(FAKE_ACQUISITION_DIR) + plat_dir_separator + file_name("CvAcq.dll");
  uint16_t parts[4] = {9, 9, 9, 9};
  ASSERT_TRUE(plat_file_version(versioned.c_str(), parts)) << versioned;
  EXPECT_EQ(parts[0], 3);
  EXPECT_EQ(parts[1], 1);
  EXPECT_EQ(parts[2], 4);
  EXPECT_EQ(parts[3], 0);

  std::string plain =
      std::string(FAKE_MOTION_SINGLE_POSITION_DIR) + plat_dir_separator + file_name(kMotion);
  EXPECT_FALSE(plat_file_version(plain.c_str(), parts));
  EXPECT_FALSE(plat_file_version((plain + ".missing").c_str(), parts));
  EXPECT_FALSE(plat_file_version(nullptr, parts));
}
