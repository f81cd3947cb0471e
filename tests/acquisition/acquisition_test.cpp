#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "acquisition/acquisition.h"
#include "acquisition/ini_file_internal.h"
#include "base/files_internal.h"
#include "base/sys_info.h"
#include "platform/dynlib.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "sim/fake_libraries.h"
#include "support/serial_sim_link.h"
#include "support/test_support.h"

using namespace ferry::test;

namespace {

constexpr char kLibrary[] = "CvAcq.dll";
constexpr char kChildVariable[] = "FERRY_ACQUISITION_TEST_CHILD";
constexpr char kChildFilter[] = "--gtest_filter=AcquisitionChild.ActsAsAskedWhenStartedAsChild";

// Time stamps vary: "<stamp> " stands for one.
std::string without_stamps(const std::string &text) {
  static const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )");
  return std::regex_replace(text, stamp, "<stamp> ");
}

bool loaded(const char *name) {
  char path[4096];
  return plat_loaded_library_path(name, path, sizeof path);
}

bool lock_is_free() {
  plat_machine_lock *lock = plat_machine_lock_open("TARNCVCAL");
  bool free = plat_machine_lock_acquire(lock, 0) == PLAT_WAIT_SIGNALLED;
  plat_machine_lock_close(lock);
  return free;
}

std::string path_in(const TempDir &dir, const char *name) {
  return dir.path().string() + plat_dir_separator + name;
}

// The fake acquisition library as this test loads it itself: the same
// instance the binding uses, steered through its control functions.
class FakeAcquisition {
public:
  FakeAcquisition() { reload(); }
  ~FakeAcquisition() { drop(); }
  FakeAcquisition(const FakeAcquisition &) = delete;
  FakeAcquisition &operator=(const FakeAcquisition &) = delete;

  // Loads the complete fake (from its folder, which becomes the library
  // folder) in its first state.
  void reload() {
    drop();
    plat_set_library_dir(FAKE_ACQUISITION_DIR);
    lib_ = plat_dynlib_load(kLibrary);
    ASSERT_NE(lib_, nullptr);
    reset();
  }
  void reset() { call<void (*)()>("FakeAcq_Reset")(); }
  // Lets go of the test's reference, so only the binding's one is left.
  void drop() {
    plat_dynlib_unload(lib_);
    lib_ = nullptr;
  }
  void fail(const char *entry, int32_t error) {
    call<void (*)(const char *, int32_t)>("FakeAcq_FailCall")(entry, error);
  }
  void set_last_error(int32_t error) { call<void (*)(int32_t)>("FakeAcq_SetLastError")(error); }
  void set_devices(int32_t count) { call<void (*)(int32_t)>("FakeAcq_SetDevices")(count); }
  void set_cameras(std::vector<int32_t> ids, std::vector<int32_t> modes) {
    call<void (*)(int32_t, const int32_t *, const int32_t *)>("FakeAcq_SetCameras")(
        static_cast<int32_t>(ids.size()), ids.data(), modes.data());
  }
  void set_number(const char *parameter, int32_t value) {
    call<void (*)(const char *, int32_t)>("FakeAcq_SetNumber")(parameter, value);
  }
  std::string text(const char *parameter) {
    char value[512] = {};
    call<int32_t (*)(const char *, char *, int32_t)>("FakeAcq_Text")(parameter, value,
                                                                     sizeof value);
    return value;
  }
  std::vector<std::string> calls() {
    auto log = call<int32_t (*)(char *, int32_t)>("FakeAcq_CallLog");
    std::string text(static_cast<size_t>(log(nullptr, 0)) + 1, '\0');
    log(text.data(), static_cast<int32_t>(text.size()));
    std::vector<std::string> lines;
    std::istringstream in(text.c_str());
    for (std::string line; std::getline(in, line);)
      lines.push_back(line);
    return lines;
  }
  size_t count(const std::string &call) {
    auto all = calls();
    return static_cast<size_t>(std::count(all.begin(), all.end(), call));
  }

private:
  template <typename Fn> Fn call(const char *name) {
    auto fn = reinterpret_cast<Fn>(plat_dynlib_symbol(lib_, name));
    EXPECT_NE(fn, nullptr) << name;
    return fn;
  }
  plat_dynlib *lib_ = nullptr;
};

// A test's own world: lock folder, SystemRoot folder, configuration folder,
// the complete fake library, waits a hundredth of their time.
class Acquisition : public testing::Test {
protected:
  Acquisition()
      : lock_env_("FERRY_LOCK_DIR", lock_dir_.path().string().c_str()),
        root_env_("SystemRoot", root_.path().string().c_str()),
        config_env_("MB_CONFIG_DIR", config_.path().string().c_str()) {
    ferry::reset_path_caches();
  }
  ~Acquisition() override {
    acq_mgrclose(0);
    acq_sys_cal_read_hook = acq_sys_cal_read_none;
    plat_set_library_dir(nullptr);
    ferry::reset_path_caches();
  }

