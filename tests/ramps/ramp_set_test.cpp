#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "base/files_internal.h"
#include "base/hooks.h"
#include "ramp_fixtures.h"
#include "ramps/ramp_set.h"
#include "support/test_support.h"

namespace {

using namespace ferry::test;

constexpr int pifoc = 12345, pzt = 777;

// What the slot hooks saw and how they answer.
struct BoardLog {
  std::vector<int> deleted;
  int requests = 0;
  uint8_t ids[SYS_INFO_RAMP_SLOTS];
  u_err_t request_result = 0;
  u_err_t delete_result = 0;
  int ext_supported = 0;
};
BoardLog board;

u_err_t fake_request(sys_info *, uint8_t ids[SYS_INFO_RAMP_SLOTS]) {
  ++board.requests;
  std::copy(std::begin(board.ids), std::end(board.ids), ids);
  return board.request_result;
}
u_err_t fake_delete(sys_info *, int slot) {
  board.deleted.push_back(slot);
  return board.delete_result;
}
int fake_ext_supported(const sys_info *) {
  return board.ext_supported;
}
// "extprofile<n>" builds a SWLI ramp for n up to 3.
u_err_t fake_ext_ramp(sys_info *, const rr_ramp_spec *spec, rr_ramp *ramp, char *msg, size_t size) {
  int n = std::atoi(spec->fileName + 10);
  if (n > 3) {
    std::snprintf(msg, size, "External profile ramp index %d is greater than maximum %d", n, 3);
    return ERR_INVALID_PARAM;
  }
  ramp->hdr = swli_header(100);
  ramp->samples = static_cast<uint16_t *>(u_malloc_hook(100 * sizeof(uint16_t)));
  if (!ramp->samples)
    return ERR_NO_MEM;
  auto s = linear_samples(100);
  std::copy(s.begin(), s.end(), ramp->samples);
  return 0;
}

class RampSet : public ::testing::Test {
protected:
  void SetUp() override {
    ferry::reset_path_caches();
    board = BoardLog{};
    std::fill(std::begin(board.ids), std::end(board.ids), uint8_t(SYS_INFO_RAMP_SLOT_EMPTY));
    rr_instr_ops ops{fake_request, fake_delete, fake_ext_supported, fake_ext_ramp};
    rr_set_instr_ops(&ops);
    instr.set_up = 1;
    instr.instrBdType = 1;
    instr.sys_type = 1;
    instr.ramps.pifoc_present = 1;
    instr.ramps.pifoc_serial = pifoc;
    instr.ramps.pzt_serial = pzt;
  }
  void TearDown() override {
    rr_free_ramp_table(&instr);
    rr_set_instr_ops(nullptr);
    ferry::reset_path_caches();
  }

  void add_ramp(const std::string &name, const rr_ramp_hdr_t &h) {
    write_file(dir.file(name), ramp_file_bytes(h, linear_samples(size_t(h.nPoints))));
  }
  void use_config(const std::string &text) {
    write_text(dir.file("ramps.cfg"), text);
    std::snprintf(instr.ramps.ramp_config_file, sizeof instr.ramps.ramp_config_file, "ramps.cfg");
  }
  std::string summary(int total, int loaded, int derived, int swli, int btw, int pmi) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "Ramp data sets:\n  %3d Total\n  %3d Loaded\n  %3d Derived\n  %3d SWLI\n"
                  "  %3d BTW\n  %3d PMI\n",
                  total, loaded, derived, swli, btw, pmi);
    return text;
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (int i = 0; i < instr.ramps.ramp_count; ++i)
      out.push_back(instr.ramps.ramp_table[i].fileName);
    return out;
  }
  const rr_ramp &ramp(int i) const { return instr.ramps.ramp_table[i]; }

  TempDir dir;
  ScopedEnv ramps_env{"MB_RAMPS_DIR", dir.path().string().c_str()};
  ScopedEnv keep_env{"KEEP_RAMPS_LOADED_IN_INSTR", nullptr};
  sys_info instr{};
  MessageCapture capture;
};

