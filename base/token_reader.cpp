#include "base/token_reader.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/errors.h"
#include "base/hooks.h"

namespace {

// Longest word: its first character and 80 more.
constexpr int word_more_max = 80;

struct KeywordTable {
  const sb_keyword *entries = nullptr;
  size_t count = 0;
};
KeywordTable keywords;

struct ReporterState {
  int count = 0;
  const char *path = nullptr;
  const char *source = nullptr;
};
ReporterState reporter;

int skip_blanks(FILE *file) {
  int c;
  do
    c = std::getc(file);
  while (c == ' ' || c == '\t');
  return c;
}

// The first character of the next word, after spaces and tabs. Carriage
// returns right before a line feed belong to the line end (a file written
// on Windows and read as bytes elsewhere), so the line feed stands for
// them; any other carriage return starts a word.
int first_of_word(FILE *file) {
  int c = skip_blanks(file);
  if (c != '\r')
    return c;
  int next;
  do
    next = std::getc(file);
  while (next == '\r');
  if (next == '\n')
    return next;
  // The returns after the first would be dropped inside the word anyway.
  std::ungetc(next, file);
  return c;
}

bool is_punctuation(int c) {
  return c == ',' || c == ':' || c == '[' || c == ']';
}

char *c_strdup(const char *text) {
  size_t n = std::strlen(text) + 1;
  char *copy = static_cast<char *>(std::malloc(n));
  if (copy)
    std::memcpy(copy, text, n);
  return copy;
}

// Collects the rest of a word after its first character (or opening quote).
void read_word_rest(FILE *file, int *status, bool quoted, char *word, size_t &len) {
  for (int i = 0; i < word_more_max; ++i) {
    int c = std::getc(file);
    if (c == EOF) {
      if (quoted)
        *status = ERR_EOF;
      return;
    }
    if ((c == ' ' || c == '\t') && !quoted)
      return;
    if (c == '"')
      return;
    if (c == '\r')
      continue;
    if (c == '\n') {
      std::ungetc(c, file);
      if (quoted)
        *status = ERR_EOL;
      return;
    }
    word[len++] = static_cast<char>(c);
  }
}

int find_keyword(const char *lower) {
  size_t lo = 0, hi = keywords.count;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    int c = std::strcmp(lower, keywords.entries[mid].word);
    if (c == 0)
      return keywords.entries[mid].code;
    if (c < 0)
      hi = mid;
    else
      lo = mid + 1;
  }
  return -1;
}

// The range report and its acceptance test for one pair of end flags.
bool inside(double x, double minimum, double maximum, bool closed_low, bool closed_high) {
  bool low_ok = closed_low ? x >= minimum : x > minimum;
  bool high_ok = closed_high ? x <= maximum : x < maximum;
  return low_ok && high_ok;
}

} // namespace

extern "C" {

void sb_set_keyword_table(const sb_keyword *table, size_t count) {
  keywords.entries = table;
  keywords.count = table ? count : 0;
}

int sb_next_char_class(FILE *file, int *status) {
  if (*status)
    return SB_CLASS_OTHER;
  int c = skip_blanks(file);
  if (c == EOF)
    return SB_CLASS_END;
  std::ungetc(c, file);
  if (c == '\n' || c == '\r' || c == '#')
    return SB_CLASS_END;
  if (c == '-' || c == '.' || std::isdigit(c))
    return SB_CLASS_NUMBER;
  if (std::isalpha(c))
    return SB_CLASS_WORD;
  if (c == '[')
    return SB_CLASS_BRACKET;
  if (c == ':')
    return SB_CLASS_COLON;
  return SB_CLASS_OTHER;
}

char *sb_read_word(FILE *file, int *status) {
  if (*status)
    return nullptr;
  int c = first_of_word(file);
  if (c == EOF) {
    *status = ERR_EOF;
    return nullptr;
  }
  if (c == '\n') {
    std::ungetc(c, file);
    *status = ERR_EOL;
    return nullptr;
  }
  if (c == '#') {
    *status = ERR_EOL;
    return nullptr;
  }

  char word[word_more_max + 2] = {};
  size_t len = 0;
  if (is_punctuation(c)) {
    word[len++] = static_cast<char>(c);
  } else {
    bool quoted = c == '"';
    if (!quoted)
      word[len++] = static_cast<char>(c);
    read_word_rest(file, status, quoted, word, len);
  }
  word[len] = '\0';
  if (*status)
    return nullptr;
  char *copy = c_strdup(word);
  if (!copy)
    *status = ERR_NO_MEM;
  return copy;
}

int sb_read_keyword(FILE *file, int *status) {
  if (*status)
    return SB_KW_NONE;
  char *word = sb_read_word(file, status);
  if (!word) {
    if (*status == ERR_EOF) {
      *status = 0;
      return SB_KW_EOF;
    }
    if (*status == ERR_EOL) {
      *status = 0;
      return SB_KW_EOL;
    }
    return SB_KW_NONE;
  }
  char lower[word_more_max + 2];
  size_t n = std::strlen(word);
  for (size_t i = 0; i <= n; ++i)
    lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(word[i])));
  int code = find_keyword(lower);
  if (code < 0) {
    sb_report("Unrecognized token \"%s\"", word);
    *status = ERR_SB_CALFILE_SYNTAX;
    code = SB_KW_UNKNOWN;
  }
  std::free(word);
  return code;
}