  void write_ini(const std::string &text) { write_text(path_in(root_, "CvAcq.ini"), text); }

  template <typename Op> u_err_t run(Op op) {
    MessageCapture capture;
    u_err_t code = op();
    messages = without_stamps(capture.text());
    return code;
  }

  TempDir lock_dir_, root_, config_;
  ScopedEnv lock_env_, root_env_, config_env_;
  ScopedEnv res_{"PULSARRES", nullptr}, vcf_{"PULSARVCF", nullptr}, dcf_{"PULSARDCF", nullptr};
  ScaledTime time_{0.01};
  FakeAcquisition fake;
  std::string messages;
};

const char kOpenLines[] = "Loading library CvAcq.dll\nInitializing CvAcq.dll\n";

std::string own_path() {
  char path[4096];
  EXPECT_TRUE(plat_executable_path(path, sizeof path));
  return path;
}

struct ChildRun {
  bool started = false;
  int status = -1;
  std::string out;
};

// Runs this program as a child acting out `role` (see the child's test).
ChildRun run_child(const TempDir &dir, const char *role) {
  ScopedEnv mode(kChildVariable, role);
  std::string self = own_path();
  const char *argv[] = {self.c_str(), kChildFilter, nullptr};
  std::string out = dir.file("child.txt");
  ChildRun run;
  run.started = plat_run_process(argv, out.c_str(), out.c_str(), &run.status);
  run.out = read_text(out);
  return run;
}

} // namespace

// Not a test of its own: the child that the two-process tests start.
//   in_use: the start-up must find the lock held (exit 0 when it does);
//   hold_and_die: starts up and ends without releasing anything (exit 7).
TEST(AcquisitionChild, ActsAsAskedWhenStartedAsChild) {
  const char *role = plat_getenv(kChildVariable);
  if (!role)
    GTEST_SKIP() << "runs only as the child of the two-process tests";
  std::string asked = role;
  plat_set_time_scale(0.01);
  plat_set_library_dir(FAKE_ACQUISITION_DIR);
  MessageCapture capture;
  u_err_t code = acq_mgrinit(0, "sys.cal");
  std::printf("code %d\n%s", static_cast<int>(code), capture.text().c_str());
  std::fflush(stdout);
  if (asked == "hold_and_die" && code == ERR_NONE)
    std::_Exit(7);
  bool in_use =
      capture.text().find("Acquisition system in use by another process") != std::string::npos;
  std::_Exit(asked == "in_use" && code == ERR_ACQ_INIT_DEV && in_use ? 0 : 1);
}

TEST_F(Acquisition, StartUpPrintsTheSystemAndSetsTheDeviceUp) {
  write_ini("[ACQDEVICE1]\nMODULE=" FAKE_LIVE_DISPLAY_NAME "\n");
  fake.set_number("DISPLAY TYPE", 3);
  fake.set_number("MAX DISPLAY WIDTH", 1280);
  fake.set_number("MAX DISPLAY HEIGHT", 1024);
  fake.set_number("ONBOARD PROC", 1);
  ASSERT_EQ(run([] { return acq_mgrinit(1, "sys.cal"); }), ERR_NONE);
  std::string ini = path_in(root_, "CvAcq.ini");
  EXPECT_EQ(messages, std::string(kOpenLines) + "INI file = CvAcq.ini\n" + "Contents of INI file " +
                          ini + ":\n" + "  [ACQDEVICE1]\n" +
                          "  MODULE=" FAKE_LIVE_DISPLAY_NAME "\n" +
                          "Num acquisition devices    = 1\n"
                          "Num cameras                = 2\n"
                          "Num primary camera modes   = 3\n"
                          "Num secondary camera modes = 2\n"
                          "Primary camera type        = Camera type 5\n");
  EXPECT_TRUE(acq_is_open());
  EXPECT_FALSE(lock_is_free());

  acq_info info;
  acq_get_info(&info);
  EXPECT_EQ(info.num_devices, 1);
  EXPECT_STREQ(info.device_name, "Grabber 1");
  EXPECT_EQ(info.num_cameras, 2);
  EXPECT_STREQ(info.camera_name[1], "Camera 2");
  EXPECT_EQ(info.camera_id[1], 7);
  EXPECT_EQ(info.camera_type, 5);
  EXPECT_EQ(info.display_type, 3);
  EXPECT_EQ(info.max_display_width, 1280);
  EXPECT_EQ(info.max_display_height, 1024);
  EXPECT_EQ(info.onboard_proc, 1);

  // The library got the INI file's name, the configuration folder, the
  // device and primary camera chosen, and the set-up in mode 2, then 1.
  const std::vector<std::string> in_order = {"InitDeviceMgr(CvAcq.ini)",
                                             "SetCurrentAcqDevice(100)",
                                             "AcqDeviceSet(CFG FILE PATH)",
                                             "SetCurrentInputDevice(5)",
                                             "OpenDevice(2)",
                                             "CloseDevice",
                                             "OpenDevice(1)",
                                             "AcqDeviceQuery(DISPLAY TYPE)"};
  auto calls = fake.calls();
  auto at = calls.begin();
  for (const std::string &call : in_order) {
    at = std::find(at, calls.end(), call);
    EXPECT_NE(at, calls.end()) << call << " missing or out of order";
  }
  EXPECT_EQ(fake.text("CFG FILE PATH"), config_.path().string());
  for (const char *name : {"PULSARRES", "PULSARVCF", "PULSARDCF"})
    EXPECT_STREQ(plat_getenv(name), config_.path().string().c_str()) << name;
  EXPECT_NE(acq_ld_dll.RunLDCommand, nullptr);
  EXPECT_EQ(acq_ld_dll.RunLDCommand("live"), 1);

  // Release with the instrument: the device closed, resources freed, both
  // libraries and the lock given back.
  EXPECT_EQ(acq_mgrclose(1), ERR_NONE);
  EXPECT_EQ(fake.count("CloseDevice"), 2u);
  EXPECT_EQ(fake.count("FreeDeviceResources"), 1u);
  EXPECT_FALSE(acq_is_open());
  EXPECT_TRUE(lock_is_free());
  EXPECT_EQ(acq_ld_dll.RunLDCommand, nullptr);
  EXPECT_FALSE(loaded(FAKE_LIVE_DISPLAY_NAME));
  fake.drop();
  EXPECT_FALSE(loaded(kLibrary));
}