constexpr const char *swli_line = "SWLI d10s81c25.b* 10 25 0 0 0.25 81 0 1\n";

TEST_F(RampSet, ConfigurationWithLoadedDerivedAndRejectedLines) {
  add_ramp("d10s81c25.b12345", swli_header());
  add_ramp("p5c25.p777", pmi_header());
  use_config(std::string(swli_line) +                          // 1 loaded, '*' -> 12345
             "SWLI + 5 25 0 0 0.25 81 0 1\n"                   // 2 derived from 1
             "BTW2 + 8 25 0 0 0.25 81 20 1 1\n"                // 3 derived from 1, hidden
             "SWLI missing.b12345 10 25 0 0 0.25 81 0 1\n"     // 4 no file
             "SWLI + 5 25 0 0 0.25 81 0 1\n"                   // 5 no base after a failed load
             "PMI p5c25.p* 0 25 0 0 0.25 0 0 0\n"              // 6 loaded
             "SWLI + 20 25 0 0 0.25 81 0 1\n"                  // 7 PMI base can't be derived from
             "SWLI d10s81c25.b12345 10 30 0 0 0.25 81 0 1\n"); // 8 inconsistent
  ASSERT_EQ(rr_get_ramp_info(&instr), 0);
  const std::string d = dir.path().string();
  const std::string cfg = dir.file("ramps.cfg");
  EXPECT_EQ(capture.text(),
            "Ramp directory: " + d + "\n" + "Reading ramp config file \"" + cfg + "\"\n" +
                "Loaded ramp file \"d10s81c25.b12345\"\n"
                "Ramp config error reading ramp data file \"missing.b12345\": "
                "ERR_CANT_OPEN_FILE\n"
                "Ramp config error: no loaded ramp data from which to derive config ramp 5\n"
                "Loaded ramp file \"p5c25.p777\"\n"
                "Ramp config error: cannot derive config ramp 7 from ramp data file "
                "\"p5c25.p*\"\n"
                "Error: mismatched cameraRate\n"
                "Ramp config error: values not consistent with ramp data file "
                "\"d10s81c25.b12345\"\n" +
                summary(4, 2, 2, 2, 1, 1));
  EXPECT_EQ(names(), (std::vector<std::string>{"d10s81c25.b*", "+d10s81c25.b*", "+d10s81c25.b*",
                                               "p5c25.p*"}));
  EXPECT_EQ(instr.ramps.ramps_from_config, 1);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(ramp(i).hdr.rampID, i + 1);
    EXPECT_NE(ramp(i).samples, nullptr);
  }
  EXPECT_EQ(ramp(1).derived, 1);
  EXPECT_EQ(ramp(1).hdr.scanLen, 5.0f);
  EXPECT_EQ(ramp(2).hdr.rampType, RR_TYPE_BTW);
  EXPECT_EQ(ramp(2).hide, 1);
  EXPECT_EQ(ramp(0).hide, 0);
  // Without the keep variable every slot is cleared in the instrument.
  EXPECT_EQ(board.deleted, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  for (uint8_t id : instr.ramps.ramp_slot)
    EXPECT_EQ(id, SYS_INFO_RAMP_SLOT_EMPTY);
  EXPECT_EQ(ramp(0).slot, -1);
}

TEST_F(RampSet, DerivedLineWithoutABase) {
  use_config("SWLI + 5 25 0 0 0.25 81 0 1\n");
  EXPECT_EQ(rr_get_ramp_info(&instr), ERR_NO_RAMP_INFO);
  const std::string text = capture.text();
  const std::string tail =
      "Ramp config error: no loaded ramp data from which to derive config ramp 1\n"
      "No usable ramp data\nrr_get_ramp_info: ERR_NO_RAMP_INFO\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_EQ(instr.ramps.ramp_count, 0);
  EXPECT_EQ(instr.ramps.ramp_table, nullptr);
}

