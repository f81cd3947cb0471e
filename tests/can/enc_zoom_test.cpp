// The encoded zoom: its calibration file, the loader's cache, and the set-up
// written to the focus and ND wheel node.

#include <chrono>
#include <filesystem>

#include "can/can_accessors.h"
#include "can/can_enc_zoom.h"
#include "platform/files.h"
#include "power_fixture.h"

namespace ferry::test {
namespace {

namespace fs = std::filesystem;

const std::string kHeader =
    " Error reading KPS encoded zoom magnification calibration file \"@\" \n";

std::string repeat(char c, size_t n) {
  return std::string(n, c);
}

std::string pairs_file(int pairs) {
  std::string text = "Title\n";
  for (int i = 1; i <= pairs; ++i)
    text += std::to_string(i * 10) + ", " + std::to_string(0.5 + i * 0.05) + "\n";
  return text;
}

class CalFile : public ::testing::Test {
protected:
  // Reads text from a file; the message with the path written as "@".
  u_err_t read(const std::string &text, std::string &message) {
    write_text(path, text);
    char buffer[2048];
    table = {};
    u_err_t err = kps_enc_zoom_read_cal_file(path.c_str(), &table, buffer, sizeof buffer);
    message = buffer;
    for (size_t at; (at = message.find(path)) != std::string::npos;)
      message.replace(at, path.size(), "@");
    return err;
  }
  void TearDown() override { kps_enc_zoom_free_table(&table); }

