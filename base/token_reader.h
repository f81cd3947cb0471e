#pragma once
// Stream token readers of the system calibration reader and its error
// reporter.
//
// The readers share one read status owned by the caller: 0 while all is
// well; once a reader sets it (ERR_EOF, ERR_EOL, ERR_SB_CALFILE_SYNTAX,
// ERR_SB_CALFILE_VALUE_RANGE, or ERR_NO_MEM when a word can't be copied),
// every reader returns at once without reading until the caller clears it.

#include <stdbool.h>
#include <stddef.h>
#include <stdio.h>

#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// Classes of sb_next_char_class.
enum {
  SB_CLASS_END = 0, // line end, comment or end of file
  SB_CLASS_NUMBER = 1,
  SB_CLASS_WORD = 2,
  SB_CLASS_BRACKET = 3,
  SB_CLASS_COLON = 4,
  SB_CLASS_OTHER = 5
};

// Keyword codes with fixed roles for the readers.
enum { SB_KW_EOF = 63, SB_KW_EOL = 64, SB_KW_NONE = 65, SB_KW_UNKNOWN = 144 };

// One entry of a keyword table: a lower-case word and its code.
typedef struct sb_keyword {
  const char *word;
  int code;
} sb_keyword;

// Hands the readers the keyword table of the file being read: entries
// sorted ascending by byte-wise comparison of their words. The table is not
// copied and must outlive its use; null (or count 0) leaves no word known.
FERRY_API void sb_set_keyword_table(const sb_keyword *table, size_t count);

FERRY_API int sb_next_char_class(FILE *file, int *status);
// A new text (released with free) or null.
FERRY_API char *sb_read_word(FILE *file, int *status);
FERRY_API int sb_read_keyword(FILE *file, int *status);
FERRY_API int sb_read_int(FILE *file, int *status, int minimum, int maximum);
FERRY_API double sb_read_real(FILE *file, int *status, double minimum, double maximum,
                              bool closed_low, bool closed_high);
FERRY_API double sb_read_real_closed(FILE *file, int *status, double minimum, double maximum);

// Starts a new read for the reporter: its count goes to 0 and the heading
// names the file path, else the information source, else neither. The texts
// are not copied and must stay valid during the read.
FERRY_API void sb_report_begin(const char *path, const char *source_name);
// Reports made since sb_report_begin.
FERRY_API int sb_report_count(void);
// Prints one error of the current read, after the heading on the first.
FERRY_API void sb_report(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#ifdef __cplusplus
}
#endif
