#pragma once
// Image facility: pictures of 8-bit RGB pixels as PNG images in a stream,
// and back. POSIX encodes with libpng, Windows with the Windows Imaging
// Component, so neither build carries a codec of its own.
//
// Pixels are rows from top to bottom, each pixel three bytes: red, green,
// blue. Nothing here prints; the caller reports a failure.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

// Writes width x height pixels as one PNG image at the stream's position
// and flushes the stream. False when either extent is 0, the image cannot
// be encoded, or the stream refuses the bytes.
bool plat_png_write_rgb(FILE *stream, const uint8_t *rgb, uint32_t width, uint32_t height);

// Reads the PNG image at the stream's position. *width and *height receive
// its size as soon as it is known to be a PNG image; its pixels, turned to
// 8-bit RGB whatever the image stores, go to rgb when bytes holds width x
// height x 3 of them. False when the stream holds no readable PNG image or
// the pixels do not fit.
bool plat_png_read_rgb(FILE *stream, uint8_t *rgb, size_t bytes, uint32_t *width, uint32_t *height);

#ifdef __cplusplus
}
#endif