TEST_F(Acquisition, CameraTypesOutsideTheTableAreUnknown) {
  const struct {
    int32_t code;
    const char *name;
  } names[] = {{0, "Unknown"},  {1, "Camera type 1"},   {32, "Camera type 32"}, {33, "Unknown"},
               {-1, "Unknown"}, {INT32_MIN, "Unknown"}, {INT32_MAX, "Unknown"}};
  char buffer[32];
  for (const auto &n : names)
    EXPECT_STREQ(acq_camera_type_name(n.code, buffer), n.name) << n.code;
  EXPECT_STREQ(acq_camera_type_name(5, nullptr), "Unknown");

  // The start-up prints the primary camera's type the same way (a
  // negative identifier is no camera at all).
  for (const auto &n : names) {
    if (n.code < 0)
      continue;
    fake.set_cameras({n.code}, {1});
    ASSERT_EQ(run([] { return acq_mgrinit(0, "sys.cal"); }), ERR_NONE) << messages;
    EXPECT_NE(messages.find(std::string("Primary camera type        = ") + n.name + "\n"),
              std::string::npos)
        << messages;
    acq_mgrclose(0);
  }
}

TEST_F(Acquisition, DisplayLimitsAreReadOnlyWhenTheDisplayTypeOffersThem) {
  const struct {
    bool has_type;
    int32_t type;
    int32_t width, height;
  } cases[] = {{false, 0, 0, 0}, {true, 1, 0, 0}, {true, 2, 640, 480}, {true, 3, 640, 480}};
  for (const auto &c : cases) {
    fake.reset();
    if (c.has_type)
      fake.set_number("DISPLAY TYPE", c.type);
    fake.set_number("MAX DISPLAY WIDTH", 640);
    fake.set_number("MAX DISPLAY HEIGHT", 480);
    ASSERT_EQ(run([] { return acq_mgrinit(0, "sys.cal"); }), ERR_NONE) << messages;
    acq_info info;
    acq_get_info(&info);
    EXPECT_EQ(info.display_type, c.type);
    EXPECT_EQ(info.max_display_width, c.width) << c.type;
    EXPECT_EQ(info.max_display_height, c.height) << c.type;
    EXPECT_EQ(info.onboard_proc, 0);
    acq_mgrclose(0);
  }
}

