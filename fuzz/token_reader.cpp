// Feeds arbitrary bytes to the stream token readers. The first byte of the
// input chooses the order of the readers, the rest is the stream. Every
// reader must return, and a reader that stops at something is stepped past
// it, so each input is read to its end.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "base/errors.h"
#include "base/hooks.h"
#include "base/token_reader.h"
#include "support/fuzz_input.h"

namespace {

constexpr size_t kMaxInput = 16 * 1024;

constexpr sb_keyword keywords[] = {
    {",", 1}, {":", 2}, {"[", 3}, {"]", 4}, {"channel", 10}, {"scale", 12}, {"version", 11},
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > kMaxInput)
    return 0;
  FILE *f = std::tmpfile();
  if (!f)
    return 0;
  std::fwrite(data + 1, 1, size - 1, f);
  std::rewind(f);

  u_msg_hook = ferry::fuzz::quiet_messages;
  sb_set_keyword_table(keywords, sizeof keywords / sizeof keywords[0]);
  sb_report_begin("fuzz.cal", nullptr);
  unsigned order = data[0];
  int status = 0;
  // Each call reads at least one character or sets the status, and a set
  // status is stepped past, so 4 calls per byte always reach the end.
  for (size_t call = 0; call < 4 * size + 8 && !std::feof(f); ++call) {
    switch ((order + call) % 6) {
    case 0:
      sb_next_char_class(f, &status);
      std::getc(f);
      break;
    case 1:
      std::free(sb_read_word(f, &status));
      break;
    case 2:
      sb_read_keyword(f, &status);
      break;
    case 3:
      sb_read_int(f, &status, -1000, 1000);
      break;
    case 4:
      sb_read_real(f, &status, -1, 1, order & 1, order & 2);
      break;
    case 5:
      sb_read_real_closed(f, &status, 0, 100);
      break;
    }
    if (status) {
      status = 0;
      std::getc(f);
    }
  }
  sb_set_keyword_table(nullptr, 0);
  std::fclose(f);
  return 0;
}
