#pragma once
// Reads a binary data file back into the records the writer takes: the
// header record, the prefix record, the intensity matrix (with its buckets)
// and the phase matrix, in the host's byte order. For every file that
// write_data_file writes, reading it and writing the records again gives
// the same bytes.

#include <stdint.h>
#include <stdio.h>

#include "base/errors.h"
#include "datafile/data_file.h"
#include "datafile/matrix.h"
#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// The fields of offsets 0..9 and the two array lengths: what a file says
// about itself beyond the records.
typedef struct data_file_layout {
  uint32_t magic_number;
  int16_t header_format; // 1, 2 or 3
  uint32_t header_size;  // 834 or 4096
  uint32_t intens_bytes;
  uint32_t phase_bytes;
} data_file_layout;

// Reads the binary data file at path (a byte path, or a UTF-16 path after a
// byte-order mark, as the writer takes it). Every record given is cleared
// first; a null one is left out (its array is still checked against the
// file, but not read). A matrix receives the window the file stores, and
// samples when its array is not empty; a matrix whose array is empty holds
// no buffer. Bytes after the phase array are not looked at.
//
// ERR_CANT_OPEN_FILE: the file cannot be opened (or path is null).
// ERR_PREMATURE_EOF: the file ends inside the header.
// ERR_NOT_A_DATA_FILE: an unknown magic number, a header format or size
// that does not match it, a window with a negative extent or bucket count,
// or an array length that is not the one its window gives (reported
// through the message hook).
// ERR_CORRUPT_DATA_FILE: the file is shorter than its arrays announce.
// ERR_NO_MEM: no memory for the samples.
// On failure no matrix holds a buffer, and the records are not to be used.
FERRY_API u_err_t read_data_file(const char *path, data_file_layout *layout, data_prefix *prefix,
                                 data_header *header, intensity_matrix *intensity,
                                 phase_matrix *phase);

// Reads one binary data file from the stream's current position and leaves
// the stream after its phase array, so that files written one after another
// with write_data_stream read back one after another. Results as above;
// ERR_INVALID_PARAM for a null stream. The array lengths are checked against
// the bytes left in the stream before any memory is taken for them; on a
// stream whose size the system cannot tell, the reads alone find a short
// file.
FERRY_API u_err_t read_data_stream(FILE *stream, data_file_layout *layout, data_prefix *prefix,
                                   data_header *header, intensity_matrix *intensity,
                                   phase_matrix *phase);

#ifdef __cplusplus
}
#endif