  TempDir dir;
  std::string path = dir.file("ZoomCal.txt");
  kps_enc_zoom_table table{};
  MessageCapture capture;
};

TEST_F(CalFile, ReadsPairsAndNamesWhatIsWrongWithALine) {
  const std::string line513 = "1 1" + repeat(' ', 510);
  const std::string line512 = "1 1" + repeat(' ', 509);
  struct {
    const char *name;
    std::string text;
    u_err_t code;
    int32_t pairs;
    std::string message; // after the header line, "" for a success
  } cases[] = {
      {"comma and space", "Title\n100, 1.0\n2000 2.5\n", ERR_NONE, 2, ""},
      {"comma alone, CR LF, no last line end", "T\r\n1,0.5\r\n2,6", ERR_NONE, 2, ""},
      {"512 characters", repeat('t', 512) + "\n" + line512 + "\n2 2\n", ERR_NONE, 2, ""},
      {"100 pairs", pairs_file(100), ERR_NONE, 100, ""},
      {"magnification out of range", "T\n100 1.0\n2000 6.5\n", ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE, 0,
       " Magnification value is out of range [0.5,6] \n Error in line 3: \n  2000 6.5 \n"},
      {"magnification too small", "T\n100 0.4\n", ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE, 0,
       " Magnification value is out of range [0.5,6] \n Error in line 2: \n  100 0.4 \n"},
      {"negative position", "T\n-1 1\n", ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE, 0,
       " Position value is out of range [0,3.40282e+38] \n Error in line 2: \n  -1 1 \n"},
      {"equal positions", "T\n5 1\n5 2\n", ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE, 0,
       " Position values are not in strictly increasing order. \n Error in line 3: \n  5 2 \n"},
      {"magnifications equal in single precision", "T\n1 1.00000001\n2 1.00000002\n",
       ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE, 0,
       " Magnification values are not in strictly increasing order. \n Error in line 3: \n"
       "  2 1.00000002 \n"},
      {"blank line", "T\n\n", ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE, 0,
       " Expected two numbers (position and magnification) separated by a comma and/or space. \n"
       " Error in line 2: \n   \n"},
      {"one number", "T\n1 1\n2\n", ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE, 0,
       " Expected two numbers (position and magnification) separated by a comma and/or space. \n"
       " Error in line 3: \n  2 \n"},
      {"not a number", "T\n1 nan\n", ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE, 0,
       " Magnitude of number is unreasonable. \n Error in line 2: \n  1 nan \n"},
      {"infinite", "T\ninf 2\n", ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE, 0,
       " Magnitude of number is unreasonable. \n Error in line 2: \n  inf 2 \n"},
      {"beyond single precision", "T\n1 1\n1e39 2\n", ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE, 0,
       " Magnitude of number is unreasonable. \n Error in line 3: \n  1e39 2 \n"},
      {"513 characters", "T\n" + line513 + "\n", ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE, 0,
       " Line longer than 512 characters \n Error in line 2 \n"},
      {"513-character title", repeat('t', 513) + "\n1 1\n2 2\n", ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE,
       0, " Line longer than 512 characters \n Error in line 1 \n"},
      {"101 pairs", pairs_file(101), ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE, 0,
       " Too many position and magnification value pairs (maximum is 100). \n"},
      {"one pair", "T\n1 1\n", ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE, 0,
       " Too few position and magnification value pairs (minimum is 2) \n"},
      {"empty file", "", ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE, 0,
       " Too few position and magnification value pairs (minimum is 2) \n"},
  };
  for (const auto &c : cases) {
    std::string message;
    EXPECT_EQ(read(c.text, message), c.code) << c.name;
    EXPECT_EQ(table.count, c.pairs) << c.name;
    std::string expected = c.message.empty() ? "" : kHeader + c.message;
    EXPECT_EQ(message, expected) << c.name;
    kps_enc_zoom_free_table(&table);
  }
  EXPECT_EQ(capture.text(), "") << "the reader composes, it does not print";
}

TEST_F(CalFile, KeepsPositionsAndMagnificationsAsRead) {
  std::string message;
  ASSERT_EQ(read("Zoom\n100, 1.0\n2000 2.5\n", message), ERR_NONE);
  ASSERT_EQ(table.count, 2);
  EXPECT_EQ(table.pairs[0].position, 100.0);
  EXPECT_EQ(table.pairs[0].magnification, 1.0f);
  EXPECT_EQ(table.pairs[1].position, 2000.0);
  EXPECT_EQ(table.pairs[1].magnification, 2.5f);
}

TEST_F(CalFile, MessagesAreCutToTheBufferAndTheBufferIsOptional) {
  write_text(path, "T\n1 9\n");
  std::string full(2048, '\0');
  ASSERT_EQ(kps_enc_zoom_read_cal_file(path.c_str(), &table, full.data(), full.size()),
            ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE);
  full.resize(std::strlen(full.c_str()));
  char small[24];
  std::memset(small, 'x', sizeof small);
  EXPECT_EQ(kps_enc_zoom_read_cal_file(path.c_str(), &table, small, sizeof small),
            ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE);
  EXPECT_EQ(std::string(small), full.substr(0, sizeof small - 1));
  char untouched = 'x';
  EXPECT_EQ(kps_enc_zoom_read_cal_file(path.c_str(), &table, &untouched, 0),
            ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE);
  EXPECT_EQ(untouched, 'x');
  EXPECT_EQ(kps_enc_zoom_read_cal_file(path.c_str(), &table, nullptr, 100),
            ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE);
  std::string missing = dir.file("none.txt");
  char buffer[256];
  EXPECT_EQ(kps_enc_zoom_read_cal_file(missing.c_str(), &table, buffer, sizeof buffer),
            ERR_KPS_ENC_ZOOM_CANT_OPEN_CAL_FILE);
  EXPECT_EQ(std::string(buffer),
            " Cannot open KPS encoded zoom magnification calibration file \"" + missing + "\" \n");
}

// --- The loader ----------------------------------------------------------------------

class CalLoader : public ::testing::Test {
protected:
  void TearDown() override {
    kps_enc_zoom_free_cal(&first);
    kps_enc_zoom_free_cal(&second);
  }
  static void configure(sys_info_enc_zoom &zoom, const std::string &name) {
    std::snprintf(zoom.cal_file, sizeof zoom.cal_file, "%s", name.c_str());
  }
  // How many times the loader read a file since the last look.
  int loads() {
    std::string text = capture.text();
    capture.clear();
    int n = 0;
    for (size_t at = 0; (at = text.find("calibration data loaded from file", at)) != text.npos;
         ++at)
      ++n;
    return n;
  }
  // Sets the file's modification time to a point within one whole second.
  static void set_time(const std::string &path, fs::file_time_type second, int ms) {
    fs::last_write_time(path, second + std::chrono::milliseconds(ms));
  }

