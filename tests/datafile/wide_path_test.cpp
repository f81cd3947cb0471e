// Output paths given as a byte-order mark and a wide string: whichever of
// the two marks a host writes, the string after it is in the host's own
// order and names the same file.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/files.h"
#include "datafile/data_file.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using ferry::test::TempDir;

namespace {

struct Mark {
  const char *name;
  unsigned char first, second;
};
constexpr Mark marks[] = {{"FF FE", 0xFF, 0xFE}, {"FE FF", 0xFE, 0xFF}};

// The mark, then the path as the host holds a wide string: its units in
// the host's order, ending in a zero unit.
std::string path_text(const Mark &mark, const fs::path &path) {
  std::string text{static_cast<char>(mark.first), static_cast<char>(mark.second)};
  for (char16_t unit : path.u16string() + u'\0') {
    char bytes[2];
    std::memcpy(bytes, &unit, sizeof bytes);
    text.append(bytes, sizeof bytes);
  }
  return text;
}

std::vector<std::u16string> listing(const fs::path &dir) {
  std::vector<std::u16string> names;
  for (const auto &entry : fs::directory_iterator(dir))
    names.push_back(entry.path().filename().u16string());
  return names;
}

// A 2 x 2 phase window: 834 header bytes and 16 sample bytes.
struct Phase {
  int32_t samples[4] = {1, -2, 3, -4};
  phase_matrix m{4, 0, 0, 2, 2, samples};
};

// Works inside a fresh folder: a path read in the wrong order turns into
// a relative name, which then lands in this folder, where the listing sees
// it.
class WidePathText : public ::testing::Test {
protected:
  void SetUp() override { fs::current_path(dir.path()); }
  void TearDown() override { fs::current_path(saved_cwd); }

  const fs::path saved_cwd = fs::current_path();
  TempDir dir;
};

TEST_F(WidePathText, EitherMarkFindsAndCreatesTheSameFile) {
  const std::u16string names[] = {u"plain.dat", u"r\u00E9sultat_\u03A9.dat",
                                  u"\u6E2C\u5B9A \u00FC.dat"};
  Phase phase;
  for (const std::u16string &name : names) {
    for (bool absolute : {true, false}) {
      for (const Mark &writer : marks) {
        const fs::path file = absolute ? dir.path() / fs::path(name) : fs::path(name);
        SCOPED_TRACE(file.string() + " written after " + writer.name);
        const std::string written = path_text(writer, file);
        EXPECT_FALSE(is_regular_file(written.c_str()));
        ASSERT_EQ(write_data_file(written.c_str(), nullptr, nullptr, nullptr, &phase.m), ERR_NONE);
        EXPECT_EQ(listing(dir.path()), std::vector<std::u16string>{name});
        EXPECT_EQ(fs::file_size(dir.path() / fs::path(name)), 834u + 16u);
        for (const Mark &finder : marks)
          EXPECT_TRUE(is_regular_file(path_text(finder, file).c_str())) << finder.name;
        fs::remove(dir.path() / fs::path(name));
      }
    }
  }
}

} // namespace