TEST_F(Acquisition, OpeningPrintsEachPathsLines) {
  TempDir no_library;
  const std::string ini = path_in(root_, "CvAcq.ini");
  const char *invalid = "Loading library CvAcq.dll\nacq_mgropen: CvAcq.dll invalid or corrupted\n";
  const struct Case {
    const char *name;
    std::string library_dir;
    std::function<void()> arrange;
    const char *ini_file;
    u_err_t code;
    std::string lines;
  } cases[] = {
      {"no library", no_library.path().string(), [] {}, "CvAcq.ini", ERR_ACQ_MISSING_DLL,
       "Loading library CvAcq.dll\nacq_mgropen: CvAcq.dll missing\n"},
      {"first entry point missing", FAKE_ACQUISITION_MISSING_FIRST_DIR, [] {}, "CvAcq.ini",
       ERR_ACQ_INVALID_DLL, invalid},
      {"middle entry point missing", FAKE_ACQUISITION_MISSING_MIDDLE_DIR, [] {}, "CvAcq.ini",
       ERR_ACQ_INVALID_DLL, invalid},
      {"last entry point missing", FAKE_ACQUISITION_MISSING_LAST_DIR, [] {}, "CvAcq.ini",
       ERR_ACQ_INVALID_DLL, invalid},
      {"initialisation fails", FAKE_ACQUISITION_DIR, [this] { fake.fail("InitDeviceMgr", 23); },
       "CvAcq.ini", ERR_ACQ_INIT_DEV,
       std::string(kOpenLines) + "INI file = CvAcq.ini\nCannot access INI file " + ini +
           "\n<stamp> acq_mgropen: CvAcq.dll initialization failed - verify that CvAcq.ini is "
           "correct\n"},
      {"INI file listed", FAKE_ACQUISITION_DIR,
       [this] { write_ini("; frame grabber\n[ACQDEVICE1]\nMODULE=" FAKE_LIVE_DISPLAY_NAME "\n"); },
       "CvAcq.ini", ERR_NONE,
       std::string(kOpenLines) + "INI file = CvAcq.ini\nContents of INI file " + ini +
           ":\n  ; frame grabber\n  [ACQDEVICE1]\n  MODULE=" FAKE_LIVE_DISPLAY_NAME "\n"},
      {"no SystemRoot", FAKE_ACQUISITION_DIR, [] { plat_setenv("SystemRoot", nullptr); },
       "CvAcq.ini", ERR_NONE,
       std::string(kOpenLines) +
           "INI file = CvAcq.ini\nCannot access SystemRoot environment variable\n"
           "cv_ld_init: unable to access frame grabber DLL\n"
           "Corvista control of live display settings is not enabled.\n"},
      {"no INI file named", FAKE_ACQUISITION_DIR,
       [this] { write_ini("[ACQDEVICE1]\nMODULE=" FAKE_LIVE_DISPLAY_NAME "\n"); }, nullptr,
       ERR_NONE, kOpenLines},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv root("SystemRoot", root_.path().string().c_str());
    std::filesystem::remove(ini);
    fake.reload();
    c.arrange();
    // Only the binding holds a variant of its own folder.
    if (c.library_dir != FAKE_ACQUISITION_DIR)
      fake.drop();
    plat_set_library_dir(c.library_dir.c_str());
    EXPECT_EQ(run([&] { return acq_mgropen(c.ini_file); }), c.code);
    EXPECT_EQ(messages, c.lines);
    EXPECT_EQ(acq_is_open(), c.code == ERR_NONE);
    if (c.code == ERR_ACQ_INIT_DEV) {
      EXPECT_EQ(fake.count("FreeDeviceResources"), 1u);
    }
    acq_mgrclose(ACQ_NO_INSTRUMENT);
    fake.drop();
    EXPECT_FALSE(loaded(kLibrary));
  }
}

TEST_F(Acquisition, IniFileChoosesTheLiveDisplayLibrary) {
  const char *not_enabled = "Corvista control of live display settings is not enabled.\n";
  const char *no_grabber = "cv_ld_init: unable to access frame grabber DLL\n";
  const struct {
    const char *ini; // null: no INI file
    bool bound;
    std::string lines;
  } cases[] = {
      {"[ACQDEVICE1]\nMODULE=" FAKE_LIVE_DISPLAY_NAME "\n", true, ""},
      {"[acqdevice1]\n  module = \"" FAKE_LIVE_DISPLAY_NAME "\"\n", true, ""},
      {"[ACQDEVICE1]\nMODULE=" FAKE_LIVE_DISPLAY_NO_RUN_NAME "\n", false, not_enabled},
      {"[ACQDEVICE2]\nMODULE=" FAKE_LIVE_DISPLAY_NAME "\n", false,
       std::string(no_grabber) + not_enabled},
      {nullptr, false, std::string(no_grabber) + not_enabled},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.ini ? c.ini : "no INI file");
    std::filesystem::remove(path_in(root_, "CvAcq.ini"));
    if (c.ini)
      write_ini(c.ini);
    // Without an INI file name the open lists nothing, so only the
    // live-display lines follow the open's own.
    EXPECT_EQ(run([] { return acq_mgropen(nullptr); }), ERR_NONE);
    EXPECT_EQ(messages, kOpenLines + c.lines);
    EXPECT_EQ(acq_ld_dll.SetLDTarnScale != nullptr, c.bound);
    EXPECT_EQ(acq_ld_dll.RunLDCommand != nullptr, c.bound);
    EXPECT_EQ(loaded(FAKE_LIVE_DISPLAY_NAME), c.bound);
    EXPECT_FALSE(loaded(FAKE_LIVE_DISPLAY_NO_RUN_NAME));
    EXPECT_EQ(run(cv_ld_init), c.bound ? ERR_NONE : ERR_ACQ_INVALID_DLL);
    // Called by itself it prints its own line only.
    EXPECT_EQ(messages, c.lines.substr(0, c.lines.find(not_enabled)));
    acq_mgrclose(ACQ_NO_INSTRUMENT);
    EXPECT_FALSE(loaded(FAKE_LIVE_DISPLAY_NAME));
  }
}

