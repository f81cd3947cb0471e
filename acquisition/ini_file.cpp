#include "acquisition/ini_file_internal.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "base/files.h"
#include "platform/files.h"

namespace {

constexpr size_t kLineBytes = 1024;

std::string_view trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  return text;
}

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// Reads one line without its line end into line. A line longer than the
// buffer is read to its end and comes back empty: it can hold no setting
// this reader is asked for. False at the end of the file.
bool read_line(FILE *file, char (&line)[kLineBytes]) {
  if (!std::fgets(line, sizeof line, file))
    return false;
  size_t length = std::strlen(line);
  if (length > 0 && line[length - 1] == '\n') {
    line[length - 1] = '\0';
    return true;
  }
  if (std::feof(file))
    return true;
  int c;
  while ((c = std::fgetc(file)) != EOF && c != '\n') {
  }
  line[0] = '\0';
  return true;
}

// The section name of a "[name]" line, or nothing.
bool section_header(std::string_view line, std::string_view &name) {
  if (line.size() < 2 || line.front() != '[')
    return false;
  size_t close = line.find(']');
  if (close == std::string_view::npos)
    return false;
  name = trim(line.substr(1, close - 1));
  return true;
}

std::string_view unquote(std::string_view value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    return value.substr(1, value.size() - 2);
  return value;
}

bool copy_value(std::string_view value, char *out, size_t bytes) {
  if (value.size() >= bytes)
    return false;
  value.copy(out, value.size());
  out[value.size()] = '\0';
  return true;
}

} // namespace

namespace ferry {

bool ini_read_value(const char *path, const char *section, const char *key, char *value,
                    size_t bytes) {
  if (!path || !section || !key || !value || bytes == 0)
    return false;
  UniqueFile ini(u_fopen_path_text(path, "r"));
  if (!ini)
    return false;
  char line[kLineBytes];
  bool in_section = false;
  while (read_line(ini.get(), line)) {
    std::string_view text = trim(line);
    if (text.empty() || text.front() == ';' || text.front() == '#')
      continue;
    std::string_view name;
    if (section_header(text, name)) {
      in_section = same_name(name, section);
      continue;
    }
    size_t equals = text.find('=');
    if (!in_section || equals == std::string_view::npos ||
        !same_name(trim(text.substr(0, equals)), key))
      continue;
    return copy_value(unquote(trim(text.substr(equals + 1))), value, bytes);
  }
  return false;
}

} // namespace ferry
