#pragma once
// CAN section of the instrument's system information: the node flags, the
// bridge record and the settings the CAN modules read.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The bridge record belongs to the CAN modules (can/can_bridge.h); the host
// owns one per instrument and points this section at it.
struct can_bridge;
// The encoded zoom's calibration as last loaded (can/can_enc_zoom.h).
struct kps_enc_zoom_cache;
// The "CAN_NDWHEEL_STOPPED" event the power-on creates (platform/sync.h).
struct plat_event;

enum {
  // One last-start time per ramp of the loaded ramp table (its limit).
  SYS_INFO_CAN_RAMPS = 254,
  // Longest configured name of the encoded zoom's calibration file.
  SYS_INFO_ENC_ZOOM_NAME_MAX = 260
};

// The encoded zoom of the focus and ND wheel node, as configured.
typedef struct sys_info_enc_zoom {
  uint8_t enabled;
  // Soft limits of the encoder position, lower not above upper, and the
  // backlash, written to the node at power-on.
  int32_t lower_limit;
  int32_t upper_limit;
  int32_t backlash;
  // Calibration file name; empty: the default.
  char cal_file[SYS_INFO_ENC_ZOOM_NAME_MAX + 1];
  // The calibration loaded for this instrument, or none; the loader owns it.
  struct kps_enc_zoom_cache *cache;
} sys_info_enc_zoom;

// Sleep modes the power-on chooses from.
enum { SYS_INFO_SLEEP_NONE = 0, SYS_INFO_SLEEP_MODE1 = 1, SYS_INFO_SLEEP_MODE2 = 2 };

// One flag per CAN node that an instrument may carry: 1 yes, 0 no.
typedef struct sys_info_can_nodes {
  uint8_t triple_pzt;  // CAN_NODE_ID_TRIPLEPZT
  uint8_t large_ap;    // CAN_NODE_ID_LARGEAP
  uint8_t wand;        // CAN_NODE_ID_WAND
  uint8_t wand2;       // CAN_NODE_ID_WAND2
  uint8_t dd_zoom;     // CAN_NODE_ID_DD_ZOOM
  uint8_t dd_rs;       // CAN_NODE_ID_DD_RS
  uint8_t focus_ndw;   // CAN_NODE_ID_FOCUS_NDW
  uint8_t aux_motor;   // CAN_NODE_ID_AUX_MOTOR
  uint8_t brush_motor; // CAN_NODE_ID_BRUSHMOTOR
} sys_info_can_nodes;

// Objective turret kinds and zoom changer kinds.
enum { SYS_INFO_TURRET_NONE = 0, SYS_INFO_TURRET_MOTORIZED = 1, SYS_INFO_TURRET_ENCODED = 2 };
enum { SYS_INFO_ZOOM_NONE = 0, SYS_INFO_ZOOM_ENCODED = 1, SYS_INFO_ZOOM_MOTORIZED = 2 };
// Which node the PZT multiplexer selects.
enum { SYS_INFO_PZT_MUX_TRIPLE = 0, SYS_INFO_PZT_MUX_LARGE_AP = 1 };

typedef struct sys_info_can {
  // Set from node enumeration, cleared when a node fails to come up.
  sys_info_can_nodes present;
  // From the system configuration: the nodes this instrument should have.
  sys_info_can_nodes expected;
  // The host's bridge record; null while the instrument has none.
  struct can_bridge *bridge;

  // Objective turret and zoom changer kinds (above), and the numbers of
  // their positions as the brush motor node reports them.
  int32_t turret_type;
  int32_t zoom_type;
  int32_t turret_positions;
  int32_t zoom_positions;
  // Last turret position the event pump reported (written under the CAN
  // event lock).
  uint8_t last_turret_position;

  // Light source: the LED light level and the ND wheel level are written
  // inverted (65535 - level) when these are set.
  uint8_t llc_inverted;
  uint8_t ndw_llc_inverted;
  // Average current limit and forward voltage of the LED's current ranges
  // 0 and 1; a 0 value is not written.
  uint16_t llc_range_current[2];
  uint16_t llc_range_voltage[2];
  uint32_t led_pwm_freq;
  uint8_t led_setup;

  // PZT multiplexer (above).
  int32_t pzt_mux;
  // Digital scanner: present flag and kind (1: 15 ramps, 2: 100 ramps).
  uint8_t digital_scanner;
  int32_t digital_scanner_kind;
  // Nonzero when the digital scanner uses DDL tables.
  uint8_t ddl_tables;

  // Set-up values the power-on sequences write.
  uint8_t uses_agc;
  uint32_t syncgen_rate;
  uint32_t zoom_dd_target_vel;
  // LED current range chosen at power-on (0, 1, other: the fixed pair).
  int32_t llc_range;
  // Sleep mode (above), and whether the host wants its timer started.
  int32_t sleep_mode;
  uint8_t sleep_timer;

  // PZT state value: -1 once the PZT nodes have been brought up, until the
  // host sets the PZT up.
  int32_t pzt_state;
  // Nonzero while the large aperture is in use.
  uint8_t large_ap_in_use;
  sys_info_enc_zoom enc_zoom;
  // Held from the focus and ND wheel node's bring-up to the power-off.
  struct plat_event *ndw_stopped;

  // When each ramp of the ramp table was last started (u_clock_seconds),
  // 0 while never; indexed like the table.
  double ramp_last_start[SYS_INFO_CAN_RAMPS];
  // When the PIFOC offset was last written (u_clock_seconds).
  double pifoc_offset_time;
} sys_info_can;

#ifdef __cplusplus
}
#endif
