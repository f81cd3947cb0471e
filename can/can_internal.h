#pragma once
// Helpers the CAN modules share: node objects are little-endian byte
// strings, whatever the host's byte order.

#include <cstddef>
#include <cstdint>

#include "base/errors.h"
#include "base/sys_info.h"

namespace ferry::can {

// The CAN instrument board type; every node operation serves only it.
constexpr int32_t kCanBoard = 8;

inline bool is_can_board(const sys_info *instr) {
  return instr && instr->instrBdType == kCanBoard;
}

inline uint32_t le_value(const uint8_t *bytes, size_t size) {
  uint32_t value = 0;
  for (size_t i = size; i-- > 0;)
    value = (value << 8) | bytes[i];
  return value;
}

inline void le_bytes(uint32_t value, uint8_t *bytes, size_t size) {
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// 0 when the focus and ND wheel node is present, else the node group's
// message with the operation's name and ERR_CAN_NODE_NOT_AVAIL.
u_err_t ndw_available(const sys_info *instr, const char *name);

} // namespace ferry::can