TEST_F(RampSet, ScannerTypeChecksOfConfigLines) {
  add_ramp("d10s81c25.b12345", swli_header());
  instr.sys_type = 5; // no PZT on this system
  use_config("PMI p5c25.p777 0 25 0 0 0.25 0 0 0\n" + std::string(swli_line));
  ASSERT_EQ(rr_get_ramp_info(&instr), 0);
  EXPECT_NE(capture.text().find("Ramp config error: ramp 1 can only be used with a PZT\n"),
            std::string::npos);
  EXPECT_EQ(names(), std::vector<std::string>{"d10s81c25.b*"});
  EXPECT_EQ(ramp(0).hdr.rampID, 1);

  rr_free_ramp_table(&instr);
  capture.clear();
  instr.sys_type = 1;
  instr.ramps.pifoc_present = 0;
  use_config(swli_line);
  EXPECT_EQ(rr_get_ramp_info(&instr), ERR_NO_RAMP_INFO);
  EXPECT_NE(capture.text().find("Ramp config error: ramp 1 can only be used with a PIFOC\n"),
            std::string::npos);
}

TEST_F(RampSet, ThreeHundredSpecsLoad254) {
  add_ramp("d10s81c25.b12345", swli_header());
  std::string text;
  for (int i = 0; i < 300; ++i)
    text += swli_line;
  use_config(text);
  ASSERT_EQ(rr_get_ramp_info(&instr), 0);
  EXPECT_EQ(instr.ramps.ramp_count, 254);
  EXPECT_EQ(ramp(253).hdr.rampID, 254);
  EXPECT_NE(capture.text().find("Ramp config warning: too many ramp config entries, ignoring "
                                "entries 255 to 300\n" +
                                summary(254, 254, 0, 254, 0, 0)),
            std::string::npos);
}

TEST_F(RampSet, ExternalProfileRamps) {
  use_config("SWLI extprofile1 10 25 0 0 0.25 81 0 1\n"
             "SWLI + 5 25 0 0 0.25 81 0 1\n"
             "SWLI extprofile7 10 25 0 0 0.25 81 0 1\n");
  EXPECT_EQ(rr_get_ramp_info(&instr), ERR_NO_RAMP_INFO);
  EXPECT_NE(capture.text().find(
                "Ramp config error: ramp 1 \"extprofile1\" is invalid for this instrument\n"),
            std::string::npos);

  capture.clear();
  board.ext_supported = 1;
  ASSERT_EQ(rr_get_ramp_info(&instr), 0);
  EXPECT_NE(capture.text().find("Loaded ramp file \"extprofile1\"\n"
                                "Ramp config error: ramp 3: External profile ramp index 7 is "
                                "greater than maximum 3\n" +
                                summary(2, 1, 1, 2, 0, 0)),
            std::string::npos);
  EXPECT_EQ(names(), (std::vector<std::string>{"extprofile1", "+extprofile1"}));
}

// A board layer that supports external profile ramps but builds none names
// the refused ramp in its reason.
TEST_F(RampSet, DefaultExternalProfileOperationNamesTheRamp) {
  rr_instr_ops ops{};
  ops.ext_profile_supported = fake_ext_supported;
  rr_set_instr_ops(&ops);
  board.ext_supported = 1;
  use_config("SWLI extprofile2 10 25 0 0 0.25 81 0 1\n");
  EXPECT_EQ(rr_get_ramp_info(&instr), ERR_NO_RAMP_INFO);
  EXPECT_NE(capture.text().find(
                "Ramp config error: ramp 1: Invalid external profile ramp name extprofile2\n"),
            std::string::npos);
}

