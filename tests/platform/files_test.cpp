#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/files.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using namespace ferry::test;

namespace {

// A name with letters outside ASCII and outside Latin-1, so that neither an
// ANSI code page nor a byte-wise copy can stand in for a real conversion.
const std::u16string kWideName = u"mes\u00E9ure_\u03A9_\u6E2C.dat";

std::u16string wide_path(const fs::path &dir, const std::u16string &name) {
  return (dir / fs::path(name)).u16string();
}

bool type_of(const char *path, uint32_t expected) {
  uint32_t bits = 0;
  return plat_file_type(path, &bits) && bits == expected;
}

} // namespace

TEST(PlatformFiles, Utf16PathsCreateTestAndReadNonAsciiNames) {
  TempDir dir;
  std::u16string path = wide_path(dir.path(), kWideName);
  FILE *f = plat_fopen_utf16(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite("\x01\x02\x03", 1, 3, f), 3u);
  ASSERT_EQ(std::fflush(f), 0);
  EXPECT_EQ(plat_file_size(f), 3);
  std::fclose(f);

  EXPECT_TRUE(fs::exists(dir.path() / fs::path(kWideName)));
  uint32_t bits = 0;
  ASSERT_TRUE(plat_file_type_utf16(path.c_str(), &bits));
  EXPECT_EQ(bits, 0x8000u);

  f = plat_fopen_utf16(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(plat_file_size(f), 3);
  unsigned char back[4] = {};
  EXPECT_EQ(std::fread(back, 1, sizeof back, f), 3u);
  std::fclose(f);
  EXPECT_EQ(back[2], 3);

  std::u16string folder = dir.path().u16string();
  ASSERT_TRUE(plat_file_type_utf16(folder.c_str(), &bits));
  EXPECT_EQ(bits, 0x4000u);
  std::u16string missing = wide_path(dir.path(), u"missing\u00E9");
  EXPECT_FALSE(plat_file_type_utf16(missing.c_str(), &bits));
  EXPECT_EQ(plat_fopen_utf16(missing.c_str(), "rb"), nullptr);
}

TEST(PlatformFiles, ByteTypeSizeAndDeletion) {
  TempDir dir;
  std::string file = dir.file("plain.bin");
  write_file(file, std::vector<uint8_t>(1234, 7));
  EXPECT_TRUE(type_of(file.c_str(), 0x8000));
  EXPECT_TRUE(type_of(dir.path().string().c_str(), 0x4000));
  uint32_t bits = 0;
  EXPECT_FALSE(plat_file_type(dir.file("none").c_str(), &bits));
  EXPECT_FALSE(plat_file_type(nullptr, &bits));

  FILE *f = plat_fopen(file.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(plat_file_size(f), 1234);
  std::fclose(f);
  EXPECT_EQ(plat_file_size(nullptr), -1);

  EXPECT_TRUE(plat_delete_file(file.c_str()));
  EXPECT_FALSE(fs::exists(file));
  EXPECT_FALSE(plat_delete_file(file.c_str()));
}

TEST(PlatformFiles, DirectoryCreationIsOneLevelAndRefusesExistingOnes) {
  TempDir dir;
  std::string sub = dir.file("sub");
  EXPECT_FALSE(plat_is_directory(sub.c_str()));
  EXPECT_TRUE(plat_make_directory(sub.c_str()));
  EXPECT_TRUE(plat_is_directory(sub.c_str()));
  EXPECT_FALSE(plat_make_directory(sub.c_str()));
  EXPECT_FALSE(plat_make_directory(dir.file("a/b/c").c_str()));

  write_file(dir.file("file"), {1});
  EXPECT_FALSE(plat_is_directory(dir.file("file").c_str()));
  EXPECT_FALSE(plat_is_directory(nullptr));
}

TEST(PlatformFiles, CopyReplacesTheTargetWhole) {
  TempDir dir;
  std::string source = dir.file("source"), target = dir.file("target");
  std::vector<uint8_t> bytes(100000);
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<uint8_t>(i * 31);
  write_file(source, bytes);
  write_file(target, std::vector<uint8_t>(300000, 0xAA));

  uint32_t error = 12345;
  ASSERT_TRUE(plat_copy_file(source.c_str(), target.c_str(), &error));
  EXPECT_EQ(read_file(target), bytes);
  EXPECT_EQ(read_file(source), bytes);
}

TEST(PlatformFiles, CopyFailuresGiveTheSystemsErrorNumber) {
  TempDir dir;
  uint32_t error = 0;
  // File not found is 2 on both systems (ENOENT, ERROR_FILE_NOT_FOUND).
  EXPECT_FALSE(plat_copy_file(dir.file("none").c_str(), dir.file("t").c_str(), &error));
  EXPECT_EQ(error, 2u);
  EXPECT_FALSE(fs::exists(dir.file("t")));

  error = 0;
  EXPECT_FALSE(plat_copy_file(nullptr, dir.file("t").c_str(), &error));
  EXPECT_NE(error, 0u);

  // A file copied onto itself must survive.
  std::string self = dir.file("self");
  write_file(self, {1, 2, 3});
  error = 0;
  EXPECT_FALSE(plat_copy_file(self.c_str(), self.c_str(), &error));
  EXPECT_NE(error, 0u);
  EXPECT_EQ(read_file(self), (std::vector<uint8_t>{1, 2, 3}));
}

TEST(PlatformFiles, TempNamesAreNewFilesWithThePrefix) {
  TempDir dir;
  // Both systems take their temporary folder from the environment.
  ScopedEnv tmpdir("TMPDIR", dir.path().string().c_str());
  ScopedEnv tmp("TMP", dir.path().string().c_str());
  ScopedEnv temp("TEMP", dir.path().string().c_str());
  char first[4096], second[4096];
  ASSERT_TRUE(plat_temp_file_name("_log", first, sizeof first));
  ASSERT_TRUE(plat_temp_file_name("_log", second, sizeof second));
  EXPECT_NE(std::string(first), std::string(second));
  for (const char *name : {first, second}) {
    fs::path p(name);
    EXPECT_TRUE(fs::is_regular_file(p)) << name;
    // Windows takes only the first three characters of a prefix.
    EXPECT_EQ(p.filename().string().rfind("_lo", 0), 0u) << name;
    EXPECT_TRUE(fs::equivalent(p.parent_path(), dir.path())) << name;
  }
  char tiny[4];
  EXPECT_FALSE(plat_temp_file_name("_log", tiny, sizeof tiny));
}

TEST(PlatformFiles, AbsoluteNamesAndSeparatorFollowTheSystem) {
  if (plat_dir_separator == '/') {
    EXPECT_TRUE(plat_is_native_absolute("/etc"));
  } else {
    EXPECT_EQ(plat_dir_separator, '\\');
    EXPECT_FALSE(plat_is_native_absolute("/etc"));
  }
  EXPECT_FALSE(plat_is_native_absolute("etc"));
  EXPECT_FALSE(plat_is_native_absolute(""));
  EXPECT_FALSE(plat_is_native_absolute(nullptr));

  char path[] = "C:\\Tools\\FerryCvt.EXE";
  plat_fold_path_case(path);
  EXPECT_STREQ(path,
               plat_dir_separator == '\\' ? "c:\\tools\\ferrycvt.exe" : "C:\\Tools\\FerryCvt.EXE");
}
