#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "base/files.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using namespace ferry::test;

namespace {

// Line i of a test log: 19 characters and a line end.
std::string log_line(int i) {
  std::string line = "entry " + std::to_string(100 + i) + " ";
  line.resize(19, '.');
  return line + "\n";
}

std::string log_lines(int first, int last) {
  std::string text;
  for (int i = first; i <= last; ++i)
    text += log_line(i);
  return text;
}

// The log as lines; the text mode of Windows writes its line ends as CR LF.
std::string content(const std::string &path) {
  std::string text = read_text(path);
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

class LogFile : public testing::Test {
protected:
  // The temporary files of the trimming go to a folder of the test's own, so
  // that none may be left behind unseen.
  TempDir dir, temp;
  ScopedEnv tmpdir{"TMPDIR", temp.path().string().c_str()};
  ScopedEnv tmp{"TMP", temp.path().string().c_str()};
  ScopedEnv temp_env{"TEMP", temp.path().string().c_str()};
  std::string log = dir.file("run.log");
  MessageCapture capture;

  bool temp_is_empty() const { return fs::is_empty(temp.path()); }
};

} // namespace

TEST_F(LogFile, ALimitOfZeroAppendsWithoutEverTrimming) {
  write_text(log, log_lines(1, 100));
  EXPECT_EQ(u_log_to_file(log.c_str(), "one\n", 0, 500), 0);
  EXPECT_EQ(u_log_to_file(log.c_str(), "two\n", 0, 500), 0);
  EXPECT_EQ(content(log), log_lines(1, 100) + "one\ntwo\n");
  EXPECT_EQ(capture.text(), "");
}

TEST_F(LogFile, AMissingLogIsCreated) {
  EXPECT_EQ(u_log_to_file(log.c_str(), "first line\n", 1000, 500), 0);
  EXPECT_EQ(content(log), "first line\n");
}

TEST_F(LogFile, AFullLogDropsItsOldestLinesBeforeTheAppend) {
  write_text(log, log_lines(1, 60));
  ASSERT_EQ(fs::file_size(log), 1200u);
  EXPECT_EQ(u_log_to_file(log.c_str(), "newest\n", 1000, 500), 0);
  // 700 counted bytes must go; each line counts its 20 characters plus one,
  // so 34 lines (714) are dropped, where the bare byte count would drop 35.
  EXPECT_EQ(content(log), log_lines(35, 60) + "newest\n");
  EXPECT_EQ(capture.text(), "");
  EXPECT_TRUE(temp_is_empty());
}

TEST_F(LogFile, NoTrimmingBelowTheLimitOrWithoutAKeepSize) {
  write_text(log, log_lines(1, 49)); // 980 bytes
  EXPECT_EQ(u_log_to_file(log.c_str(), "a\n", 1000, 500), 0);
  EXPECT_EQ(content(log), log_lines(1, 49) + "a\n");

  write_text(log, log_lines(1, 60));
  EXPECT_EQ(u_log_to_file(log.c_str(), "b\n", 1000, 0), 0);
  EXPECT_EQ(u_log_to_file(log.c_str(), "c\n", 1000, -5), 0);
  // Keeping more than there is leaves it all.
  EXPECT_EQ(u_log_to_file(log.c_str(), "d\n", 1000, 5000), 0);
  EXPECT_EQ(content(log), log_lines(1, 60) + "b\nc\nd\n");
  EXPECT_TRUE(temp_is_empty());
}

TEST_F(LogFile, ANegativeLimitMeansUnlimited) {
  EXPECT_EQ(u_log_to_file(log.c_str(), "kept\n", -1, 10), 0);
  write_text(log, log_lines(1, 60));
  EXPECT_EQ(u_log_to_file(log.c_str(), "also kept\n", -1, 10), 0);
  EXPECT_EQ(content(log), log_lines(1, 60) + "also kept\n");
}

TEST_F(LogFile, ALogThatCantBeOpenedOrCreatedIsAnAccessError) {
  std::string unreachable = dir.file("no/such/folder/run.log");
  EXPECT_EQ(u_log_to_file(unreachable.c_str(), "x\n", 1000, 500), ERR_FILE_IO);
  EXPECT_EQ(capture.text(), "u_log_to_file: error accessing file '" + unreachable + "'\n");
  EXPECT_EQ(u_log_to_file(nullptr, "x\n", 1000, 500), ERR_INVALID_PARAM);
}
