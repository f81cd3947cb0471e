#include "can/can_host_ops.h"

namespace {

u_err_t succeed(sys_info *) {
  return ERR_NONE;
}
void nothing(sys_info *) {}
void nothing_at_all() {}
bool not_running() {
  return false;
}
u_err_t accept_ramp(sys_info *, int32_t) {
  return ERR_NONE;
}
// Without a ramper of its own the host has no slot to refuse.
u_err_t every_slot_valid(sys_info *, int32_t, uint8_t *valid) {
  if (valid)
    *valid = 1;
  return ERR_NONE;
}
u_err_t ramper_idle(sys_info *, uint8_t *status) {
  if (status)
    *status = 0;
  return ERR_NONE;
}

constexpr can_host_ops kDefaults = {
    .can_agc_init = succeed,
    .can_agc_stop_thread = nothing,
    .can_agc_start_thread = nothing,
    .agc_thread_running = not_running,
    .load_ramps = succeed,
    .sleep_mode_choose = succeed,
    .sleep_timer_start = succeed,
    .sleep_thread_stop = succeed,
    .sleep_activity = nothing_at_all,
    .light_level_setup = succeed,
    .light_level_mode = succeed,
    .light_level_store = nothing,
    .scanner_verify = accept_ramp,
    .pedestal_file_name = succeed,
    .wave_monitor_setup = succeed,
    .can_write_pztramp_select = accept_ramp,
    .can_read_pztramp_valid = every_slot_valid,
    .can_read_pztramp_status = ramper_idle,
    .can_pztramp_start = succeed,
};

can_host_ops current_ops = kDefaults;

// Every member of the record, so one list fills the gaps of a host's record.
template <typename F> void for_each_member(F &&f) {
  f(&can_host_ops::can_agc_init);
  f(&can_host_ops::can_agc_stop_thread);
  f(&can_host_ops::can_agc_start_thread);
  f(&can_host_ops::agc_thread_running);
  f(&can_host_ops::load_ramps);
  f(&can_host_ops::sleep_mode_choose);
  f(&can_host_ops::sleep_timer_start);
  f(&can_host_ops::sleep_thread_stop);
  f(&can_host_ops::sleep_activity);
  f(&can_host_ops::light_level_setup);
  f(&can_host_ops::light_level_mode);
  f(&can_host_ops::light_level_store);
  f(&can_host_ops::scanner_verify);
  f(&can_host_ops::pedestal_file_name);
  f(&can_host_ops::wave_monitor_setup);
  f(&can_host_ops::can_write_pztramp_select);
  f(&can_host_ops::can_read_pztramp_valid);
  f(&can_host_ops::can_read_pztramp_status);
  f(&can_host_ops::can_pztramp_start);
}
constexpr int kMembers = 19;
static_assert(sizeof(can_host_ops) == kMembers * sizeof(void (*)()),
              "for_each_member must name every member");

} // namespace

extern "C" void can_set_host_ops(const can_host_ops *ops) {
  current_ops = ops ? *ops : kDefaults;
  for_each_member([](auto member) {
    if (!(current_ops.*member))
      current_ops.*member = kDefaults.*member;
  });
}

extern "C" const can_host_ops *can_get_host_ops(void) {
  return &current_ops;
}
