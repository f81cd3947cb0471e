#include "base/errors.h"
#include "base/errors_internal.h"

#include <array>
#include <cstdio>
#include <cstdlib>

#include "base/hooks.h"

namespace {

constexpr int kCodeCount = ERR_LAST_CODE + 1;

constexpr std::array<const char *, kCodeCount> make_name_table() {
  std::array<const char *, kCodeCount> names{};
  names[0] = "";
#define FERRY_ERROR(name, code) names[code] = #name;
#include "base/error_list.inc"
#undef FERRY_ERROR
  return names;
}

constexpr auto kNames = make_name_table();

// One buffer for every lookup, as callers have always been told: a text from
// u_error_name lives until the next lookup.
char lookup_buffer[512];

} // namespace

const char *ferry::error_constant_name(u_err_t code) {
  if (code < 1 || code > ERR_LAST_CODE)
    return nullptr;
  return kNames[static_cast<size_t>(code)];
}

extern "C" const char *u_error_name(u_err_t code) {
  if (code == 0)
    std::snprintf(lookup_buffer, sizeof lookup_buffer, "%s", "NO_ERROR");
  else if (const char *name = ferry::error_constant_name(code))
    std::snprintf(lookup_buffer, sizeof lookup_buffer, "%s", name);
  else
    std::snprintf(lookup_buffer, sizeof lookup_buffer, "invalid error number %d", code);
  return lookup_buffer;
}

extern "C" const char *u_error_name_alias(u_err_t code) {
  return u_error_name(code);
}

extern "C" void u_error_report(u_err_t code) {
  if (code != 0)
    u_msg_hook("%s\n", u_error_name(code));
}

extern "C" void u_error_exit(u_err_t code) {
  if (code == 0)
    return;
  u_error_report(code);
  std::exit(1);
}
