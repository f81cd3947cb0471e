// A host application in C++: the same reading as the C host, with the
// header's C++ helpers (ferry::HookBuffer) holding the phase samples.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/hooks.h"
#include "datafile/data_file.h"
#include "datafile/matrix.h"

namespace {

long live_blocks = 0;

int host_message(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("host message: ", stdout);
  int n = std::vprintf(format, args);
  va_end(args);
  return n;
}

template <typename T> T take(const std::vector<unsigned char> &bytes, size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  u_swap_bytes(&value, sizeof value);
  return value;
}

int fail(const char *what, u_err_t err) {
  std::printf("%s: %s\n", what, u_error_name(err));
  return 1;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: host data-file\n");
    return 2;
  }
  u_msg_hook = host_message;
  u_malloc_hook = [](size_t bytes) -> void * {
    void *block = std::malloc(bytes);
    live_blocks += block != nullptr;
    return block;
  };
  u_free_hook = [](void *block) {
    live_blocks -= block != nullptr;
    std::free(block);
  };

  std::ifstream in(argv[1], std::ios::binary);
  std::vector<unsigned char> file{std::istreambuf_iterator<char>(in), {}};
  if (file.size() < DATA_FILE_SHORT_HEADER_SIZE)
    return fail("reading the header", ERR_CANT_READ_FILE);
  auto magic = take<uint32_t>(file, 0);
  auto format = take<int16_t>(file, 4);
  auto header_size = take<uint32_t>(file, 6);
  window w{take<int16_t>(file, 64), take<int16_t>(file, 66), take<int16_t>(file, 68),
           take<int16_t>(file, 70)};
  auto phase_bytes = take<uint32_t>(file, 72);
  if (magic != DATA_FILE_MAGIC_FORMAT_1 || header_size != DATA_FILE_SHORT_HEADER_SIZE)
    return fail("checking the magic number", ERR_NOT_A_DATA_FILE);

  std::string comment(reinterpret_cast<const char *>(&file[80]), 82);
  comment.resize(std::strlen(comment.c_str()));
  std::printf("magic_number 0x%08lX, header_format %d, header_size %lu\n",
              static_cast<unsigned long>(magic), format, static_cast<unsigned long>(header_size));
  std::printf("timestamp %ld\n", static_cast<long>(take<int32_t>(file, 76)));
  std::printf("comment \"%s\"\n", comment.c_str());
  std::printf("f32_at_176 %g\n", take<float>(file, 176));
  std::printf("camera %d x %d\n", take<int16_t>(file, 234), take<int16_t>(file, 236));
  std::printf("phase window %d %d %d %d, %lu bytes\n", w.x, w.y, w.width, w.height,
              static_cast<unsigned long>(phase_bytes));

  {
    size_t count = static_cast<size_t>(w.width) * static_cast<size_t>(w.height);
    ferry::HookBuffer<int32_t> samples(count);
    if (!samples)
      return fail("phase samples", ERR_NO_MEM);
    if (count * 4 != phase_bytes || file.size() < header_size + phase_bytes)
      return fail("reading the phase array", ERR_CORRUPT_DATA_FILE);
    std::memcpy(samples.get(), &file[header_size], phase_bytes);
    unsigned long valid = 0;
    for (size_t i = 0; i < count; i++) {
      u_swap_bytes(&samples[i], 4);
      valid += samples[i] < PHASE_INVALID;
    }
    std::printf("phase samples %lu, valid %lu\n", static_cast<unsigned long>(count), valid);
    std::printf("blocks live while the matrix is held: %ld\n", live_blocks);
  }

  u_error_report(ERR_NO_MEM);
  std::printf("blocks live at the end: %ld\n", live_blocks);
  return 0;
}
