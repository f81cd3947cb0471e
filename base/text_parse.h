#pragma once
// Value parsing shared by the configuration readers.
//
// The line-field parsers take the next field of a line with strtok, convert
// and check it, and explain a failure in the caller's message buffer; the
// caller decides where the explanation goes (usually with its line number).
// strxcmp is the keyword comparison of the readers: colons, case and blanks
// outside double quotes never matter.

#include <stdbool.h>
#include <stddef.h>

#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// A message buffer of this size always holds a numeric parser's message.
enum { U_PARSE_MSG_SIZE = 160 };
// A message buffer of this size always holds the string parser's message
// (its label is quoted up to 100 characters).
enum { U_PARSE_STRING_MSG_SIZE = 256 };

// Each takes the next token (from line, or from strtok's position when line
// is null), split at delims (" \t" when null). On failure the value is
// 2147483647, positive infinity or the empty text, and msg (when given)
// holds the explanation. Without a place for the value no token is taken.
FERRY_API bool u_parse_int_field(char *line, const char *delims, const char *label, int minimum,
                                 int maximum, char *msg, int *value);
FERRY_API bool u_parse_real_field(char *line, const char *delims, const char *label, double minimum,
                                  double maximum, char *msg, double *value);
// text must hold max_len + 1 bytes; max_len below 2 takes no token.
FERRY_API bool u_parse_string_field(char *line, const char *delims, const char *label, int max_len,
                                    char *msg, char *text);

// -1, 0 or 1 like strcmp after the normalisation; 0: the text is the keyword.
FERRY_API int strxcmp(const char *text, const char *keyword);

// Removes white space outside double quotes in place; returns the count.
FERRY_API int u_squeeze_blanks(char *text);

#ifdef __cplusplus
}
#endif
