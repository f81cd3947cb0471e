// The driver in-process: what it makes of path arguments whose bytes the
// UTF-16 path convention could read past their end.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "tool/driver.h"

namespace ferry::test {
namespace {

struct DriverRun {
  int status;
  std::string err;
};

DriverRun run_driver(std::vector<char *> args) {
  args.insert(args.begin(), const_cast<char *>("ferrycvt"));
  testing::internal::CaptureStderr();
  int status = ferrycvt_run(static_cast<int>(args.size()), args.data());
  return {status, testing::internal::GetCapturedStderr()};
}

// An argument made of a byte-order mark and the first character of an
// existing file's path, followed in memory (after the argument's zero
// byte) by the rest of that path as UTF-16. Read up to the argument's end,
// the path is a single character and names nothing; read on past it, the
// units would name the existing file.
std::vector<char> mark_and_one_character(const std::string &existing) {
  std::vector<char> bytes{'\xFF', '\xFE'};
  for (char c : existing) {
    bytes.push_back(c);
    bytes.push_back('\0');
  }
  bytes.push_back('\0');
  bytes.push_back('\0');
  return bytes;
}

TEST(DriverPaths, AMarkedArgumentIsNotReadPastItsEnd) {
  TempDir dir;
  const std::string existing = dir.file("in.hdp");
  write_file(existing, std::vector<uint8_t>(200, 0));
  std::vector<char> input = mark_and_one_character(existing);
  const std::string as_given = std::string("\xFF\xFE") + existing[0];
  std::string out = dir.file("out.dat");

  DriverRun r = run_driver({input.data(), out.data()});
  EXPECT_EQ(r.status, FERRYCVT_NO_INPUT);
  EXPECT_EQ(r.err, "Unable to convert \"" + as_given + "\" to \"" + out + "\" because...\n\t\"" +
                       as_given + "\" does not exist\n");
}

} // namespace
} // namespace ferry::test
