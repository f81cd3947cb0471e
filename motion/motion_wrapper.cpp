#include "motion/motion_wrapper.h"

#include <atomic>

#include "base/hooks.h"
#include "platform/dynlib.h"

mc_mwi_table mc_mwi = {};

namespace {

using ferry::EntryPoint;

constexpr char kLibraryName[] = "MotionWrapperInterface.dll";

#define MC_MWI_ENTRY(name) FERRY_ENTRY_POINT(mc_mwi_table, name),

constexpr EntryPoint<mc_mwi_table> kRequired[] = {MC_MWI_REQUIRED_ENTRY_POINTS(MC_MWI_ENTRY)};
constexpr EntryPoint<mc_mwi_table> kSinglePosition[] = {MC_MWI_ENTRY(GetPosition_MWI)};
constexpr EntryPoint<mc_mwi_table> kPositionPair[] = {
    MC_MWI_POSITION_PAIR_ENTRY_POINTS(MC_MWI_ENTRY)};
constexpr EntryPoint<mc_mwi_table> kCanEvents[] = {MC_MWI_CAN_EVENT_ENTRY_POINTS(MC_MWI_ENTRY)};
constexpr EntryPoint<mc_mwi_table> kClosedLoop[] = {MC_MWI_CLOSED_LOOP_ENTRY_POINTS(MC_MWI_ENTRY)};
constexpr EntryPoint<mc_mwi_table> kAlignView[] = {MC_MWI_ENTRY(SetAlignViewIndicator_MWI)};
constexpr EntryPoint<mc_mwi_table> kConfigurationFile[] = {MC_MWI_ENTRY(GetConfigurationFile_MWI)};

#undef MC_MWI_ENTRY

// An optional group and the lines printed when the library lacks any of it.
struct OptionalGroup {
  std::span<const EntryPoint<mc_mwi_table>> points;
  const char *message;
};

const OptionalGroup kOptionalGroups[] = {
    {kCanEvents, "Warning: Motion DLL does not support CAN event notification pass-through.\n"
                 "         Corvista may not behave as expected if CAN events are used.\n"},
    {kClosedLoop, "Info: Motion DLL does not support axis with external closed loop or DMI "
                  "position instrument\n"},
    {kAlignView, "Info: Motion DLL does not support setting the align/view indicator on the "
                 "pendent\n"},
    {kConfigurationFile,
     "Info: Motion DLL does not support getting the effective motion configuration file\n"},
};

plat_dynlib *library = nullptr;
std::atomic<bool> bound{false};

// The system's reason for the last failed load or lookup. Windows gives its
// error number; other systems have none and give the loader's own text.
struct LoaderError {
  char text[512];
  LoaderError() { plat_dynlib_error_text(text, sizeof text); }
};

void ignore_missing(const char *) {}

template <size_t N> bool all_present(const EntryPoint<mc_mwi_table> (&points)[N]) {
  return ferry::bind_entry_points(library, mc_mwi, std::span(points), ignore_missing) == 0;
}

// Exactly one of the two forms: GetPosition_MWI alone, or the actual and
// the commanded position without it.
bool one_position_form() {
  bool single = mc_mwi.GetPosition_MWI != nullptr;
  bool pair = all_present(kPositionPair);
  bool any_of_pair = mc_mwi.GetActualPosition_MWI || mc_mwi.GetCommandedPosition_MWI;
  return single ? !any_of_pair : pair;
}

void bind_optional(const OptionalGroup &group) {
  if (ferry::bind_entry_points(library, mc_mwi, group.points, ignore_missing) == 0)
    return;
  u_msg_hook("%s", group.message);
  ferry::clear_entry_points(mc_mwi, group.points);
}

u_err_t fail_bind(u_err_t code) {
  mc_mwi_unbind();
  return code;
}

} // namespace

extern "C" bool mc_mwi_is_bound(void) {
  return bound.load(std::memory_order_acquire);
}

extern "C" void mc_mwi_clear(void) {
  bound.store(false, std::memory_order_release);
  mc_mwi = mc_mwi_table{};
}

extern "C" void mc_mwi_unbind(void) {
  mc_mwi_clear();
  plat_dynlib_unload(library);
  library = nullptr;
}

extern "C" u_err_t mc_mwi_bind(void) {
  // A second bind must not strand the library of the first.
  mc_mwi_unbind();
  library = plat_dynlib_load(kLibraryName);
  if (!library) {
    LoaderError error;
    u_msg_hook("Error: %s in loading Corvista 10 Motion library %s.\n", error.text, kLibraryName);
    return fail_bind(ERR_CVX_NO_DLL);
  }
  // Every missing entry point is reported, not only the first.
  int missing =
      ferry::bind_entry_points(library, mc_mwi, std::span(kRequired), [](const char *name) {
        LoaderError error;
        u_msg_hook("Error: %s in loading %s from %s.\n", error.text, name, kLibraryName);
      });
  all_present(kSinglePosition);
  if (missing)
    return fail_bind(ERR_CVX_FUNCTION_MAP);
  if (!one_position_form()) {
    u_msg_hook("Error: missing GetPosition_MWI or (GetActualPosition_MWI and "
               "GetCommandedPosition_MWI) functions from %s.\n",
               kLibraryName);
    return fail_bind(ERR_CVX_FUNCTION_MAP);
  }
  for (const OptionalGroup &group : kOptionalGroups)
    bind_optional(group);
  bound.store(true, std::memory_order_release);
  return ERR_NONE;
}
