// Feeds arbitrary bytes to the encoded zoom's calibration file reader, with
// message buffers of several sizes, and checks what it accepts: 2 to 100
// pairs in strictly increasing order within their ranges, and a message
// that always ends inside its buffer.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "can/can_enc_zoom.h"
#include "support/fuzz_input.h"

namespace {

constexpr size_t kMaxInput = 128 * 1024;

void check_table(const kps_enc_zoom_table &table) {
  if (table.count < KPS_ENC_ZOOM_MIN_PAIRS || table.count > KPS_ENC_ZOOM_MAX_PAIRS)
    std::abort();
  for (int32_t i = 0; i < table.count; ++i) {
    const kps_enc_zoom_pair &p = table.pairs[i];
    if (!(p.position >= 0) || !std::isfinite(p.position) || !(p.magnification >= 0.5f) ||
        !(p.magnification <= 6.0f))
      std::abort();
    if (i > 0 && (p.position <= table.pairs[i - 1].position ||
                  p.magnification <= table.pairs[i - 1].magnification))
      std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > kMaxInput)
    return 0;
  const std::string &path = ferry::fuzz::write_scratch_input("enc-zoom-cal", data, size);
  for (size_t room : {size_t{0}, size_t{1}, size_t{17}, size_t{1024}}) {
    char message[1025];
    std::memset(message, 'x', sizeof message);
    kps_enc_zoom_table table{};
    u_err_t err = kps_enc_zoom_read_cal_file(path.c_str(), &table, message, room);
    if (room > 0 && std::memchr(message, '\0', room) == nullptr)
      std::abort();
    if (message[room] != 'x')
      std::abort();
    if (err == ERR_NONE)
      check_table(table);
    else if (table.pairs)
      std::abort();
    kps_enc_zoom_free_table(&table);
  }
  std::remove(path.c_str());
  return 0;
}
