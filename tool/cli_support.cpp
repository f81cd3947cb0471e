#include "tool/cli_support.h"

#include <cstdio>

namespace ferry::cli {

int print_usage(std::span<const char *const> lines, int status) {
  for (const char *line : lines)
    std::fputs(line, stderr);
  return status;
}

void PathArgument::assign(const char *arg) {
  text_.assign(arg);
  text_.append(3, '\0');
  given_ = true;
}

bool read_option(const char *arg, bool &force) {
  if (arg[1] != 'f')
    return false;
  force = true;
  return true;
}

std::string the_file(const char *stage, const char *path) {
  return std::string(stage) + " the file \"" + path + "\"";
}

void FailureReport::print_unable() const {
  std::fputs(unable_line_.c_str(), stderr);
}

int FailureReport::missing(const char *path, int status) const {
  print_unable();
  std::fprintf(stderr, "\t\"%s\" does not exist\n", path);
  return status;
}

int FailureReport::already_exists(const char *path, int status) const {
  print_unable();
  std::fprintf(stderr, "\t\"%s\" already exists\n", path);
  return status;
}

int FailureReport::error(const std::string &what, u_err_t code, int status) const {
  print_unable();
  std::fprintf(stderr, "\tthere was an error %s\n\t%s\n", what.c_str(), u_error_name(code));
  return status;
}

} // namespace ferry::cli
