#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/files_internal.h"
#include "platform/files.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using namespace ferry::test;

namespace {

// The two byte-order marks as a path text's first two bytes.
enum class Mark { ff_fe, fe_ff };

// A path text carrying a UTF-16 path: the mark, the path's units in the
// host's order (whichever the mark), a zero unit; placed at offset bytes
// into the returned storage so that tests can make it unaligned.
std::vector<char> utf16_path_text(const fs::path &path, Mark mark, size_t offset = 0) {
  std::vector<char> text(offset, 'p');
  text.push_back(static_cast<char>(mark == Mark::ff_fe ? 0xFF : 0xFE));
  text.push_back(static_cast<char>(mark == Mark::ff_fe ? 0xFE : 0xFF));
  for (char16_t unit : path.u16string() + u'\0') {
    char bytes[2];
    std::memcpy(bytes, &unit, 2);
    text.insert(text.end(), bytes, bytes + 2);
  }
  return text;
}

const fs::path kWideName = fs::path(u"r\u00E9sultat_\u03A9.dat");

std::string sep() {
  return std::string(1, plat_dir_separator);
}

// Files with names outside the ANSI code page are made and read through
// the path itself, never through a narrow text of it.
void write_wide(const fs::path &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

std::string read_wide(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

TEST(RegularFileTest, TellsFilesFromFoldersAndNothing) {
  TempDir dir;
  write_file(dir.file("data.bin"), {1, 2});
  EXPECT_TRUE(is_regular_file(dir.file("data.bin").c_str()));
  EXPECT_FALSE(is_regular_file(dir.path().string().c_str()));
  EXPECT_FALSE(is_regular_file(dir.file("missing").c_str()));
  EXPECT_FALSE(is_regular_file(""));
  EXPECT_FALSE(is_regular_file(nullptr));
}

TEST(RegularFileTest, ByteOrderMarkPathsWithEitherMarkAndUnaligned) {
  TempDir dir;
  fs::path file = dir.path() / kWideName;
  write_wide(file, "\x09");
  for (Mark mark : {Mark::ff_fe, Mark::fe_ff}) {
    for (size_t offset : {0u, 1u}) {
      auto text = utf16_path_text(file, mark, offset);
      EXPECT_TRUE(is_regular_file(text.data() + offset)) << "offset " << offset;
      auto folder = utf16_path_text(dir.path(), mark, offset);
      EXPECT_FALSE(is_regular_file(folder.data() + offset));
      auto missing = utf16_path_text(dir.path() / "gone\u00E9", mark, offset);
      EXPECT_FALSE(is_regular_file(missing.data() + offset));
    }
  }
}

TEST(RegularFileTest, OutOfMemoryForAWidePathIsNoFileAndNoLeak) {
  TempDir dir;
  fs::path file = dir.path() / kWideName;
  write_wide(file, "\x09");
  auto text = utf16_path_text(file, Mark::ff_fe);
  FailingAllocator allocator;
  allocator.fail_at(1);
  EXPECT_FALSE(is_regular_file(text.data()));
  EXPECT_TRUE(allocator.failed());
  allocator.never_fail();
  EXPECT_TRUE(is_regular_file(text.data()));
  EXPECT_EQ(allocator.live_blocks(), 0);
}

TEST(RegularFileTest, PathMustEndWithinTheLengthGiven) {
  TempDir dir;
  fs::path file = dir.path() / kWideName;
  write_wide(file, "\x09");
  write_file(dir.file("data.bin"), {1});
  const std::string bytes = dir.file("data.bin");
  struct Case {
    const char *what;
    const char *text;
    size_t length;
    bool found;
  };
  for (Mark mark : {Mark::ff_fe, Mark::fe_ff}) {
    const auto wide = utf16_path_text(file, mark);
    const Case cases[] = {
        {"wide, whole", wide.data(), wide.size(), true},
        {"wide, one byte of its zero unit", wide.data(), wide.size() - 1, false},
        {"wide, without its zero unit", wide.data(), wide.size() - 2, false},
        {"the mark alone", wide.data(), 2, false},
        {"one byte", wide.data(), 1, false},
        {"nothing", wide.data(), 0, false},
        {"bytes, whole", bytes.c_str(), bytes.size() + 1, true},
        {"bytes, without their zero", bytes.c_str(), bytes.size(), false},
    };
    for (const Case &c : cases)
      EXPECT_EQ(is_regular_file_n(c.text, c.length), c.found) << c.what;
  }
  EXPECT_FALSE(is_regular_file_n(nullptr, 10));
}

TEST(RegularFileTest, WidePathWithoutItsZeroUnitIsNotReadOnAndOn) {
  // Nothing after the last unit: a scan that went on would leave the
  // buffer (the address sanitizer build sees it).
  for (size_t units : {size_t(3), size_t(40000)}) {
    std::vector<char> text = {'\xFF', '\xFE'};
    for (size_t i = 0; i < units; ++i)
      text.insert(text.end(), {'a', 'a'});
    EXPECT_FALSE(is_regular_file_n(text.data(), text.size())) << units;
    if (units > 32768) {
      EXPECT_FALSE(is_regular_file(text.data()));
      errno = 0;
      EXPECT_EQ(u_fopen_path_text(text.data(), "rb"), nullptr);
      EXPECT_EQ(errno, ENAMETOOLONG);
    }
  }
}

TEST(PathTextOpen, WritesAndReadsThroughEitherMark) {
  TempDir dir;
  fs::path file = dir.path() / kWideName;
  for (Mark mark : {Mark::ff_fe, Mark::fe_ff}) {
    auto text = utf16_path_text(file, mark, 1);
    FILE *f = u_fopen_path_text(text.data() + 1, "wb");
    ASSERT_NE(f, nullptr);
    std::fputc(mark == Mark::fe_ff ? 'B' : 'L', f);
    std::fclose(f);
    EXPECT_EQ(read_wide(file), mark == Mark::fe_ff ? "B" : "L");
  }
  // Both marks named that one file and no other.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  // A byte path opens as it stands.
  FILE *f = u_fopen_path_text(dir.file("plain.txt").c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_TRUE(fs::exists(dir.file("plain.txt")));
  EXPECT_EQ(u_fopen_path_text(nullptr, "rb"), nullptr);
}

TEST(PathTextOpen, OutOfMemoryOpensNothing) {
  TempDir dir;
  auto text = utf16_path_text(dir.path() / kWideName, Mark::fe_ff);
  FailingAllocator allocator;
  allocator.fail_at(1, true);
  EXPECT_EQ(u_fopen_path_text(text.data(), "wb"), nullptr);
  EXPECT_FALSE(fs::exists(dir.path() / kWideName));
  EXPECT_EQ(allocator.live_blocks(), 0);
}

class FileSearch : public testing::Test {
protected:
  void SetUp() override {
    fs::create_directory(work.path() / "sub");
    fs::current_path(work.path());
    ferry::reset_path_caches("nowhere");
  }
  void TearDown() override {
    const char *ignored = nullptr;
    u_find_file(nullptr, &ignored); // gives the last result back
    fs::current_path(saved_cwd);
    ferry::reset_path_caches();
  }

  fs::path saved_cwd = fs::current_path();
  TempDir work, config;
  ScopedEnv install{"MB_INSTALL_DIR", nullptr};
  ScopedEnv config_env{"MB_CONFIG_DIR", config.path().string().c_str()};
  ScopedEnv ramps{"MB_RAMPS_DIR", nullptr};
  MessageCapture capture;
};

TEST_F(FileSearch, WorkingDirectoryComesBeforeTheConfigurationDirectory) {
  write_text(work.file("both.cfg"), "work");
  write_text(config.file("both.cfg"), "config");
  write_text(config.file("only.cfg"), "config");
  const char *found = nullptr;
  ASSERT_EQ(u_find_file("both.cfg", &found), 0);
  EXPECT_EQ(std::string(found), "." + sep() + "both.cfg");
  ASSERT_EQ(u_find_file("only.cfg", &found), 0);
  EXPECT_EQ(std::string(found), config.path().string() + sep() + "only.cfg");
  EXPECT_EQ(read_text(found), "config");
  EXPECT_EQ(capture.text(), "");
}

TEST_F(FileSearch, MissingNamesAndFoldersAreNotFound) {
  const char *found = "untouched";
  EXPECT_EQ(u_find_file("absent.cfg", &found), ERR_CANT_READ_FILE);
  EXPECT_EQ(u_find_file("sub", &found), ERR_CANT_READ_FILE);
  EXPECT_STREQ(found, "untouched");
  EXPECT_EQ(u_find_file("", &found), 0);
  EXPECT_EQ(u_find_file(nullptr, &found), 0);
  EXPECT_STREQ(found, "untouched");
}

TEST_F(FileSearch, AnAbsoluteNameIsNotLookedForInTheConfigurationDirectory) {
  write_text(config.file("there.cfg"), "x");
  const char *found = nullptr;
  std::string dotted = "." + sep() + "there.cfg";
  EXPECT_EQ(u_find_file(dotted.c_str(), &found), ERR_CANT_READ_FILE);
  std::string full = config.file("there.cfg");
  ASSERT_EQ(u_find_file(full.c_str(), &found), 0);
  EXPECT_EQ(std::string(found), full);
  std::string gone = config.file("gone.cfg");
  EXPECT_EQ(u_find_file(gone.c_str(), &found), ERR_CANT_READ_FILE);
}

TEST_F(FileSearch, ConfigurationDirectoryStartingWithAMarkIsReadAsBytes) {
  // The joined candidate ends where its bytes end, whatever its first two
  // bytes look like.
  ScopedEnv marked("MB_CONFIG_DIR", "\xFF\xFE"
                                    "cfg");
  ferry::reset_path_caches("nowhere");
  const char *found = nullptr;
  EXPECT_EQ(u_find_file("absent.cfg", &found), ERR_CANT_READ_FILE);
  EXPECT_EQ(found, nullptr);
}

TEST_F(FileSearch, WithoutAConfigurationDirectoryARelativeNameCantBeOpened) {
  ScopedEnv empty_install("MB_INSTALL_DIR", "");
  ScopedEnv no_config("MB_CONFIG_DIR", nullptr);
  ferry::reset_path_caches("nowhere");
  const char *found = nullptr;
  EXPECT_EQ(u_find_file("absent.cfg", &found), ERR_CANT_OPEN_FILE);
  write_text(work.file("here.cfg"), "x");
  EXPECT_EQ(u_find_file("here.cfg", &found), 0);
}

TEST_F(FileSearch, TheResultBufferIsOwnedAndReleasedByTheNextSearch) {
  write_text(config.file("a.cfg"), "x");
  FailingAllocator allocator;
  const char *found = nullptr;
  ASSERT_EQ(u_find_file("a.cfg", &found), 0);
  EXPECT_EQ(allocator.live_blocks(), 1);
  ASSERT_EQ(u_find_file("a.cfg", &found), 0);
  EXPECT_EQ(allocator.live_blocks(), 1);
  EXPECT_EQ(u_find_file("absent.cfg", &found), ERR_CANT_READ_FILE);
  EXPECT_EQ(allocator.live_blocks(), 0);
}

TEST_F(FileSearch, OutOfMemoryAtEveryCandidate) {
  write_text(config.file("deep.cfg"), "x");
  const char *found = nullptr;
  auto search = [&] { return u_find_file("deep.cfg", &found); };
  auto release = [] {
    const char *ignored = nullptr;
    u_find_file(nullptr, &ignored);
  };
  EXPECT_EQ(expect_no_leak_under_oom(search, release), 2);
}

TEST(FileCopy, CopiesAndReportsFailureWithTheSystemsNumber) {
  TempDir dir;
  write_file(dir.file("from"), {1, 2, 3, 4});
  write_file(dir.file("to"), std::vector<uint8_t>(10, 0));
  MessageCapture capture;
  EXPECT_EQ(u_copy_file(dir.file("from").c_str(), dir.file("to").c_str()), 0);
  EXPECT_EQ(read_file(dir.file("to")), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(capture.text(), "");

  EXPECT_EQ(u_copy_file(dir.file("none").c_str(), dir.file("to").c_str()), ERR_CANT_WRITE_FILE);
  EXPECT_EQ(capture.text(), "u_copy_file failed: win_err = 2\n");
  EXPECT_EQ(read_file(dir.file("to")), (std::vector<uint8_t>{1, 2, 3, 4}));
}
