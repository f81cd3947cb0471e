// PNG images through libpng. Its errors come back here by a long jump; the
// functions keep only plain values alive across it, and libpng's own
// messages are silenced, since the caller reports a failure itself.

#include "platform/image.h"

#include <csetjmp>
#include <cstdio>
#include <png.h>

namespace {

[[noreturn]] void on_error(png_structp png, png_const_charp) {
  png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

size_t row_bytes(uint32_t width) {
  return static_cast<size_t>(width) * 3;
}

struct Writer {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, on_error, on_warning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  ~Writer() { png_destroy_write_struct(&png, &info); }
};

struct Reader {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, on_error, on_warning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  ~Reader() { png_destroy_read_struct(&png, &info, nullptr); }
};

bool encode(png_structp png, png_infop info, FILE *stream, const uint8_t *rgb, uint32_t width,
            uint32_t height) {
  if (setjmp(png_jmpbuf(png)))
    return false;
  png_init_io(png, stream);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (uint32_t r = 0; r < height; ++r)
    png_write_row(png, rgb + r * row_bytes(width));
  png_write_end(png, info);
  return true;
}

// Any bit depth, palette, grey or alpha becomes 8-bit RGB; interlaced rows
// are combined in place, pass after pass, in the caller's buffer.
bool decode(png_structp png, png_infop info, FILE *stream, uint8_t *rgb, size_t bytes,
            uint32_t *width, uint32_t *height) {
  if (setjmp(png_jmpbuf(png)))
    return false;
  png_init_io(png, stream);
  png_read_info(png, info);
  *width = png_get_image_width(png, info);
  *height = png_get_image_height(png, info);
  if (!rgb || bytes / row_bytes(*width) < *height)
    return false;
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_strip_alpha(png);
  png_set_gray_to_rgb(png);
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != row_bytes(*width))
    return false;
  for (int pass = 0; pass < passes; ++pass)
    for (uint32_t r = 0; r < *height; ++r)
      png_read_row(png, rgb + r * row_bytes(*width), nullptr);
  png_read_end(png, nullptr);
  return true;
}

} // namespace

extern "C" bool plat_png_write_rgb(FILE *stream, const uint8_t *rgb, uint32_t width,
                                   uint32_t height) {
  if (!stream || !rgb || width == 0 || height == 0)
    return false;
  Writer w;
  if (!w.info || !encode(w.png, w.info, stream, rgb, width, height))
    return false;
  return std::fflush(stream) == 0 && !std::ferror(stream);
}

extern "C" bool plat_png_read_rgb(FILE *stream, uint8_t *rgb, size_t bytes, uint32_t *width,
                                  uint32_t *height) {
  uint32_t w = 0, h = 0;
  Reader r;
  const bool ok = stream && r.info && decode(r.png, r.info, stream, rgb, bytes, &w, &h);
  if (width)
    *width = w;
  if (height)
    *height = h;
  return ok;
}
