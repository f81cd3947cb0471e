#include <gtest/gtest.h>

#include <string>

#include "ramp_fixtures.h"
#include "ramps/ramp_file.h"
#include "support/test_support.h"

namespace {

using namespace ferry::test;

constexpr int pifoc = 12345, pzt = 777, none = -1;

TEST(CheckRampFile, BoardCompatibility) {
  struct Case {
    int file_board, instr_board;
    bool ok;
  } cases[] = {{0, 3, true}, {3, 3, true}, {1, 3, false}, {0, 8, true},
               {1, 8, true}, {8, 8, true}, {7, 8, false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.file_board << " on " << c.instr_board);
    MessageCapture capture;
    rr_ramp_hdr_t h = swli_header();
    h.instrBdType = c.file_board;
    EXPECT_EQ(rr_check_ramp_file(&h, "f.b12345", c.instr_board, pifoc, pzt),
              c.ok ? 0 : ERR_WRONG_INSTR_BOARD);
    EXPECT_EQ(capture.text(),
              c.ok ? ""
                   : "Error: ramp data file f.b12345 is not compatible with this instrument\n");
  }
}

TEST(CheckRampFile, ScannerAndSerialNumber) {
  MessageCapture capture;
  rr_ramp_hdr_t h = pmi_header();
  EXPECT_EQ(rr_check_ramp_file(&h, "p", 1, pifoc, none), ERR_INVALID_PARAM);
  EXPECT_EQ(capture.text(), "Error: ramp data file \"p\" can only be used with a PZT\n");
  capture.clear();
  h = swli_header();
  EXPECT_EQ(rr_check_ramp_file(&h, "s", 1, none, pzt), ERR_INVALID_PARAM);
  EXPECT_EQ(capture.text(), "Error: ramp data file \"s\" can only be used with a PIFOC\n");
  capture.clear();
  h.rampType = 16;
  EXPECT_EQ(rr_check_ramp_file(&h, "u", 1, pifoc, pzt), ERR_CORRUPT_RAMP_FILE);
  EXPECT_EQ(capture.text(), "Error: ramp data file \"u\" is of unknown type 16\n");

  capture.clear();
  h = swli_header();
  h.pztID = 5;
  EXPECT_EQ(rr_check_ramp_file(&h, "s", 1, pifoc, pzt), 0);
  EXPECT_EQ(h.pztID, pifoc);
  EXPECT_EQ(capture.text(), "Warning: ramp data file \"s\" was generated for a different PIFOC\n"
                            "Changing ramp S/N from 5 to 12345\n");
  capture.clear();
  h = pmi_header();
  h.pztID = 6;
  EXPECT_EQ(rr_check_ramp_file(&h, "p", 1, pifoc, pzt), 0);
  EXPECT_EQ(h.pztID, pzt);
  EXPECT_EQ(capture.text(), "Warning: ramp data file \"p\" was generated for a different PZT\n"
                            "Changing ramp S/N from 6 to 777\n");
}

TEST(CheckRampFile, FringesPerFrameDefaultsAndChecks) {
  struct Case {
    int type;
    int n_buckets;
    float slope;
    float fpf;
    float result; // negative: rejected
  } cases[] = {
      {RR_TYPE_SWLI, 0, 81, 0, 0.25f},
      {RR_TYPE_SWLI, 0, 243, 0, 0.75f},
      {RR_TYPE_BTW, 0, 405, 0, 1.25f},
      {RR_TYPE_SWLI, 0, 567, 0, 1.75f},
      {RR_TYPE_SWLI, 0, 100, 0, -1},
      {RR_TYPE_SWLI, 0, 81, 0.5f, -1},
      {RR_TYPE_SWLI, 0, 81, 1.25f, 1.25f},
      {RR_TYPE_SWLI, 0, 81, -0.25f, -1},
      {RR_TYPE_SWLI, 0, 81, 0.3f, -1},
      {RR_TYPE_PMI, 5, 0, 0, 0.25f},
      {2, 7, 0, 0.25f, 0.25f},
      {RR_TYPE_PMI, 11, 0, 0, 0.125f},
      {RR_TYPE_PMI, 13, 0, 0.125f, 0.125f},
      {RR_TYPE_PMI, 7, 0, 0.125f, -1},
      {RR_TYPE_PMI, 9, 0, 0, -1},
      {RR_TYPE_PMI, 20, 0, 3.0f, 3.0f},
      {RR_TYPE_PMI, 14, 0, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.type << " nb " << c.n_buckets << " slope " << c.slope << " f " << c.fpf);
    MessageCapture capture;
    rr_ramp_hdr_t h =
        c.type == RR_TYPE_SWLI || c.type == RR_TYPE_BTW ? swli_header() : pmi_header(c.n_buckets);
    h.rampType = c.type;
    h.rampSlope = c.slope;
    h.fringesPerFrame = c.fpf;
    h.pztID = c.type == RR_TYPE_SWLI || c.type == RR_TYPE_BTW ? pifoc : pzt;
    u_err_t err = rr_check_ramp_file(&h, "f", 1, pifoc, pzt);
    if (c.result < 0) {
      EXPECT_EQ(err, ERR_INVALID_PARAM);
      char expected[128];
      std::snprintf(expected, sizeof expected,
                    "Error: invalid fringesPerFrame %g in ramp data file \"f\"\n", double(c.fpf));
      EXPECT_EQ(capture.text(), expected);
    } else {
      EXPECT_EQ(err, 0);
      EXPECT_EQ(h.fringesPerFrame, c.result);
      EXPECT_EQ(capture.text(), "");
    }
  }
}

TEST(CheckRampSpec, EachMismatchInOrder) {
  rr_ramp ramp{};
  ramp.hdr = swli_header();
  const rr_ramp_spec good = spec_for(ramp.hdr, "x");
  MessageCapture capture;
  EXPECT_EQ(rr_check_ramp_spec(&good, &ramp), 0);

  struct Case {
    void (*change)(rr_ramp_spec &);
    const char *message;
  } cases[] = {
      {[](rr_ramp_spec &s) { s.rampType = RR_TYPE_BTW; }, "Error: mismatched rampType\n"},
      {[](rr_ramp_spec &s) { s.cameraRate = 25.2f; }, "Error: mismatched cameraRate\n"},
      {[](rr_ramp_spec &s) { s.cameraRate = 24.8f; }, "Error: mismatched cameraRate\n"},
      {[](rr_ramp_spec &s) { s.cameraInterlace = 1; }, "Error: mismatched cameraInterlace\n"},
      {[](rr_ramp_spec &s) { s.grabSkip = 2; }, "Error: mismatched grabSkip\n"},
      {[](rr_ramp_spec &s) { s.fringesPerFrame = 0.26f; }, "Error: mismatched fringesPerFrame\n"},
      {[](rr_ramp_spec &s) { s.scanLen = 10.01f; }, "Error: mismatched scanLen\n"},
      {[](rr_ramp_spec &s) { s.rampSlope = 80; }, "Error: mismatched rampSlope\n"},
      // The first mismatch wins.
      {[](rr_ramp_spec &s) { s.grabSkip = 2, s.rampSlope = 1; }, "Error: mismatched grabSkip\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    capture.clear();
    rr_ramp_spec s = good;
    c.change(s);
    EXPECT_EQ(rr_check_ramp_spec(&s, &ramp), ERR_INVALID_PARAM);
    EXPECT_EQ(capture.text(), c.message);
  }
  rr_ramp_spec near = good;
  near.cameraRate = 25.05f;
  EXPECT_EQ(rr_check_ramp_spec(&near, &ramp), 0);
  EXPECT_EQ(rr_check_ramp_spec(nullptr, &ramp), ERR_INVALID_PARAM);
}

TEST(CheckRampSpec, PmiFilesIgnoreScanLengthAndSlope) {
  rr_ramp ramp{};
  ramp.hdr = pmi_header();
  ramp.hdr.rampType = 3;
  rr_ramp_spec s = spec_for(ramp.hdr, "p");
  s.rampType = RR_TYPE_PMI;
  s.scanLen = 123;
  s.rampSlope = 456;
  MessageCapture capture;
  EXPECT_EQ(rr_check_ramp_spec(&s, &ramp), 0);
  s.rampType = 3;
  EXPECT_EQ(rr_check_ramp_spec(&s, &ramp), 0);
  s.rampType = 2;
  EXPECT_EQ(rr_check_ramp_spec(&s, &ramp), ERR_INVALID_PARAM);
  EXPECT_EQ(capture.text(), "Error: mismatched rampType\n");
}

} // namespace
