#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "osutil/os_util.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "support/test_support.h"

using namespace ferry::test;

namespace {

constexpr char kChildOutput[] = "FERRY_OSUTIL_CHILD_OUTPUT";
constexpr char kChildFilter[] = "--gtest_filter=OsUtilChild.ActsAsAskedWhenStartedAsChild";

// Files written in text mode end their lines with CR LF on Windows.
std::string text_lines(const std::string &path) {
  std::string text = read_text(path);
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// A command line that starts this test program as the child below, which
// exits with the code given as its first argument.
std::string child_line(const std::string &arguments) {
  char self[4096];
  EXPECT_TRUE(plat_executable_path(self, sizeof self));
  return std::string("\"") + self + "\" " + kChildFilter + " " + arguments;
}

// The child's report: one "arg:[...]" line per argument after the filter,
// then "done".
std::string child_report(const std::vector<std::string> &args) {
  std::string report;
  for (const auto &arg : args)
    report += "arg:[" + arg + "]\n";
  return report + "done\n";
}

// Waits, for a bounded time, until a child started without waiting has
// written its whole report.
std::string await_report(const std::string &path) {
  for (int i = 0; i < 2000; ++i) {
    std::string text = std::filesystem::exists(path) ? text_lines(path) : "";
    if (text.size() >= 5 && text.compare(text.size() - 5, 5, "done\n") == 0)
      return text;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return "(no report)";
}

} // namespace

// Not a test of its own: the body of the child that the tests below start.
TEST(OsUtilChild, ActsAsAskedWhenStartedAsChild) {
  const char *output = plat_getenv(kChildOutput);
  if (!output)
    GTEST_SKIP() << "runs only as the child of the command tests";
  const auto &args = testing::internal::GetArgvs();
  std::FILE *report = std::fopen(output, "w");
  ASSERT_NE(report, nullptr);
  for (size_t i = 2; i < args.size(); ++i)
    std::fprintf(report, "arg:[%s]\n", args[i].c_str());
  std::fprintf(report, "done\n");
  std::fclose(report);
  std::_Exit(args.size() > 2 ? std::atoi(args[2].c_str()) : 0);
}

TEST(RunCommand, ProgramsAndInterpreterCommandsReturnTheirExitCodes) {
  TempDir dir;
  ScopedEnv output(kChildOutput, dir.file("report.txt").c_str());
  // A program, started as it stands.
  EXPECT_EQ(u_run_command(child_line("5 two").c_str(), U_SHOW_HIDDEN), 5);
  EXPECT_EQ(text_lines(dir.file("report.txt")), child_report({"5", "two"}));
  EXPECT_EQ(u_run_command(("   " + child_line("0")).c_str(), U_SHOW_MINIMISED), 0);
  EXPECT_EQ(text_lines(dir.file("report.txt")), child_report({"0"}));

  // What names no program is run by the command interpreter.
  const struct {
    const char *line;
    int exit_code;
  } cases[] = {{"exit 3", 3}, {"  exit 0", 0}, {"exit 7", 7}};
  for (const auto &c : cases)
    EXPECT_EQ(u_run_command(c.line, U_SHOW_NORMAL), c.exit_code) << c.line;
  std::string written = dir.file("echo.txt");
  EXPECT_EQ(u_run_command(("echo text> " + written).c_str(), U_SHOW_HIDDEN), 0);
  EXPECT_EQ(text_lines(written), "text\n");
}

TEST(RunCommand, ALineThatCannotBeStartedGivesTheSystemError) {
  // Longer than any system lets a program's command line be.
  std::string line(300000, 'x');
  int error = u_run_command(line.c_str(), U_SHOW_HIDDEN);
  EXPECT_NE(error, 0);
  char text[512];
  EXPECT_TRUE(plat_system_error_text(static_cast<uint32_t>(error), text, sizeof text)) << error;
  EXPECT_NE(u_run_command(nullptr, U_SHOW_HIDDEN), 0);
}

TEST(StartProcess, ArgumentsAreSplitAsTheWindowsRuntimeSplitsThem) {
  TempDir dir;
  ScopedEnv output(kChildOutput, dir.file("report.txt").c_str());
  const struct {
    const char *arguments;
    std::vector<std::string> args;
  } cases[] = {
      {"4 plain", {"4", "plain"}},
      {"4   many\t blanks   ", {"4", "many", "blanks"}},
      {"4 \"two words\"", {"4", "two words"}},
      {"4 \"\" x", {"4", "", "x"}},
      {"4 x\"y z\"w", {"4", "xy zw"}},
      {"4 \"quote\\\"inside\"", {"4", "quote\"inside"}},
      {"4 \"trail\\\\\"", {"4", "trail\\"}},
      {"4 dir\\\\ a\\b", {"4", "dir\\\\", "a\\b"}},
      {"4 a\\\\\\\"b", {"4", "a\\\"b"}},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(u_start_process(child_line(c.arguments).c_str(), U_SHOW_HIDDEN, 1), 4) << c.arguments;
    EXPECT_EQ(text_lines(dir.file("report.txt")), child_report(c.args)) << c.arguments;
  }
}

TEST(StartProcess, WithoutWaitingItReturnsOnceStarted) {
  TempDir dir;
  for (int round = 0; round < 3; ++round) {
    std::string report = dir.file("report" + std::to_string(round) + ".txt");
    ScopedEnv output(kChildOutput, report.c_str());
    EXPECT_EQ(u_start_process(child_line("9 round").c_str(), U_SHOW_NORMAL, 0), 0);
    EXPECT_EQ(await_report(report), child_report({"9", "round"}));
  }
}

TEST(StartProcess, AMissingProgramIsNotFound) {
  TempDir dir;
  // "File not found" is 2 on both systems.
  std::string line = "\"" + dir.file("no-such-program") + "\" x";
  EXPECT_EQ(u_start_process(line.c_str(), U_SHOW_HIDDEN, 1), 2);
  EXPECT_EQ(u_start_process(line.c_str(), U_SHOW_HIDDEN, 0), 2);
  EXPECT_NE(u_start_process(nullptr, U_SHOW_HIDDEN, 1), 0);
}
