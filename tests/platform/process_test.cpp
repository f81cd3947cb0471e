#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/test_support.h"

using namespace ferry::test;

namespace {

constexpr char kChildVariable[] = "FERRY_PLATFORM_TEST_CHILD";
constexpr char kChildFilter[] = "--gtest_filter=ChildProcess.ActsAsAskedWhenStartedAsChild";

std::string own_path() {
  char path[4096];
  EXPECT_TRUE(plat_executable_path(path, sizeof path));
  return path;
}

// The child writes its streams in text mode, which on Windows ends lines
// with CR LF.
std::string lines_of(const std::string &path) {
  std::string text = read_text(path);
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

struct ChildRun {
  bool started = false;
  int status = -1;
  std::string out, err;
};

// Runs this test program as a child that exits with exit_code; the extra
// arguments come back on its standard output, one "arg:" line each.
ChildRun run_child(const TempDir &dir, int exit_code, const std::vector<std::string> &extra = {},
                   bool same_file = false) {
  ScopedEnv mode(kChildVariable, std::to_string(exit_code).c_str());
  std::string self = own_path();
  std::vector<const char *> argv{self.c_str(), kChildFilter};
  for (const auto &a : extra)
    argv.push_back(a.c_str());
  argv.push_back(nullptr);
  std::string out = dir.file("out.txt"), err = same_file ? out : dir.file("err.txt");
  ChildRun run;
  run.started = plat_run_process(argv.data(), out.c_str(), err.c_str(), &run.status);
  run.out = lines_of(out);
  if (!same_file)
    run.err = lines_of(err);
  return run;
}

} // namespace

// Not a test of its own: the body of the child that the tests below start.
TEST(ChildProcess, ActsAsAskedWhenStartedAsChild) {
  const char *mode = plat_getenv(kChildVariable);
  if (!mode)
    GTEST_SKIP() << "runs only as the child of the process tests";
  const auto &args = testing::internal::GetArgvs();
  for (size_t i = 2; i < args.size(); ++i)
    std::printf("arg:[%s]\n", args[i].c_str());
  std::printf("stdin:%s\n", std::getchar() == EOF ? "empty" : "data");
  std::fflush(stdout);
  std::fprintf(stderr, "child error text\n");
  std::fflush(stderr);
  std::_Exit(std::atoi(mode));
}

TEST(PlatformProcess, ExitStatusAndBothStreamsComeBack) {
  TempDir dir;
  for (int code : {0, 3, 5}) {
    ChildRun run = run_child(dir, code);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.status, code);
    EXPECT_NE(run.out.find("stdin:empty\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "child error text\n");
  }
}

TEST(PlatformProcess, ArgumentsArriveUnchanged) {
  TempDir dir;
  const std::vector<std::string> args{
      "plain", "two words", "", "quote\"inside", "trail\\", "dir\\", "a\\\\\"b", "tab\there", "-f"};
  ChildRun run = run_child(dir, 0, args);
  ASSERT_TRUE(run.started);
  std::string expected;
  for (const auto &a : args)
    expected += "arg:[" + a + "]\n";
  EXPECT_NE(run.out.find(expected), std::string::npos) << run.out;
}

TEST(PlatformProcess, OneFileCanTakeBothStreams) {
  TempDir dir;
  ChildRun run = run_child(dir, 4, {}, true);
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.status, 4);
  EXPECT_NE(run.out.find("stdin:empty\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("child error text\n"), std::string::npos) << run.out;
}

TEST(PlatformProcess, AProgramThatCannotStartIsReported) {
  TempDir dir;
  std::string missing = dir.file("no-such-program");
  const char *argv[] = {missing.c_str(), nullptr};
  int status = 77;
  EXPECT_FALSE(plat_run_process(argv, nullptr, nullptr, &status));
  EXPECT_EQ(status, 77);
  const char *empty[] = {nullptr};
  EXPECT_FALSE(plat_run_process(empty, nullptr, nullptr, &status));
  EXPECT_FALSE(plat_run_process(nullptr, nullptr, nullptr, &status));

  // An output file that can't be created stops the run before it starts.
  std::string self = own_path();
  const char *argv2[] = {self.c_str(), kChildFilter, nullptr};
  EXPECT_FALSE(plat_run_process(argv2, dir.file("no/such/dir/out").c_str(), nullptr, &status));
}

TEST(PlatformProcess, IdentityOfProcessAndMachine) {
  char path[4096];
  ASSERT_TRUE(plat_executable_path(path, sizeof path));
  EXPECT_TRUE(std::filesystem::is_regular_file(path)) << path;
  char tiny[4];
  EXPECT_FALSE(plat_executable_path(tiny, sizeof tiny));
  EXPECT_EQ(tiny[0], '\0');

  char name[16];
  ASSERT_TRUE(plat_computer_name(name, sizeof name));
  EXPECT_GT(std::strlen(name), 0u);
  char cut[3];
  ASSERT_TRUE(plat_computer_name(cut, sizeof cut));
  EXPECT_EQ(std::string(cut), std::string(name).substr(0, 2));
}

TEST(PlatformProcess, EnvironmentSetAndRemove) {
  const char *name = "FERRY_PLATFORM_TEST_VARIABLE";
  ASSERT_TRUE(plat_setenv(name, "some value"));
  ASSERT_NE(plat_getenv(name), nullptr);
  EXPECT_STREQ(plat_getenv(name), "some value");
  ASSERT_TRUE(plat_setenv(name, nullptr));
  EXPECT_EQ(plat_getenv(name), nullptr);
}