TEST_F(RampSet, DirectoryModeFiltersAndSorts) {
  add_ramp("d10s81c25.b12345", swli_header());
  rr_ramp_hdr_t short_scan = swli_header();
  short_scan.scanLen = 5;
  add_ramp("d5s81c25.b12345", short_scan);
  add_ramp("d10s81c25.b99999", swli_header());
  add_ramp(".hidden.b12345", swli_header());
  add_ramp("p5c25.p777", pmi_header());
  add_ramp("d10.b12345x", swli_header());
  add_ramp("d10.12345", swli_header());
  write_file(dir.file("bad.b12345"), {'R', 'A', 'M'});
  rr_ramp_hdr_t other_board = swli_header();
  other_board.instrBdType = 3;
  add_ramp("z.b12345", other_board);
  // A configuration file that does not exist falls back to the listing.
  std::snprintf(instr.ramps.ramp_config_file, sizeof instr.ramps.ramp_config_file, "none.cfg");

  ASSERT_EQ(rr_get_ramp_info(&instr), 0);
  const std::string d = dir.path().string();
  EXPECT_EQ(capture.text(),
            "Ramp directory: " + d + "\nCannot access ramp config file \"" + dir.file("none.cfg") +
                "\"\nChecking all files in ramp directory\n"
                "Error reading ramp data file \"bad.b12345\": ERR_PREMATURE_EOF\n"
                "Loaded ramp file \"d10s81c25.b12345\"\n"
                "Loaded ramp file \"d5s81c25.b12345\"\n"
                "Loaded ramp file \"p5c25.p777\"\n"
                "Error: ramp data file z.b12345 is not compatible with this instrument\n" +
                summary(3, 3, 0, 2, 0, 1));
  // SWLI key: scanLen - 64 * rampSlope / 1000; PMI: nBuckets / 100.
  EXPECT_EQ(names(),
            (std::vector<std::string>{"d5s81c25.b12345", "p5c25.p777", "d10s81c25.b12345"}));
  EXPECT_EQ(ramp(0).hdr.rampID, 2);
  EXPECT_EQ(ramp(1).hdr.rampID, 3);
  EXPECT_EQ(ramp(2).hdr.rampID, 1);
  EXPECT_EQ(instr.ramps.ramps_from_config, 0);
}

TEST_F(RampSet, FolderNamedLikeARampFileIsReportedAndTheOthersLoad) {
  add_ramp("a.b12345", swli_header());
  std::filesystem::create_directory(dir.path() / "m.b12345");
  add_ramp("z.b12345", swli_header());
  // What reading a folder as a ramp data file gives on this system.
  rr_ramp_hdr_t h{};
  const u_err_t folder_read = rr_read_ramp_file(dir.file("m.b12345").c_str(), &h, nullptr);
  ASSERT_NE(folder_read, ERR_NONE);

  ASSERT_EQ(rr_get_ramp_info(&instr), 0);
  EXPECT_EQ(capture.text(), "Ramp directory: " + dir.path().string() +
                                "\nChecking all files in ramp directory\n"
                                "Loaded ramp file \"a.b12345\"\n"
                                "Error reading ramp data file \"m.b12345\": " +
                                u_error_name(folder_read) +
                                "\n"
                                "Loaded ramp file \"z.b12345\"\n" +
                                summary(2, 2, 0, 2, 0, 0));
  EXPECT_EQ(names(), (std::vector<std::string>{"a.b12345", "z.b12345"}));
}

TEST_F(RampSet, BoardType7DoublesTheScanningKey) {
  rr_ramp_hdr_t slow = swli_header();
  slow.scanLen = 6;
  slow.rampSlope = 243; // key 6 - 15.552 on any board
  slow.fringesPerFrame = 0.75f;
  add_ramp("a.b12345", slow);
  rr_ramp_hdr_t btw = swli_header();
  btw.rampType = RR_TYPE_BTW;
  btw.scanLen = -8; // BTW key is the plain scan length
  add_ramp("b.b12345", btw);
  instr.instrBdType = 7;
  ASSERT_EQ(rr_get_ramp_info(&instr), 0);
  // Board 7: 12 - 31.104 = -19.1 sorts before -8.
  EXPECT_EQ(names(), (std::vector<std::string>{"a.b12345", "b.b12345"}));
  rr_free_ramp_table(&instr);
  instr.instrBdType = 1;
  ASSERT_EQ(rr_get_ramp_info(&instr), 0);
  EXPECT_EQ(names(), (std::vector<std::string>{"a.b12345", "b.b12345"}));
  rr_free_ramp_table(&instr);
  btw.scanLen = -12;
  add_ramp("b.b12345", btw);
  ASSERT_EQ(rr_get_ramp_info(&instr), 0);
  EXPECT_EQ(names(), (std::vector<std::string>{"b.b12345", "a.b12345"}));
  rr_free_ramp_table(&instr);
  instr.instrBdType = 7;
  ASSERT_EQ(rr_get_ramp_info(&instr), 0);
  EXPECT_EQ(names(), (std::vector<std::string>{"a.b12345", "b.b12345"}));
}

