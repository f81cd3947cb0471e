#include "base/console.h"

#include <cstdarg>
#include <cstdio>

#include "base/hooks.h"

namespace {

int vwrite_and_flush(FILE *stream, const char *format, va_list args) {
  std::vfprintf(stream, format, args);
  return std::fflush(stream);
}

} // namespace

extern "C" int u_msg_stderr(const char *format, ...) {
  va_list args;
  va_start(args, format);
  int result = vwrite_and_flush(stderr, format, args);
  va_end(args);
  return result;
}

extern "C" int u_msg_stdout(const char *format, ...) {
  va_list args;
  va_start(args, format);
  int result = vwrite_and_flush(stdout, format, args);
  va_end(args);
  return result;
}

extern "C" int u_msg_file(FILE *stream, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int result = vwrite_and_flush(stream, format, args);
  va_end(args);
  return result;
}

extern "C" FILE *u_msg_stream(void) {
  if (u_msg_hook == u_msg_stdout)
    return stdout;
  if (u_msg_hook == u_msg_stderr)
    return stderr;
  return nullptr;
}
