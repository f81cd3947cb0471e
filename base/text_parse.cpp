#include "base/text_parse.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "base/hooks.h"

namespace {

constexpr const char *default_delims = " \t";

// What the integer and the real parser do differently.
struct IntField {
  using value_type = int;
  static constexpr const char *kind = " an integer value";
  static constexpr int no_min = INT_MIN;
  static constexpr int no_max = INT_MAX;
  static constexpr int failed = INT_MAX;
  static bool convert(const char *token, int &out, const char *&end) {
    char *stop = nullptr;
    long n = std::strtol(token, &stop, 10);
    end = stop;
    // strtol saturates at the long range; an int keeps the same saturation.
    out = n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : static_cast<int>(n);
    return stop != token;
  }
  static void range_text(char *out, size_t size, int minimum, int maximum) {
    if (minimum == no_min)
      std::snprintf(out, size, " less than or equal to %d", maximum);
    else if (maximum == no_max)
      std::snprintf(out, size, " greater than or equal to %d", minimum);
    else
      std::snprintf(out, size, " in the range [%d,%d]", minimum, maximum);
  }
};

struct RealField {
  using value_type = double;
  static constexpr const char *kind = " a floating point value";
  static constexpr double no_min = -std::numeric_limits<double>::infinity();
  static constexpr double no_max = std::numeric_limits<double>::infinity();
  static constexpr double failed = std::numeric_limits<double>::infinity();
  static bool convert(const char *token, double &out, const char *&end) {
    char *stop = nullptr;
    out = std::strtod(token, &stop);
    end = stop;
    return stop != token;
  }
  static void range_text(char *out, size_t size, double minimum, double maximum) {
    bool low = minimum > no_min, high = maximum < no_max;
    if (low && high)
      std::snprintf(out, size, " in the range [%g,%g]", minimum, maximum);
    else if (!low)
      std::snprintf(out, size, " less than or equal to %g", maximum);
    else
      std::snprintf(out, size, " greater than or equal to %g", minimum);
  }
};

// A bounded value outside its range; a NaN is never inside a bounded range.
template <typename T> bool out_of_range(T v, T minimum, T maximum, T no_min, T no_max) {
  bool low = minimum > no_min, high = maximum < no_max;
  if constexpr (std::is_floating_point_v<T>) {
    if ((low || high) && std::isnan(v))
      return true;
  }
  return (low && v < minimum) || (high && v > maximum);
}

template <typename F>
bool parse_number_field(char *line, const char *delims, const char *label,
                        typename F::value_type minimum, typename F::value_type maximum, char *msg,
                        typename F::value_type *value) {
  if (label && !*label)
    label = nullptr;
  if (!delims)
    delims = default_delims;
  if (msg)
    *msg = '\0';
  if (!value)
    return false;

  *value = F::failed;
  const char *token = std::strtok(line, delims);
  const char *reason = nullptr;
  typename F::value_type n{};
  const char *end = nullptr;
  if (!token)
    reason = "Missing number.\n";
  else if (!F::convert(token, n, end))
    reason = "Not a number.\n";
  else if (*end)
    reason = "Extra characters after number.\n";
  else if (out_of_range(n, minimum, maximum, F::no_min, F::no_max))
    reason = "Number out of range.\n";
  else {
    *value = n;
    return true;
  }

  if (msg) {
    char range[64];
    F::range_text(range, sizeof range, minimum, maximum);
    if (label)
      std::snprintf(msg, U_PARSE_MSG_SIZE, "%sExpected '%.40s'%s%s\n", reason, label, F::kind,
                    range);
    else
      std::snprintf(msg, U_PARSE_MSG_SIZE, "%sExpected%s%s\n", reason, F::kind, range);
  }
  return false;
}

// A copy through the memory hook, or null.
char *hook_strdup(const char *text) {
  size_t n = std::strlen(text) + 1;
  char *copy = static_cast<char *>(u_malloc_hook(n));
  if (copy)
    std::memcpy(copy, text, n);
  return copy;
}

} // namespace

extern "C" {

bool u_parse_int_field(char *line, const char *delims, const char *label, int minimum, int maximum,
                       char *msg, int *value) {
  return parse_number_field<IntField>(line, delims, label, minimum, maximum, msg, value);
}

bool u_parse_real_field(char *line, const char *delims, const char *label, double minimum,
                        double maximum, char *msg, double *value) {
  return parse_number_field<RealField>(line, delims, label, minimum, maximum, msg, value);
}

bool u_parse_string_field(char *line, const char *delims, const char *label, int max_len, char *msg,
                          char *text) {
  if (!delims)
    delims = default_delims;
  if (label && !*label)
    label = nullptr;
  if (msg)
    *msg = '\0';
  if (!text || max_len < 2)
    return false;

  *text = '\0';
  const char *token = std::strtok(line, delims);
  if (token && std::strlen(token) <= static_cast<size_t>(max_len)) {
    std::memcpy(text, token, std::strlen(token) + 1);
    return true;
  }
  if (!msg)
    return false;

  char reason[64];
  if (!token)
    std::snprintf(reason, sizeof reason, "Missing string.\n");
  else
    std::snprintf(reason, sizeof reason, "String longer than maximum of %d characters.\n", max_len);
  // Labels are short constants; the cut only guards the buffer.
  if (label)
    std::snprintf(msg, U_PARSE_STRING_MSG_SIZE,
                  "%sExpected %.100s, a string of up to %d characters\n", reason, label, max_len);
  else
    std::snprintf(msg, U_PARSE_STRING_MSG_SIZE, "%sExpected a string of up to %d characters\n",
                  reason, max_len);
  return false;
}

int u_squeeze_blanks(char *text) {
  if (!text)
    return 0;
  int removed = 0;
  bool quoted = false;
  char *out = text;
  for (const char *in = text; *in; ++in) {
    if (*in == '"')
      quoted = !quoted;
    else if (!quoted && std::isspace(static_cast<unsigned char>(*in))) {
      ++removed;
      continue;
    }
    *out++ = *in;
  }
  *out = '\0';
  return removed;
}

int strxcmp(const char *text, const char *keyword) {
  char *a = hook_strdup(text);
  char *b = a ? hook_strdup(keyword) : nullptr;
  if (!a || !b) {
    ferry::hook_free(a);
    u_msg_hook("strxcmp: out of memory\n");
    return 0;
  }
  for (char *p = a; *p; ++p)
    if (*p == ':')
      *p = ' ';
  u_squeeze_blanks(a);
  u_squeeze_blanks(b);
  for (char *p = a; *p; ++p)
    *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  for (char *p = b; *p; ++p)
    *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  int c = std::strcmp(a, b);
  ferry::hook_free(a);
  ferry::hook_free(b);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

} // extern "C"