TEST_F(RampSet, NanLengthsSortLast) {
  rr_ramp_hdr_t h = swli_header();
  for (int i = 0; i < 40; ++i) {
    h.scanLen = i % 3 == 0 ? std::numeric_limits<float>::quiet_NaN() : float(40 - i);
    add_ramp("r" + std::to_string(100 + i) + ".b12345", h);
  }
  ASSERT_EQ(rr_get_ramp_info(&instr), 0);
  ASSERT_EQ(instr.ramps.ramp_count, 40);
  for (int i = 1; i < 40; ++i) {
    float a = ramp(i - 1).hdr.scanLen, b = ramp(i).hdr.scanLen;
    EXPECT_TRUE(std::isnan(b) || (!std::isnan(a) && a <= b)) << i;
  }
  EXPECT_TRUE(std::isnan(ramp(39).hdr.scanLen));
}

TEST_F(RampSet, NoRampsDirectory) {
  ScopedEnv empty("MB_RAMPS_DIR", "");
  ferry::reset_path_caches();
  EXPECT_EQ(rr_get_ramp_info(&instr), ERR_NO_RAMP_INFO);
  EXPECT_EQ(capture.text(), "rr_get_ramp_info: ERR_NO_RAMP_INFO\n");
}

TEST_F(RampSet, EmptyDirectory) {
  EXPECT_EQ(rr_get_ramp_info(&instr), ERR_NO_RAMP_INFO);
  EXPECT_EQ(capture.text(), "Ramp directory: " + dir.path().string() +
                                "\nChecking all files in ramp directory\nNo usable ramp data\n"
                                "rr_get_ramp_info: ERR_NO_RAMP_INFO\n");
}

TEST_F(RampSet, InstrumentRecordChecks) {
  EXPECT_EQ(rr_get_ramp_info(nullptr), ERR_SYS_INFO_NOT_AVAIL);
  instr.set_up = 0;
  EXPECT_EQ(rr_get_ramp_info(&instr), ERR_SYS_INFO_NOT_AVAIL);
  instr.set_up = 1;
  instr.ramps.pifoc_present = 0;
  for (int type : {5, 7, 11, 13, 20, 22, 28, 31, 34}) {
    instr.sys_type = type;
    EXPECT_EQ(rr_get_ramp_info(&instr), ERR_WRONG_SYSTEM_TYPE) << type;
  }
  EXPECT_EQ(capture.text(), "");
}

TEST_F(RampSet, BadConfigurationEndsTheLoad) {
  use_config("# nothing\n");
  EXPECT_EQ(rr_get_ramp_info(&instr), ERR_CORRUPT_RAMP_CFG_FILE);
  EXPECT_NE(capture.text().find("rr_get_ramp_info: ERR_CORRUPT_RAMP_CFG_FILE\n"),
            std::string::npos);
}

