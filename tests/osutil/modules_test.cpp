#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "base/errors.h"
#include "osutil/os_util.h"
#include "osutil/os_util_internal.h"
#include "platform/clock.h"
#include "platform/dynlib.h"
#include "platform/osutil.h"
#include "support/test_support.h"

using namespace ferry::test;

namespace {

// What the DllGetVersion of the stand-in answers.
enum { kFullVersion = 0, kThreePartVersion = 1, kFailure = 2 };

std::string internal_name(const std::string &path, size_t bytes = 256) {
  std::vector<char> buffer(bytes, 'x');
  int result = u_module_internal_name(path.c_str(), buffer.data(), bytes);
  EXPECT_EQ(result == 0, buffer[0] != '\0') << path;
  return result == 0 ? std::string(buffer.data()) : "(none)";
}

std::vector<int32_t> version_of(void *module, const std::string &path) {
  u_module_record record{};
  std::snprintf(record.path, sizeof record.path, "%s", path.c_str());
  std::fill(record.version, record.version + 4, 99);
  u_module_version(module, &record);
  return {record.version[0], record.version[1], record.version[2], record.version[3]};
}

// The two stand-in libraries, loaded for the test's lifetime.
class StandInModules : public testing::Test {
protected:
  void SetUp() override {
    plat_set_library_dir(
        std::filesystem::path(FERRY_DLLVERSION_PATH).parent_path().string().c_str());
    versioned_ = plat_dynlib_load("ferry_versioned.dll");
    dllversion_ = plat_dynlib_load("ferry_dllversion.dll");
    ASSERT_NE(versioned_, nullptr);
    ASSERT_NE(dllversion_, nullptr);
    set_answer_ = reinterpret_cast<void (*)(int32_t)>(
        plat_dynlib_symbol(dllversion_, "ferry_sim_set_dll_version_answer"));
    ASSERT_NE(set_answer_, nullptr);
    handle_ = plat_module_find(FERRY_DLLVERSION_PATH);
    ASSERT_NE(handle_, nullptr);
  }
  void TearDown() override {
    if (set_answer_)
      set_answer_(kFullVersion);
    plat_module_release(handle_);
    plat_dynlib_unload(dllversion_);
    plat_dynlib_unload(versioned_);
    plat_set_library_dir(nullptr);
  }

