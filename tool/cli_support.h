#pragma once
// What the command-line programs (ferrycvt, ferryinfo) share: the usage
// text, path arguments, the -f option, and the failure reports on standard
// error that each open with the program's "Unable to ... because..." line.

#include <span>
#include <string>
#include <utility>

#include "base/errors.h"

namespace ferry::cli {

// Prints the usage lines on standard error; returns `status`.
int print_usage(std::span<const char *const> lines, int status);

// A path as the later stages get it. An argument ends at its first zero
// byte, but a path that starts with a UTF-16 byte-order mark is read in
// 16-bit units up to a zero unit, which may lie past that byte; the copy
// ends in enough zero bytes that such a reading always stops inside it.
class PathArgument {
public:
  void assign(const char *arg);
  // Null until assigned.
  const char *c_str() const { return given_ ? text_.c_str() : nullptr; }

private:
  std::string text_;
  bool given_ = false;
};

// An option argument (one that begins with '-') other than -f is a usage
// error: false. -f, spelt with anything after the f, sets `force`, which
// lets an existing output be replaced.
bool read_option(const char *arg, bool &force);

// "<stage> the file "<path>"", as a failure report names a file.
std::string the_file(const char *stage, const char *path);

// The reports of one run's failures, each the run's "Unable to ..." line
// and what went wrong, on standard error. Each returns the exit status it
// is given.
class FailureReport {
public:
  explicit FailureReport(std::string unable_line) : unable_line_(std::move(unable_line)) {}

  int missing(const char *path, int status) const;
  int already_exists(const char *path, int status) const;
  // "there was an error <what>" and the error's name.
  int error(const std::string &what, u_err_t code, int status) const;

private:
  void print_unable() const;
  std::string unable_line_;
};

} // namespace ferry::cli