TEST_F(RampSet, KeepLoadedRampsMatchesSlots) {
  ScopedEnv keep("KEEP_RAMPS_LOADED_IN_INSTR", "1");
  add_ramp("d10s81c25.b12345", swli_header());
  use_config(std::string(swli_line) + swli_line);
  board.ids[0] = 2; // still in the table
  board.ids[3] = 9; // gone: cleared in the instrument
  board.ids[5] = 1;
  ASSERT_EQ(rr_get_ramp_info(&instr), 0);
  EXPECT_EQ(capture.text().substr(0, 41), "Found env var KEEP_RAMPS_LOADED_IN_INSTR\n");
  EXPECT_EQ(board.requests, 1);
  EXPECT_EQ(board.deleted, std::vector<int>{3});
  EXPECT_EQ(instr.ramps.ramp_slot[0], 2);
  EXPECT_EQ(instr.ramps.ramp_slot[3], SYS_INFO_RAMP_SLOT_EMPTY);
  EXPECT_EQ(instr.ramps.ramp_slot[5], 1);
  EXPECT_EQ(ramp(0).slot, 5);
  EXPECT_EQ(ramp(1).slot, 0);
  const std::string text = capture.text();
  EXPECT_NE(text.find("Ramp ID 1 already loaded in instr\nRamp ID 2 already loaded in instr\n"),
            std::string::npos);

  // A failed request or clear ends the load with its code; the table stays.
  rr_free_ramp_table(&instr);
  capture.clear();
  board.request_result = ERR_UZ_RECV_TIMEOUT;
  EXPECT_EQ(rr_get_ramp_info(&instr), ERR_UZ_RECV_TIMEOUT);
  EXPECT_NE(capture.text().find("uz_ramp_request failed: ERR_UZ_RECV_TIMEOUT\n"
                                "rr_get_ramp_info: ERR_UZ_RECV_TIMEOUT\n"),
            std::string::npos);
  EXPECT_EQ(instr.ramps.ramp_count, 2);

  rr_free_ramp_table(&instr);
  capture.clear();
  board.request_result = 0;
  board.delete_result = ERR_UZ_SEND_FAILED;
  EXPECT_EQ(rr_get_ramp_info(&instr), ERR_UZ_SEND_FAILED);
  EXPECT_NE(capture.text().find("rr_ramp_delete failed: ERR_UZ_SEND_FAILED\n"), std::string::npos);
}

TEST_F(RampSet, DefaultBoardAnswersEverySlotEmpty) {
  ScopedEnv keep("KEEP_RAMPS_LOADED_IN_INSTR", "");
  rr_set_instr_ops(nullptr);
  add_ramp("d10s81c25.b12345", swli_header());
  ASSERT_EQ(rr_get_ramp_info(&instr), 0);
  EXPECT_EQ(ramp(0).slot, -1);
  for (uint8_t id : instr.ramps.ramp_slot)
    EXPECT_EQ(id, SYS_INFO_RAMP_SLOT_EMPTY);
  EXPECT_EQ(capture.text().find("already loaded"), std::string::npos);
}

TEST_F(RampSet, BoardTypes5And8LeaveTheSlotsAlone) {
  add_ramp("d10s81c25.b12345", swli_header());
  for (int type : {5, 8}) {
    SCOPED_TRACE(type);
    instr.instrBdType = type;
    board = BoardLog{};
    ASSERT_EQ(rr_get_ramp_info(&instr), 0);
    EXPECT_TRUE(board.deleted.empty());
    EXPECT_EQ(board.requests, 0);
  }
  EXPECT_EQ(ramp(0).slot, -1);
}

TEST_F(RampSet, ReloadReleasesTheOldTable) {
  add_ramp("d10s81c25.b12345", swli_header());
  use_config(std::string(swli_line) + "SWLI + 5 25 0 0 0.25 81 0 1\n");
  FailingAllocator alloc;
  ASSERT_EQ(rr_get_ramp_info(&instr), 0);
  long after_first = alloc.live_blocks();
  EXPECT_EQ(after_first, 3); // the table and two sample buffers
  ASSERT_EQ(rr_get_ramp_info(&instr), 0);
  EXPECT_EQ(alloc.live_blocks(), after_first);
  rr_free_ramp_table(&instr);
  EXPECT_EQ(alloc.live_blocks(), 0);
}

TEST_F(RampSet, OutOfMemoryInBothModes) {
  add_ramp("d10s81c25.b12345", swli_header());
  add_ramp("p5c25.p777", pmi_header());
  auto load = [&] { return rr_get_ramp_info(&instr); };
  auto unload = [&] { rr_free_ramp_table(&instr); };
  MessageCapture quiet;
  expect_no_leak_under_oom(load, unload);
  use_config(std::string(swli_line) + "SWLI + 5 25 0 0 0.25 81 0 1\n" +
             "PMI p5c25.p777 0 25 0 0 0.25 0 0 0\n");
  expect_no_leak_under_oom(load, unload);
}

} // namespace