  plat_dynlib *versioned_ = nullptr;
  plat_dynlib *dllversion_ = nullptr;
  void (*set_answer_)(int32_t) = nullptr;
  void *handle_ = nullptr;
};

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

std::string lower(std::string text) {
  for (char &c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string listed_time(int64_t modified) {
  struct tm local {};
  EXPECT_TRUE(plat_localtime(modified, &local));
  char text[64];
  std::strftime(text, sizeof text, "%m/%d/%Y %I:%M %p", &local);
  return text;
}

} // namespace

TEST(ModuleInternalName, ReadFromTheModuleAndCopiedOnlyWhenItFits) {
  const std::string expected = FERRY_VERSIONED_INTERNAL_NAME;
  EXPECT_EQ(internal_name(FERRY_VERSIONED_PATH), expected);
  EXPECT_EQ(internal_name(FERRY_VERSIONED_PATH, expected.size() + 1), expected);
  EXPECT_EQ(internal_name(FERRY_VERSIONED_PATH, expected.size()), "(none)");
  // A library without one, a file that is no module, a missing file.
  TempDir dir;
  write_text(dir.file("text.dll"), "not a module\n");
  EXPECT_EQ(internal_name(FERRY_DLLVERSION_PATH), "(none)");
  EXPECT_EQ(internal_name(dir.file("text.dll")), "(none)");
  EXPECT_EQ(internal_name(dir.file("missing.dll")), "(none)");
  char buffer[8] = "x";
  EXPECT_EQ(u_module_internal_name(nullptr, buffer, sizeof buffer), 1);
  EXPECT_EQ(u_module_internal_name(FERRY_VERSIONED_PATH, buffer, 0), 1);
}

TEST(ModuleInternalName, DamagedModulesAreReadSafely) {
  std::vector<uint8_t> bytes = read_file(FERRY_VERSIONED_PATH);
  ASSERT_GT(bytes.size(), 4096u);
  const std::string expected = FERRY_VERSIONED_INTERNAL_NAME;
  TempDir dir;
  auto check = [&](const std::vector<uint8_t> &damaged, const std::string &what) {
    std::string path = dir.file("damaged.dll");
    write_file(path, damaged);
    // A damaged name may still be read; whatever comes back is a whole text
    // within the buffer, or nothing.
    std::vector<char> buffer(expected.size() + 1, 'x');
    int result = u_module_internal_name(path.c_str(), buffer.data(), buffer.size());
    EXPECT_EQ(result == 0, buffer[0] != '\0') << what;
    EXPECT_NE(std::find(buffer.begin(), buffer.end(), '\0'), buffer.end()) << what;
  };
  for (size_t cut : {size_t{0}, size_t{4}, size_t{63}, size_t{64}, size_t{512}, bytes.size() / 2,
                     bytes.size() - 1})
    check(std::vector<uint8_t>(bytes.begin(), bytes.begin() + cut),
          "cut at " + std::to_string(cut));
  // Bytes set to all ones, one at a time: each of the file header, then a
  // sample of the first kilobyte and of the end, where the tables lie.
  std::vector<size_t> spots;
  for (size_t at = 0; at < 64; ++at)
    spots.push_back(at);
  for (size_t at = 64; at < 1024; at += 16)
    spots.push_back(at);
  for (size_t at = bytes.size() - 2048; at < bytes.size(); at += 32)
    spots.push_back(at);
  for (size_t at : spots) {
    std::vector<uint8_t> damaged = bytes;
    damaged[at] = 0xFF;
    check(damaged, "byte " + std::to_string(at));
  }
}

TEST(ModuleVersion, VersionTextOfEachForm) {
  const struct {
    int32_t version[4];
    const char *text;
  } cases[] = {
      {{1, 2, 3, 4}, "1.2.3.4"}, {{0, 0, 0, 0}, "0.0.0.0"},
      {{4, 5, 6, -1}, "4.5.6"},  {{-1, -1, -1, -1}, ""},
      {{-1, 2, 3, 4}, ""},       {{65535, 65535, 65535, 65535}, "65535.65535.65535.65535"},
      {{5, 0, 0, -7}, "5.0.0"},
  };
  for (const auto &c : cases) {
    char text[U_VERSION_TEXT_BYTES];
    std::memset(text, 'x', sizeof text);
    u_version_text(c.version, text);
    EXPECT_STREQ(text, c.text);
  }
}

TEST_F(StandInModules, VersionFromTheFileElseFromDllGetVersion) {
  // The file's own version wins, with or without a handle.
  EXPECT_EQ(version_of(nullptr, FERRY_VERSIONED_PATH), (std::vector<int32_t>{1, 2, 3, 4}));

  const struct {
    int32_t answer;
    std::vector<int32_t> version;
  } cases[] = {
      {kFullVersion, {7, 8, 9, 10}},
      {kThreePartVersion, {4, 5, 6, -1}},
      {kFailure, {-1, -1, -1, -1}},
  };
  for (const auto &c : cases) {
    set_answer_(c.answer);
    EXPECT_EQ(version_of(handle_, FERRY_DLLVERSION_PATH), c.version) << c.answer;
  }
  // Without a handle there is nothing to ask.
  set_answer_(kFullVersion);
  EXPECT_EQ(version_of(nullptr, FERRY_DLLVERSION_PATH), (std::vector<int32_t>{-1, -1, -1, -1}));
  u_module_version(handle_, nullptr);
}

TEST_F(StandInModules, ListingShowsEveryLibrarySortedAndAligned) {
  set_answer_(kThreePartVersion);
  MessageCapture capture;
  EXPECT_EQ(ntGetLoadedModules(), 0);
  std::string text = capture.text();
  std::vector<std::string> lines = lines_of(text);
  ASSERT_GE(lines.size(), 5u) << text;
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(text.substr(text.size() - 2), "\n\n");
  EXPECT_EQ(lines.back(), "");
  std::vector<std::string> entries(lines.begin() + 2, lines.end() - 1);
  EXPECT_EQ(lines[1], std::to_string(entries.size()) +
                          " loaded DLLs (file name, version, size in bytes, last modified, "
                          "location):")
      << text;

  // Names padded to the longest, sorted ignoring case.
  std::vector<std::string> names;
  for (const auto &entry : entries)
    names.push_back(entry.substr(0, entry.find(' ')));
  size_t width = 0;
  for (const auto &name : names)
    width = std::max(width, name.size());
  for (const auto &entry : entries)
    EXPECT_EQ(entry.substr(width, 2), "  ") << entry;
  for (size_t i = 1; i < names.size(); ++i)
    EXPECT_LE(lower(names[i - 1]), lower(names[i]));

  // Each stand-in with its version, size, time and folder.
  const struct {
    const char *dll_name;
    const char *path;
    const char *version;
  } stand_ins[] = {{"ferry_versioned.dll", FERRY_VERSIONED_PATH, "1.2.3.4"},
                   {"ferry_dllversion.dll", FERRY_DLLVERSION_PATH, "4.5.6"}};
  for (const auto &stand_in : stand_ins) {
    // Listed by the name it was loaded by.
    char loaded[256];
    ASSERT_TRUE(plat_library_file_name(stand_in.dll_name, loaded, sizeof loaded));
    std::filesystem::path file(stand_in.path);
    int64_t size = 0, modified = 0;
    ASSERT_TRUE(plat_file_size_and_time(stand_in.path, &size, &modified));
    char expected[1024];
    std::snprintf(expected, sizeof expected, "%-*s  %25s  %8d  %s  ", static_cast<int>(width),
                  loaded, stand_in.version, static_cast<int>(size), listed_time(modified).c_str());
    auto found = std::find_if(entries.begin(), entries.end(), [&](const std::string &entry) {
      return entry.rfind(expected, 0) == 0;
    });
    ASSERT_NE(found, entries.end()) << expected << "\n" << text;
    std::string folder = found->substr(std::strlen(expected));
    EXPECT_EQ(std::filesystem::path(folder).filename(), file.parent_path().filename()) << *found;
  }
}

TEST_F(StandInModules, ListingWithoutMemoryReportsItAndLeaksNothing) {
  MessageCapture capture;
  expect_no_leak_under_oom(
      [&] {
        capture.clear();
        ntGetLoadedModules();
        return capture.text() == "ntGetLoadedModules: ERR_NO_MEM\n" ? ERR_NO_MEM : ERR_NONE;
      },
      [] {});
}