// Each bound live-display slot reaches the library's entry point of its own
// name, which keeps what it was given.
TEST_F(Acquisition, LiveDisplaySlotsReachTheirOwnEntryPoints) {
  write_ini("[ACQDEVICE1]\nMODULE=" FAKE_LIVE_DISPLAY_NAME "\n");
  ASSERT_EQ(run([] { return acq_mgropen(nullptr); }), ERR_NONE);
  plat_dynlib *live_display = plat_dynlib_load(FAKE_LIVE_DISPLAY_NAME);
  ASSERT_NE(live_display, nullptr);
  auto setting = reinterpret_cast<double (*)(const char *)>(
      plat_dynlib_symbol(live_display, "FakeLd_Setting"));
  ASSERT_NE(setting, nullptr);
  const double commands = setting("RunLDCommand");
  const struct {
    const char *entry;
    std::function<int32_t()> call;
    double kept;
  } cases[] = {
      {"SetLDNFringes", [] { return acq_ld_dll.SetLDNFringes(12); }, 12},
      {"SetLDPhaseRes", [] { return acq_ld_dll.SetLDPhaseRes(-3); }, -3},
      {"SetLDTarnScale", [] { return acq_ld_dll.SetLDTarnScale(0.625); }, 0.625},
      {"SetLDMinArea", [] { return acq_ld_dll.SetLDMinArea(40); }, 40},
      {"RunLDCommand", [] { return acq_ld_dll.RunLDCommand("live"); }, commands + 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.entry);
    EXPECT_EQ(c.call(), 1);
    EXPECT_EQ(setting(c.entry), c.kept);
  }
  EXPECT_EQ(acq_ld_dll.RunLDCommand(""), 0);
  EXPECT_EQ(setting("RunLDCommand"), commands + 1);
  EXPECT_EQ(setting("SetLDNothing"), -1);
  plat_dynlib_unload(live_display);
  acq_mgrclose(ACQ_NO_INSTRUMENT);
}

TEST_F(Acquisition, IniReaderMatchesAsTheProfileFunctionsDo) {
  std::string ini = path_in(root_, "test.ini");
  write_text(ini, "; comment = no\n"
                  "# KEY=hash comment\n"
                  "[Other]\n"
                  "key=other section\n"
                  "  [ Wanted ]  \n"
                  "plain=value\n"
                  "  Spaced  =   around value  \n"
                  "quoted=\"  kept inside  \"\n"
                  "empty=\n"
                  "noequals\n"
                  "dup=first\n"
                  "dup=second\n"
                  "long=" +
                      std::string(40, 'x') + "\n" + "huge=" + std::string(3000, 'y') +
                      "\n"
                      "after=huge line\n"
                      "[Wanted2]\n"
                      "key=next section\n"
                      "last=no line end");
  const struct {
    const char *section, *key;
    bool found;
    const char *value;
  } cases[] = {
      {"Wanted", "plain", true, "value"},
      {"WANTED", "PLAIN", true, "value"},
      {"wanted", "spaced", true, "around value"},
      {"Wanted", "quoted", true, "  kept inside  "},
      {"Wanted", "empty", true, ""},
      {"Wanted", "noequals", false, ""},
      {"Wanted", "dup", true, "first"},
      {"Wanted", "key", false, ""},
      {"Other", "key", true, "other section"},
      {"Wanted2", "key", true, "next section"},
      {"Wanted", "comment", false, ""},
      {"Wanted", "long", false, ""}, // longer than the buffer
      {"Wanted", "huge", false, ""}, // longer than a line
      {"Wanted", "after", true, "huge line"},
      {"Wanted2", "last", true, "no line end"},
      {"Missing", "plain", false, ""},
  };
  for (const auto &c : cases) {
    char value[32] = "untouched";
    EXPECT_EQ(ferry::ini_read_value(ini.c_str(), c.section, c.key, value, sizeof value), c.found)
        << c.section << "/" << c.key;
    if (c.found) {
      EXPECT_STREQ(value, c.value) << c.section << "/" << c.key;
    }
  }
  char value[8];
  EXPECT_FALSE(ferry::ini_read_value(path_in(root_, "none.ini").c_str(), "Wanted", "plain", value,
                                     sizeof value));
}

TEST_F(Acquisition, PulsarFoldersFollowTheConfigurationFolderUnlessSet) {
  ASSERT_EQ(run([] { return acq_mgropen(nullptr); }), ERR_NONE);
  for (const char *name : {"PULSARRES", "PULSARVCF", "PULSARDCF"})
    EXPECT_STREQ(plat_getenv(name), config_.path().string().c_str()) << name;
  acq_mgrclose(ACQ_NO_INSTRUMENT);

  plat_setenv("PULSARVCF", nullptr);
  plat_setenv("PULSARRES", "host's own");
  ASSERT_EQ(run([] { return acq_mgropen(nullptr); }), ERR_NONE);
  EXPECT_STREQ(plat_getenv("PULSARRES"), "host's own");
  EXPECT_EQ(plat_getenv("PULSARVCF"), nullptr);
}