int sb_read_int(FILE *file, int *status, int minimum, int maximum) {
  if (*status)
    return 0;
  // Read wide: a number beyond the int range must not wrap into the range
  // (4294967297 read as 1). It saturates instead, like strtol.
  long long wide = 0;
  int got = std::fscanf(file, " \t%lld", &wide);
  if (got == EOF) {
    *status = ERR_EOF;
    return 0;
  }
  if (got != 1) {
    *status = ERR_SB_CALFILE_SYNTAX;
    return 0;
  }
  int n = wide > INT_MAX ? INT_MAX : wide < INT_MIN ? INT_MIN : int(wide);
  if (minimum <= n && n <= maximum)
    return n;
  sb_report("%d out of range [%d,%d]", n, minimum, maximum);
  *status = ERR_SB_CALFILE_VALUE_RANGE;
  return 0;
}

double sb_read_real(FILE *file, int *status, double minimum, double maximum, bool closed_low,
                    bool closed_high) {
  if (*status)
    return 0.0;
  double x = 0.0;
  int got = std::fscanf(file, " \t%lf", &x);
  if (got == EOF) {
    *status = ERR_EOF;
    return 0.0;
  }
  if (got != 1) {
    *status = ERR_SB_CALFILE_SYNTAX;
    return 0.0;
  }
  if (inside(x, minimum, maximum, closed_low, closed_high))
    return x;
  // One report format per pair of end flags: [ ] closed, ( ) open.
  static constexpr const char *formats[2][2] = {
      {"%g out of range (%g,%g)", "%g out of range (%g,%g]"},
      {"%g out of range [%g,%g)", "%g out of range [%g,%g]"},
  };
  char text[128];
  std::snprintf(text, sizeof text, formats[closed_low][closed_high], x, minimum, maximum);
  sb_report("%s", text);
  *status = ERR_SB_CALFILE_VALUE_RANGE;
  return 0.0;
}

double sb_read_real_closed(FILE *file, int *status, double minimum, double maximum) {
  return sb_read_real(file, status, minimum, maximum, true, true);
}

void sb_report_begin(const char *path, const char *source_name) {
  reporter.count = 0;
  reporter.path = path;
  reporter.source = source_name;
}

int sb_report_count(void) {
  return reporter.count;
}

void sb_report(const char *format, ...) {
  const char *heading = "";
  char where[1100] = "";
  if (++reporter.count == 1) {
    heading = "Error(s) reading system calibration ";
    if (reporter.path)
      std::snprintf(where, sizeof where, "file \"%s\":\n", reporter.path);
    else if (reporter.source)
      std::snprintf(where, sizeof where, "info\n\"%s\":\n", reporter.source);
    else
      std::snprintf(where, sizeof where, "info:\n");
  }
  char message[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  u_msg_hook("%s%s%s\n", heading, where, message);
}

} // extern "C"
