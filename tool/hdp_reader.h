#pragma once
// Reader of HDP measurement files: a big-endian header (format code 2 or 3)
// and one window of 16-bit phase samples.

#include <stdint.h>

#include "base/errors.h"
#include "datafile/data_file.h"
#include "datafile/matrix.h"

#ifdef __cplusplus
extern "C" {
#endif

// Fills the prefix record (cleared), the header record and the phase matrix
// from the HDP file at path (a byte path, opened as it is). A missing
// record is ERR_INVALID_PARAM.
u_err_t read_hdp_file(const char *path, data_prefix *prefix, data_header *header,
                      phase_matrix *phase);

// Seconds since 1970 of a DD-MON-YYYY/HH:MM:SS text (local time), or -1.
int64_t parse_hdp_date(const char *text);

// The text operations work in place and leave a null text alone.
// Every byte outside 0x20..0x7E becomes a blank.
void clean_printable(char *text);
// Removes leading and trailing blanks, tabs and newlines; returns how many.
int trim_blanks(char *text);
void to_upper_text(char *text);

#ifdef __cplusplus
}
#endif