TEST_F(Acquisition, ErrorNumbersTranslateRowByRow) {
  const struct {
    int32_t error;
    const char *text; // null: nothing printed
    u_err_t code;
  } rows[] = {
      {0, nullptr, ERR_NONE},
      {1, "Device Open\n", ERR_ACQ_DEVICE_OPEN},
      {2, "Control File\n", ERR_ACQ_CMD},
      {3, "Host Resource\n", ERR_ACQ_CMD},
      {4, "Input Device Open\n", ERR_ACQ_DEVICE_OPEN},
      {5, "Device Busy\n", ERR_ACQ_DEVICE_BUSY},
      {6, "Device Closed\n", ERR_ACQ_DEVICE_CLOSE},
      {7, "Device Not Ready\n", ERR_ACQ_CMD},
      {8, "Device Buffer\n", ERR_ACQ_CMD},
      {9, "Out Of Memory\n", ERR_ACQ_CMD},
      {10, "Invalid Device Mode Specified\n", ERR_ACQ_INVALID_MODE},
      {11, "Invalid Device Specified\n", ERR_ACQ_CMD},
      {12, "Invalid Parameter\n", ERR_ACQ_CMD},
      {13, "Missing Parameter\n", ERR_ACQ_CMD},
      {14, "System\n", ERR_ACQ_CMD},
      {15, "System Resource\n", ERR_ACQ_CMD},
      {16, "Timed Out Waiting for Frames\n", ERR_ACQ_TIMEOUT},
      {17, "Frame Buffer Overflow\n", ERR_LOST_FRAME},
      {18, "Data Corrupt\n", ERR_FRAME_DATA_CORRUPT},
      {19, "Unknown\n", ERR_ACQ_CMD},
      {20, "Device\n", ERR_ACQ_CMD},
      {21, "Missed Frame\n", ERR_LOST_FRAME},
      {22, "Device Initialize\n", ERR_ACQ_CMD},
      {23, "Configuration File Invalid\n", ERR_ACQ_CFGFILE_INVALID},
      {24, "Cannot Find File\n", ERR_CANT_OPEN_FILE},
      {25, "Field Drop\n", ERR_LOST_FRAME},
      {26, "Attempt to use unsupported functionality\n", ERR_ACQ_CMD},
      {27, "Unknown\n", ERR_UNKNOWN},
      {-1, "Unknown\n", ERR_UNKNOWN},
      {INT32_MIN, "Unknown\n", ERR_UNKNOWN},
  };
  ASSERT_EQ(run([] { return acq_mgropen(nullptr); }), ERR_NONE);
  for (const auto &row : rows) {
    fake.set_last_error(row.error);
    EXPECT_EQ(run(acq_translate_error), row.code) << row.error;
    EXPECT_EQ(messages, row.text ? std::string("<stamp> Acq Error: ") + row.text : "") << row.error;
  }
}

TEST_F(Acquisition, NothingOpenIsRefusedWithACodeAndNoCall) {
  acq_info info{};
  EXPECT_EQ(run(acq_translate_error), ERR_ACQ_MISSING_DLL);
  EXPECT_EQ(run([] { return acq_mgrclose(0); }), ERR_ACQ_MISSING_DLL);
  EXPECT_EQ(run([&] { return acq_getdevices(&info); }), ERR_ACQ_MISSING_DLL);
  EXPECT_EQ(run([&] { return acq_getinputdev(&info); }), ERR_ACQ_MISSING_DLL);
  EXPECT_EQ(run([&] { return acq_getinputmodes(&info); }), ERR_ACQ_MISSING_DLL);
  EXPECT_EQ(run([] { return acq_frame_copy_begin(0); }), ERR_ACQ_MISSING_DLL);
  EXPECT_EQ(messages, "");
  EXPECT_EQ(fake.calls(), std::vector<std::string>{});

  // The same after a failed open, whose table is empty again.
  fake.fail("InitDeviceMgr", 22);
  EXPECT_EQ(run([] { return acq_mgropen(nullptr); }), ERR_ACQ_INIT_DEV);
  EXPECT_EQ(run(acq_translate_error), ERR_ACQ_MISSING_DLL);
  EXPECT_EQ(run([] { return acq_mgrclose(0); }), ERR_ACQ_MISSING_DLL);
}

