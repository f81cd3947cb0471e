#pragma once
// What the fuzz targets of path-taking readers share: a scratch file per
// process that holds the current input, and a message hook that keeps the
// readers' reports off the console.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "base/hooks.h"

namespace ferry::fuzz {

inline int quiet_messages(const char *, ...) {
  return 0;
}

// Writes the input to this process's scratch file named after tag and
// returns its path; silences the message hook for the reader that follows.
inline const std::string &write_scratch_input(const char *tag, const uint8_t *data, size_t size) {
  static const std::string path = [tag] {
    std::random_device rd;
    return (std::filesystem::temp_directory_path() /
            ("ferry-fuzz-" + std::string(tag) + "-" + std::to_string(rd())))
        .string();
  }();
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f || (size && std::fwrite(data, 1, size, f) != size))
    std::abort();
  std::fclose(f);
  u_msg_hook = quiet_messages;
  return path;
}

} // namespace ferry::fuzz