  TempDir dir;
  MessageCapture capture;
  sys_info_enc_zoom first{}, second{};
};

TEST_F(CalLoader, ReadsOnceUntilTheFileChangesEvenWithinOneSecond) {
  std::string path = dir.file("zoom.txt");
  write_text(path, "T\n1 1\n2 2\n");
  auto whole = std::chrono::floor<std::chrono::seconds>(fs::last_write_time(path));
  set_time(path, whole, 100);
  configure(first, path);
  ASSERT_EQ(kps_enc_zoom_load_cal(&first, nullptr, 0), ERR_NONE);
  EXPECT_EQ(capture.text(), "KPS encoded zoom calibration data loaded from file " + path + "\n");
  capture.clear();
  EXPECT_EQ(kps_enc_zoom_load_cal(&first, nullptr, 0), ERR_NONE);
  EXPECT_EQ(loads(), 0);
  // Same size, same second, another magnification.
  write_text(path, "T\n1 1\n2 3\n");
  set_time(path, whole, 200);
  EXPECT_EQ(kps_enc_zoom_load_cal(&first, nullptr, 0), ERR_NONE);
  EXPECT_EQ(loads(), 1);
  EXPECT_EQ(first.cache->table.pairs[1].magnification, 3.0f);
}

TEST_F(CalLoader, EachInstrumentKeepsItsOwnFileAndANewNameReloads) {
  std::string a = dir.file("a.txt"), b = dir.file("b.txt");
  write_text(a, "T\n1 1\n2 2\n");
  write_text(b, "T\n5 1\n6 4\n7 5\n");
  configure(first, a);
  configure(second, b);
  ASSERT_EQ(kps_enc_zoom_load_cal(&first, nullptr, 0), ERR_NONE);
  ASSERT_EQ(kps_enc_zoom_load_cal(&second, nullptr, 0), ERR_NONE);
  EXPECT_EQ(loads(), 2);
  ASSERT_EQ(kps_enc_zoom_load_cal(&first, nullptr, 0), ERR_NONE);
  ASSERT_EQ(kps_enc_zoom_load_cal(&second, nullptr, 0), ERR_NONE);
  EXPECT_EQ(loads(), 0);
  EXPECT_EQ(first.cache->table.count, 2);
  EXPECT_EQ(second.cache->table.count, 3);
  configure(first, b);
  ASSERT_EQ(kps_enc_zoom_load_cal(&first, nullptr, 0), ERR_NONE);
  EXPECT_EQ(loads(), 1);
  EXPECT_EQ(first.cache->table.count, 3);
}

TEST_F(CalLoader, FailuresLeaveNothingLoaded) {
  std::string path = dir.file("zoom.txt");
  write_text(path, "T\n1 1\n2 2\n");
  configure(first, path);
  ASSERT_EQ(kps_enc_zoom_load_cal(&first, nullptr, 0), ERR_NONE);
  write_text(path, "T\n1 1\n2 9\n");
  char message[512];
  EXPECT_EQ(kps_enc_zoom_load_cal(&first, message, sizeof message),
            ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE);
  EXPECT_EQ(first.cache, nullptr);
  EXPECT_NE(std::string(message).find("Magnification value is out of range"), std::string::npos);

  write_text(path, "T\n1 1\n2 2\n");
  ASSERT_EQ(kps_enc_zoom_load_cal(&first, nullptr, 0), ERR_NONE);
  fs::remove(path);
  EXPECT_EQ(kps_enc_zoom_load_cal(&first, message, sizeof message),
            ERR_KPS_ENC_ZOOM_CANT_OPEN_CAL_FILE);
  EXPECT_EQ(first.cache, nullptr);
  EXPECT_EQ(std::string(message),
            " Cannot access KPS encoded zoom magnification calibration file \"" + path + "\" \n");
}

TEST_F(CalLoader, DefaultNameIsLookedForInTheWorkingDirectory) {
  fs::create_directories(dir.path() / "KPS");
  write_text((dir.path() / "KPS" / "ZoomCal.txt").string(), "T\n1 1\n2 2\n");
  fs::path saved = fs::current_path();
  fs::current_path(dir.path());
  u_err_t err = kps_enc_zoom_load_cal(&first, nullptr, 0);
  fs::current_path(saved);
  ASSERT_EQ(err, ERR_NONE) << capture.text();
  EXPECT_EQ(first.cache->table.count, 2);
  std::string expected =
      std::string(".") + plat_dir_separator + "KPS" + plat_dir_separator + "ZoomCal.txt";
  EXPECT_NE(capture.text().find(expected), std::string::npos) << capture.text();
}

TEST_F(CalLoader, RunsOutOfMemoryCleanly) {
  std::string path = dir.file("zoom.txt");
  write_text(path, pairs_file(10));
  configure(first, path);
  long allocations =
      expect_no_leak_under_oom([&] { return kps_enc_zoom_load_cal(&first, nullptr, 0); },
                               [&] { kps_enc_zoom_free_cal(&first); });
  EXPECT_GE(allocations, 3); // the cache, the path and the name, the table
}

// --- The set-up on the node ------------------------------------------------------------

class ZoomSetUp : public PowerTest {
protected:
  void SetUp() override {
    PowerTest::SetUp();
    connect();
    instr.can.enc_zoom = {1, -20, 900, 7, "", nullptr};
    std::snprintf(instr.can.enc_zoom.cal_file, sizeof instr.can.enc_zoom.cal_file, "%s",
                  dir.file("none.txt").c_str());
  }
  void TearDown() override {
    kps_enc_zoom_free_cal(&instr.can.enc_zoom);
    PowerTest::TearDown();
  }
  TempDir dir;
};

TEST_F(ZoomSetUp, NeedsFirmware43AndWritesModeLimitsAndBacklash) {
  struct {
    uint16_t major, minor;
    u_err_t code;
  } cases[] = {{4, 2, ERR_KPS_ENC_ZOOM_FIRMWARE_VERSION_OLD},
               {3, 9, ERR_KPS_ENC_ZOOM_FIRMWARE_VERSION_OLD},
               {4, 3, ERR_NONE},
               {5, 0, ERR_NONE}};
  for (const auto &c : cases) {
    sim->add_node(CAN_NODE_ID_FOCUS_NDW, 1, c.major, c.minor);
    sim->clear_log();
    messages.clear();
    EXPECT_EQ(kps_enc_zoom_set_backlash(&instr), c.code) << c.major << "." << c.minor;
    if (c.code != ERR_NONE) {
      EXPECT_EQ(
          messages.calls(),
          (std::vector<std::string>{"KPS encoded zoom firmware version " + std::to_string(c.major) +
                                        "." + std::to_string(c.minor) + " is old",
                                    "; version 4.3 or later is required\n"}));
      EXPECT_EQ(write_log(), "");
    } else {
      // A calibration file that is not there is no failure of the set-up.
      EXPECT_EQ(write_log(), "40 2002/0 = 3\n"
                             "40 607D/1 = FFFFFFEC\n"
                             "40 607D/2 = 384\n"
                             "40 2019/0 = 7\n");
    }
  }
}

TEST_F(ZoomSetUp, RefusesLimitsTheWrongWayRoundAndReturnsABadFile) {
  sim->add_node(CAN_NODE_ID_FOCUS_NDW, 1, 4, 3);
  sim->clear_log();
  instr.can.enc_zoom.lower_limit = 901;
  EXPECT_EQ(kps_enc_zoom_set_backlash(&instr), ERR_INVALID_PARAM);
  EXPECT_EQ(sim->access_count(), 0u);
  EXPECT_EQ(messages.text(),
            "kps_enc_zoom_set_soft_limits: lower soft limit 901 is above upper soft limit 900\n");
  EXPECT_EQ(kps_enc_zoom_set_soft_limits(5, 4), ERR_INVALID_PARAM);
  EXPECT_EQ(sim->access_count(), 0u);

  instr.can.enc_zoom.lower_limit = 0;
  write_text(instr.can.enc_zoom.cal_file, "T\n1 1\n");
  EXPECT_EQ(kps_enc_zoom_set_backlash(&instr), ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE);

  instr.can.enc_zoom.enabled = 0;
  sim->clear_log();
  EXPECT_EQ(kps_enc_zoom_set_backlash(&instr), ERR_NONE);
  EXPECT_EQ(kps_enc_zoom_set_backlash(nullptr), ERR_NONE);
  EXPECT_EQ(sim->access_count(), 0u);
}

} // namespace
} // namespace ferry::test