TEST_F(Acquisition, EnumerationWalksDevicesCamerasAndModes) {
  fake.set_devices(3);
  fake.set_cameras({9, 4, 2}, {6, 5, 1});
  ASSERT_EQ(run([] { return acq_mgropen(nullptr); }), ERR_NONE);
  acq_info info{};
  ASSERT_EQ(acq_getdevices(&info), ERR_NONE);
  EXPECT_EQ(info.num_devices, 3);
  EXPECT_STREQ(info.device_name, "Grabber 1");
  ASSERT_EQ(acq_getinputdev(&info), ERR_NONE);
  EXPECT_EQ(info.num_cameras, 3);
  EXPECT_STREQ(info.camera_name[0], "Camera 1");
  EXPECT_STREQ(info.camera_name[1], "Camera 2");
  EXPECT_EQ(info.camera_id[0], 9);
  EXPECT_EQ(info.camera_id[1], 4);
  EXPECT_EQ(info.camera_type, 9);
  ASSERT_EQ(acq_getinputmodes(&info), ERR_NONE);
  EXPECT_EQ(info.num_modes[0], 6);
  EXPECT_EQ(info.num_modes[1], 5);

  // One camera: no secondary one, no modes for it.
  fake.set_cameras({3}, {2});
  ASSERT_EQ(acq_getinputdev(&info), ERR_NONE);
  ASSERT_EQ(acq_getinputmodes(&info), ERR_NONE);
  EXPECT_EQ(info.camera_id[1], -1);
  EXPECT_EQ(info.num_modes[0], 2);
  EXPECT_EQ(info.num_modes[1], 0);

  // A failing call gives the library's error, translated.
  fake.fail("GetNumInputModes", 16);
  EXPECT_EQ(run([&] { return acq_getinputmodes(&info); }), ERR_ACQ_TIMEOUT);
  EXPECT_EQ(messages, "<stamp> Acq Error: Timed Out Waiting for Frames\n");
  EXPECT_EQ(acq_getdevices(nullptr), ERR_INVALID_PARAM);
}

