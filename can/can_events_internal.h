#pragma once
// Decoder state of the event pump that the node operations share.

#include <cstdint>

namespace ferry::can {

// The ND wheel's home status (bits 0x18) and moving status (bit 0x02); the
// homing wait sets them before it starts, the pump as reports arrive.
void ndw_set_home_status(uint8_t status);
void ndw_set_moving_status(uint8_t status);

// Stores the zoom position as the last one reported when none was yet
// (255), under the event lock.
void zoom_note_first_position(int32_t position);

// The last zoom position the pump knows (255: none yet).
int32_t zoom_last_position();

} // namespace ferry::can
