#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "motion/motion_wrapper.h"
#include "platform/dynlib.h"
#include "sim/fake_libraries.h"
#include "support/test_support.h"

using namespace ferry::test;

namespace {

constexpr char kLibrary[] = "MotionWrapperInterface.dll";

const char kCanWarning[] =
    "Warning: Motion DLL does not support CAN event notification pass-through.\n"
    "         Corvista may not behave as expected if CAN events are used.\n";
const char kClosedLoopInfo[] = "Info: Motion DLL does not support axis with external closed loop "
                               "or DMI position instrument\n";
const char kAlignViewInfo[] =
    "Info: Motion DLL does not support setting the align/view indicator on the pendent\n";
const char kConfigurationInfo[] =
    "Info: Motion DLL does not support getting the effective motion configuration file\n";
const char kPositionError[] =
    "Error: missing GetPosition_MWI or (GetActualPosition_MWI and "
    "GetCommandedPosition_MWI) functions from MotionWrapperInterface.dll.\n";

#define SLOT_NAME(name) #name,
const std::vector<std::string> kAllSlots = {MC_MWI_ALL_ENTRY_POINTS(SLOT_NAME)};
const std::vector<std::string> kPair = {MC_MWI_POSITION_PAIR_ENTRY_POINTS(SLOT_NAME)};
const std::vector<std::string> kCan = {MC_MWI_CAN_EVENT_ENTRY_POINTS(SLOT_NAME)};
const std::vector<std::string> kClosedLoop = {MC_MWI_CLOSED_LOOP_ENTRY_POINTS(SLOT_NAME)};
#undef SLOT_NAME

std::set<std::string> bound_slots() {
  std::set<std::string> bound;
#define NOTE_BOUND(name)                                                                           \
  if (mc_mwi.name)                                                                                 \
    bound.insert(#name);
  MC_MWI_ALL_ENTRY_POINTS(NOTE_BOUND)
#undef NOTE_BOUND
  return bound;
}

std::set<std::string> all_slots_but(std::vector<std::vector<std::string>> empty) {
  std::set<std::string> slots(kAllSlots.begin(), kAllSlots.end());
  for (const auto &group : empty)
    for (const auto &name : group)
      slots.erase(name);
  return slots;
}

bool library_loaded() {
  char path[4096];
  return plat_loaded_library_path(kLibrary, path, sizeof path);
}

// The system's reason for a failed lookup of entry in the variant, as the
// binding must print it (Windows: an error number; elsewhere the loader's
// text).
std::string lookup_reason(const char *dir, const char *entry) {
  plat_set_library_dir(dir);
  plat_dynlib *lib = plat_dynlib_load(kLibrary);
  EXPECT_NE(lib, nullptr) << dir;
  EXPECT_EQ(plat_dynlib_symbol(lib, entry), nullptr) << entry;
  char reason[512];
  plat_dynlib_error_text(reason, sizeof reason);
  plat_dynlib_unload(lib);
  return reason;
}

std::string load_reason(const char *dir) {
  plat_set_library_dir(dir);
  EXPECT_EQ(plat_dynlib_load(kLibrary), nullptr);
  char reason[512];
  plat_dynlib_error_text(reason, sizeof reason);
  return reason;
}

std::string missing_line(const char *dir, const char *entry) {
  return "Error: " + lookup_reason(dir, entry) + " in loading " + entry +
         " from MotionWrapperInterface.dll.\n";
}

class MotionBinding : public testing::Test {
protected:
  void TearDown() override {
    mc_mwi_unbind();
    plat_set_library_dir(nullptr);
  }
  u_err_t bind(const char *dir) {
    plat_set_library_dir(dir);
    MessageCapture capture;
    u_err_t code = mc_mwi_bind();
    messages = capture.text();
    return code;
  }
  std::string messages;
};

} // namespace

TEST_F(MotionBinding, EachLibraryShapeGivesItsLinesCodeAndSlots) {
  TempDir empty;
  struct Case {
    const char *name;
    std::string dir;
    u_err_t code;
    std::vector<std::vector<std::string>> empty_groups; // on success
  };
  const std::vector<Case> cases = {
      {"single position form", FAKE_MOTION_SINGLE_POSITION_DIR, ERR_NONE, {kPair}},
      {"position pair", FAKE_MOTION_PAIR_POSITION_DIR, ERR_NONE, {{"GetPosition_MWI"}}},
      {"both forms", FAKE_MOTION_BOTH_POSITIONS_DIR, ERR_CVX_FUNCTION_MAP, {}},
      {"no form", FAKE_MOTION_NO_POSITION_DIR, ERR_CVX_FUNCTION_MAP, {}},
      {"half a pair", FAKE_MOTION_HALF_PAIR_DIR, ERR_CVX_FUNCTION_MAP, {}},
      {"required ones missing", FAKE_MOTION_MISSING_REQUIRED_DIR, ERR_CVX_FUNCTION_MAP, {}},
      {"groups partly missing",
       FAKE_MOTION_PARTIAL_GROUPS_DIR,
       ERR_NONE,
       {{"GetPosition_MWI"}, kCan, kClosedLoop}},
      {"no optional ones",
       FAKE_MOTION_NO_OPTIONALS_DIR,
       ERR_NONE,
       {{"GetPosition_MWI", "SetAlignViewIndicator_MWI", "GetConfigurationFile_MWI"},
        kCan,
        kClosedLoop}},
      {"no align/view indicator",
       FAKE_MOTION_NO_ALIGN_VIEW_DIR,
       ERR_NONE,
       {{"GetPosition_MWI", "SetAlignViewIndicator_MWI"}}},
      {"no library", empty.path().string(), ERR_CVX_NO_DLL, {}},
  };
  // The lines, worked out before the binding runs (each asks the loader).
  const std::map<std::string, std::string> expected_lines = {
      {"single position form", ""},
      {"position pair", ""},
      {"both forms", kPositionError},
      {"no form", kPositionError},
      {"half a pair", kPositionError},
      {"required ones missing",
       missing_line(FAKE_MOTION_MISSING_REQUIRED_DIR, "CheckForEStopEvent_MWI") +
           missing_line(FAKE_MOTION_MISSING_REQUIRED_DIR, "Move_MWI") +
           missing_line(FAKE_MOTION_MISSING_REQUIRED_DIR, "StopAxis_MWI")},
      {"groups partly missing", std::string(kCanWarning) + kClosedLoopInfo},
      {"no optional ones",
       std::string(kCanWarning) + kClosedLoopInfo + kAlignViewInfo + kConfigurationInfo},
      {"no align/view indicator", kAlignViewInfo},
      {"no library", "Error: " + load_reason(empty.path().string().c_str()) +
                         " in loading Corvista 10 Motion library MotionWrapperInterface.dll.\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(bind(c.dir.c_str()), c.code);
    EXPECT_EQ(messages, expected_lines.at(c.name));
    bool bound = c.code == ERR_NONE;
    EXPECT_EQ(mc_mwi_is_bound(), bound);
    EXPECT_EQ(library_loaded(), bound);
    EXPECT_EQ(bound_slots(), bound ? all_slots_but(c.empty_groups) : std::set<std::string>{});
    mc_mwi_unbind();
    EXPECT_FALSE(library_loaded());
  }
}

TEST_F(MotionBinding, BoundSlotsReachTheLibrary) {
  ASSERT_EQ(bind(FAKE_MOTION_SINGLE_POSITION_DIR), ERR_NONE);
  // The test's own reference to the same library steers it.
  plat_dynlib *fake = plat_dynlib_load(kLibrary);
  ASSERT_NE(fake, nullptr);
  auto post_event =
      reinterpret_cast<void (*)(int32_t, int32_t)>(plat_dynlib_symbol(fake, "FakeMwi_PostEvent"));
  auto send_pdo = reinterpret_cast<int32_t (*)(uint32_t, uint32_t, const uint8_t *)>(
      plat_dynlib_symbol(fake, "FakeMwi_SendPdo"));
  ASSERT_TRUE(post_event && send_pdo);

  int32_t connection = 0;
  ASSERT_EQ(mc_mwi.InitMotionWrapperInterface_MWI(), 0);
  ASSERT_EQ(mc_mwi.OpenComm_MWI("stage.cfg", &connection), 0);
  EXPECT_EQ(mc_mwi.Move_MWI(connection, 2, 12.5), 0);
  double position = 0;
  EXPECT_EQ(mc_mwi.GetPosition_MWI(connection, 2, &position), 0);
  EXPECT_EQ(position, 12.5);
  EXPECT_NE(mc_mwi.Move_MWI(connection, 9, 1.0), 0); // no such axis

  EXPECT_FALSE(mc_mwi.HasEvent_MWI(connection));
  post_event(4, 1);
  EXPECT_TRUE(mc_mwi.HasEvent_MWI(connection));
  int32_t event = 0, axis = 0;
  EXPECT_EQ(mc_mwi.GetEvent_MWI(connection, &event, &axis), 0);
  EXPECT_EQ(event, 4);
  EXPECT_EQ(axis, 1);
  EXPECT_FALSE(mc_mwi.HasEvent_MWI(connection));

  static std::vector<uint32_t> pdos;
  pdos.clear();
  mc_mwi_pdo_handler_fn on_pdo = [](uint32_t cob_id, uint32_t, const uint8_t *) {
    pdos.push_back(cob_id);
  };
  const uint8_t data[8] = {};
  EXPECT_EQ(send_pdo(0x181, 0, data), 0);
  ASSERT_EQ(mc_mwi.RegisterCanEvents_MWI(connection, on_pdo, nullptr), 0);
  EXPECT_EQ(send_pdo(0x181, 0, data), 1);
  EXPECT_EQ(pdos, std::vector<uint32_t>{0x181});
  EXPECT_EQ(mc_mwi.UnregisterCanEvents_MWI(connection), 0);

  char file[64] = {};
  EXPECT_EQ(mc_mwi.GetConfigurationFile_MWI(connection, file, sizeof file), 0);
  EXPECT_STREQ(file, "fake_motion.cfg");
  plat_dynlib_unload(fake);
}

TEST_F(MotionBinding, RebindClearAndUnbindLeaveNoLibraryBehind) {
  ASSERT_EQ(bind(FAKE_MOTION_PAIR_POSITION_DIR), ERR_NONE);
  // A second bind replaces the first: one unbind then leaves nothing.
  ASSERT_EQ(bind(FAKE_MOTION_SINGLE_POSITION_DIR), ERR_NONE);
  EXPECT_NE(mc_mwi.GetPosition_MWI, nullptr);
  EXPECT_EQ(mc_mwi.GetActualPosition_MWI, nullptr);
  mc_mwi_unbind();
  EXPECT_FALSE(library_loaded());

  // Clearing empties the table at once; the library goes with the unbind.
  ASSERT_EQ(bind(FAKE_MOTION_SINGLE_POSITION_DIR), ERR_NONE);
  mc_mwi_clear();
  EXPECT_FALSE(mc_mwi_is_bound());
  EXPECT_EQ(bound_slots(), std::set<std::string>{});
  EXPECT_TRUE(library_loaded());
  mc_mwi_unbind();
  EXPECT_FALSE(library_loaded());

  // A failed bind after a good one leaves nothing of either.
  ASSERT_EQ(bind(FAKE_MOTION_SINGLE_POSITION_DIR), ERR_NONE);
  EXPECT_EQ(bind(FAKE_MOTION_BOTH_POSITIONS_DIR), ERR_CVX_FUNCTION_MAP);
  EXPECT_FALSE(mc_mwi_is_bound());
  EXPECT_FALSE(library_loaded());
}