TEST_F(Acquisition, StartUpFailuresReleaseTheLockAndTheLibrary) {
  const struct Case {
    const char *name;
    std::function<void(FakeAcquisition &)> arrange;
    u_err_t code;
    const char *line;
  } cases[] = {
      {"initialisation", [](FakeAcquisition &f) { f.fail("InitDeviceMgr", 23); }, ERR_ACQ_INIT_DEV,
       "acq_mgropen: CvAcq.dll initialization failed"},
      {"device count", [](FakeAcquisition &f) { f.fail("GetNumAcqDevices", 14); }, ERR_ACQ_CMD,
       "<stamp> Acq Error: System\n"},
      {"no device", [](FakeAcquisition &f) { f.set_devices(0); }, ERR_ACQ_INVALID_DEVICE,
       "acq_mgrinit: Cannot select the current acquisition device\n"},
      {"device selection", [](FakeAcquisition &f) { f.fail("SetCurrentAcqDevice", 11); },
       ERR_ACQ_INVALID_DEVICE, "acq_mgrinit: Cannot select the current acquisition device\n"},
      {"configuration folder", [](FakeAcquisition &f) { f.fail("AcqDeviceSet", 12); }, ERR_ACQ_CMD,
       "<stamp> Acq Error: Invalid Parameter\n"},
      {"no camera", [](FakeAcquisition &f) { f.set_cameras({}, {}); }, ERR_ACQ_INVALID_DEVICE,
       "acq_mgrinit: Cannot set selected input device\n"},
      {"camera modes", [](FakeAcquisition &f) { f.fail("GetNumInputModes", 5); },
       ERR_ACQ_DEVICE_BUSY, "<stamp> Acq Error: Device Busy\n"},
      {"set-up, the last step", [](FakeAcquisition &f) { f.fail("OpenDevice", 10); },
       ERR_ACQ_INVALID_MODE, "<stamp> Acq Error: Invalid Device Mode Specified\n"},
      {"set-up without a reason", [](FakeAcquisition &f) { f.fail("OpenDevice", 0); }, ERR_ACQ_CMD,
       "Num cameras"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fake.reload();
    c.arrange(fake);
    EXPECT_EQ(run([] { return acq_mgrinit(2, "sys.cal"); }), c.code);
    EXPECT_NE(messages.find(c.line), std::string::npos) << messages;
    EXPECT_FALSE(acq_is_open());
    EXPECT_TRUE(lock_is_free());
    EXPECT_EQ(fake.count("FreeDeviceResources"), 1u);
    fake.drop();
    EXPECT_FALSE(loaded(kLibrary));
  }
}

TEST_F(Acquisition, CalibrationReadComesFirstAndItsCodeIsReturned) {
  static int32_t seen_instrument;
  static std::string seen_file;
  static u_err_t answer;
  acq_sys_cal_read_hook = [](int32_t instrument, const char *cal_file) {
    seen_instrument = instrument;
    seen_file = cal_file;
    return answer;
  };
  for (u_err_t code : {ERR_CANT_OPEN_FILE, ERR_NO_MEM, ERR_NONE}) {
    answer = code;
    seen_instrument = -1;
    EXPECT_EQ(run([] { return acq_mgrinit(3, "inst3.cal"); }), code);
    EXPECT_EQ(seen_instrument, 3);
    EXPECT_EQ(seen_file, "inst3.cal");
    // A failed read goes no further: no lock, no library.
    EXPECT_EQ(lock_is_free(), code != ERR_NONE);
    EXPECT_EQ(acq_is_open(), code == ERR_NONE);
  }
  EXPECT_EQ(acq_mgrinit(SYS_INFO_MAX_INSTRUMENTS, "x.cal"), ERR_INVALID_PARAM);
  EXPECT_EQ(acq_mgrinit(-1, "x.cal"), ERR_INVALID_PARAM);
}

TEST_F(Acquisition, SecondStartUpInThisProcessFindsTheLockInUse) {
  ASSERT_EQ(run([] { return acq_mgrinit(0, "sys.cal"); }), ERR_NONE);
  EXPECT_EQ(run([] { return acq_mgrinit(1, "sys.cal"); }), ERR_ACQ_INIT_DEV);
  EXPECT_EQ(messages, "<stamp> acq_mgrinit: Acquisition system in use by another process\n");
  // The first start-up is undisturbed.
  EXPECT_TRUE(acq_is_open());
  EXPECT_FALSE(lock_is_free());
  EXPECT_EQ(fake.count("InitDeviceMgr(CvAcq.ini)"), 1u);
  fake.set_last_error(6);
  EXPECT_EQ(run(acq_translate_error), ERR_ACQ_DEVICE_CLOSE);

  // Released without the instrument the lock stays; with it, it goes.
  EXPECT_EQ(acq_mgrclose(ACQ_NO_INSTRUMENT), ERR_NONE);
  EXPECT_FALSE(lock_is_free());
  EXPECT_EQ(acq_mgrclose(0), ERR_NONE);
  EXPECT_TRUE(lock_is_free());
  EXPECT_EQ(acq_mgrclose(0), ERR_ACQ_MISSING_DLL);
  EXPECT_EQ(run([] { return acq_mgrinit(1, "sys.cal"); }), ERR_NONE);
}

TEST_F(Acquisition, ReleaseWorksFromAnotherThread) {
  // The lock of one start-up is given back by another thread, round after
  // round; each next start-up must find it free.
  struct Round {
    u_err_t released = -1;
  } round;
  for (int i = 0; i < 25; ++i) {
    ASSERT_EQ(run([] { return acq_mgrinit(0, "sys.cal"); }), ERR_NONE) << "round " << i;
    plat_thread *releaser = plat_thread_start(
        [](void *arg) { static_cast<Round *>(arg)->released = acq_mgrclose(0); }, &round);
    ASSERT_NE(releaser, nullptr);
    ASSERT_TRUE(plat_thread_join(releaser));
    ASSERT_EQ(round.released, ERR_NONE);
    ASSERT_TRUE(lock_is_free()) << "round " << i;
  }
}

TEST_F(Acquisition, AnotherProcessFindsTheLockInUse) {
  ASSERT_EQ(run([] { return acq_mgrinit(0, "sys.cal"); }), ERR_NONE);
  TempDir dir;
  ChildRun child = run_child(dir, "in_use");
  ASSERT_TRUE(child.started);
  EXPECT_EQ(child.status, 0) << child.out;
  EXPECT_NE(child.out.find("code 12"), std::string::npos) << child.out;
  // The holder is undisturbed.
  EXPECT_TRUE(acq_is_open());
  fake.set_last_error(0);
  EXPECT_EQ(run(acq_translate_error), ERR_NONE);
  EXPECT_EQ(acq_mgrclose(0), ERR_NONE);
}

TEST_F(Acquisition, KilledHolderLeavesTheLockFree) {
  TempDir dir;
  ChildRun child = run_child(dir, "hold_and_die");
  ASSERT_TRUE(child.started);
  ASSERT_EQ(child.status, 7) << child.out;
  EXPECT_EQ(run([] { return acq_mgrinit(0, "sys.cal"); }), ERR_NONE) << messages;
}

TEST_F(Acquisition, ReopeningReleasesTheFirstLibrary) {
  ASSERT_EQ(run([] { return acq_mgropen(nullptr); }), ERR_NONE);
  ASSERT_EQ(run([] { return acq_mgropen(nullptr); }), ERR_NONE);
  EXPECT_EQ(fake.count("FreeDeviceResources"), 1u);
  EXPECT_EQ(acq_mgrclose(ACQ_NO_INSTRUMENT), ERR_NONE);
  EXPECT_EQ(fake.count("FreeDeviceResources"), 2u);
  fake.drop();
  EXPECT_FALSE(loaded(kLibrary));
}

TEST_F(Acquisition, FrameCopiesTakeTurns) {
  ASSERT_EQ(run([] { return acq_mgropen(nullptr); }), ERR_NONE);
  EXPECT_EQ(acq_frame_copy_begin(0), ERR_NONE);
  EXPECT_EQ(acq_frame_copy_begin(100), ERR_ACQ_TIMEOUT);
  acq_frame_copy_end();
  EXPECT_EQ(acq_frame_copy_begin(0), ERR_NONE);
  // A release while a copy holds the turn leaves the copy's end harmless.
  acq_mgrclose(ACQ_NO_INSTRUMENT);
  acq_frame_copy_end();
  EXPECT_EQ(acq_frame_copy_begin(0), ERR_ACQ_MISSING_DLL);
}
