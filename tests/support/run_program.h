#pragma once
// Runs one of the built programs with its standard streams caught in files
// of a temporary folder.

#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"
#include "support/test_support.h"

namespace ferry::test {

struct ProgramRun {
  int status = -1;
  std::string out;
  std::string err;
};

// The streams are text streams: on Windows every line ends in CR LF. Checks
// that every line end has the system's form and gives the text with plain
// line ends.
inline std::string plain_lines(std::string text) {
  const std::string eol = plat_dir_separator == '\\' ? "\r\n" : "\n";
  size_t newlines = 0, line_ends = 0;
  for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; ++at)
    ++newlines;
  for (size_t at = 0; (at = text.find(eol, at)) != std::string::npos; ++at) {
    text.replace(at, eol.size(), "\n");
    ++line_ends;
  }
  EXPECT_EQ(newlines, line_ends) << "line ends of the wrong form";
  return text;
}

// stdout_path: where standard output goes; empty for a file of dir.
inline ProgramRun run_program(const TempDir &dir, const char *program,
                              const std::vector<std::string> &args,
                              const std::string &stdout_path = "") {
  std::vector<const char *> argv{program};
  for (const std::string &a : args)
    argv.push_back(a.c_str());
  argv.push_back(nullptr);
  const std::string out_path = stdout_path.empty() ? dir.file("stdout.txt") : stdout_path;
  const std::string err_path = dir.file("stderr.txt");
  ProgramRun r;
  EXPECT_TRUE(plat_run_process(argv.data(), out_path.c_str(), err_path.c_str(), &r.status));
  if (stdout_path.empty())
    r.out = plain_lines(read_text(out_path));
  r.err = plain_lines(read_text(err_path));
  return r;
}

} // namespace ferry::test
