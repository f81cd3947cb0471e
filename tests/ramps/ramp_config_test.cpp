#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "base/hooks.h"
#include "ramps/ramp_config.h"
#include "support/test_support.h"

namespace {

using namespace ferry::test;

constexpr const char *good_swli = " SWLI d10s81c25.b12345 10.2 25 0 0 0.25 81 0 1.0\n";

struct Specs {
  rr_ramp_spec *p = nullptr;
  int count = -1;
  ~Specs() { ferry::hook_free(p); }
};

class RampConfig : public ::testing::Test {
protected:
  // Reads text as a configuration file.
  u_err_t read(const std::string &text) {
    write_text(path, text);
    ferry::hook_free(specs.p);
    return rr_read_ramp_config(path.c_str(), &specs.p, &specs.count);
  }
  // The report of a file with one accepted line and one rejected line.
  std::string one_rejected(const std::string &line, const std::string &error,
                           const std::string &explanation) {
    return "Error reading ramp config file \"" + path + "\"\n" + error + " in line 2:\n  " + line +
           explanation + "Accepted 1 of 2 ramp specs in ramp config file \"" + path + "\"\n";
  }

  TempDir dir;
  std::string path = dir.file("ramps.cfg");
  Specs specs;
  MessageCapture capture;
};

TEST_F(RampConfig, AcceptedLineFields) {
  ASSERT_EQ(read("# comment\n\n   \t\n" + std::string(good_swli) +
                 "BTW3 d10s81c25m20.b1 99.5 30 1 2 0.75 243 20 0.9 1\n"
                 "PMI p5c25.p7 0 25 0 0 0.25 0 0 0 # hidden? no: a comment\n"
                 "BTW + 5 25 0 0 0.125 81 10 1.4\n"
                 "SWLIX x 1 25 0 0 0.25 81 0 1 0 trailing words are ignored\n"),
            0);
  EXPECT_EQ(capture.text(), "");
  ASSERT_EQ(specs.count, 5);
  const rr_ramp_spec &s = specs.p[0];
  EXPECT_EQ(s.rampType, 0);
  EXPECT_EQ(s.wavelenSelect, 0);
  EXPECT_STREQ(s.fileName, "d10s81c25.b12345");
  EXPECT_EQ(s.scanLen, 10.2f);
  EXPECT_EQ(s.cameraRate, 25.0f);
  EXPECT_EQ(s.fringesPerFrame, 0.25f);
  EXPECT_EQ(s.rampSlope, 81.0f);
  EXPECT_EQ(s.scanCal, 1.0f);
  EXPECT_EQ(s.hide, 0);
  const rr_ramp_spec &b = specs.p[1];
  EXPECT_EQ(b.rampType, 17);
  EXPECT_EQ(b.wavelenSelect, 3);
  EXPECT_EQ(b.cameraInterlace, 1);
  EXPECT_EQ(b.grabSkip, 2);
  EXPECT_EQ(b.objMag, 20.0f);
  EXPECT_EQ(b.scanCal, 0.9f);
  EXPECT_EQ(b.hide, 1);
  EXPECT_EQ(specs.p[2].rampType, 1);
  EXPECT_EQ(specs.p[2].hide, 0);
  EXPECT_EQ(specs.p[3].wavelenSelect, 0);
  EXPECT_STREQ(specs.p[3].fileName, "+");
  EXPECT_EQ(specs.p[4].rampType, 0);
}

TEST_F(RampConfig, EveryFieldCheckAndItsMessage) {
  struct Case {
    const char *line;
    const char *error;
    const char *explanation;
  } cases[] = {
      {"SWL x 10 25 0 0 0.25 81 0 1\n", "Invalid RampType value (field 1)",
       "Allowed RampType values are SWLI, PMI, BTW, and BTWX\nwhere X is a wavelength index in the "
       "range [1,4]\n"},
      {"PMIX x 0 25 0 0 0.25 0 0 0\n", "Invalid RampType value (field 1)",
       "Allowed RampType values are SWLI, PMI, BTW, and BTWX\nwhere X is a wavelength index in the "
       "range [1,4]\n"},
      {"BTW7 x 10 25 0 0 0.25 81 10 1\n", "Invalid BTW wavelength index (field 1)",
       "Wavelength index must be an integer in the range [1,4]\n"},
      {"BTWX x 10 25 0 0 0.25 81 10 1\n", "Invalid BTW wavelength index (field 1)",
       "Wavelength index must be an integer in the range [1,4]\n"},
      {"BTW0 x 10 25 0 0 0.25 81 10 1\n", "Invalid BTW wavelength index (field 1)",
       "Wavelength index must be an integer in the range [1,4]\n"},
      {"SWLI\n", "Missing FileName value (field 2)", ""},
      {"PMI x 5 25 0 0 0.25 0 0 0\n", "Invalid ScanLen value 5 (field 3)",
       "For PMI ramps, the ScanLen value must be 0\nFor SWLI or BTW ramps, it must be greater "
       "than 0 and less than 1000 (um)\n"},
      {"SWLI x 0 25 0 0 0.25 81 0 1\n", "Invalid ScanLen value 0 (field 3)",
       "For PMI ramps, the ScanLen value must be 0\nFor SWLI or BTW ramps, it must be greater "
       "than 0 and less than 1000 (um)\n"},
      {"SWLI x 1000 25 0 0 0.25 81 0 1\n", "Invalid ScanLen value 1000 (field 3)",
       "For PMI ramps, the ScanLen value must be 0\nFor SWLI or BTW ramps, it must be greater "
       "than 0 and less than 1000 (um)\n"},
      {"SWLI x abc 25 0 0 0.25 81 0 1\n", "Invalid ScanLen value 0 (field 3)",
       "For PMI ramps, the ScanLen value must be 0\nFor SWLI or BTW ramps, it must be greater "
       "than 0 and less than 1000 (um)\n"},
      {"SWLI x nan 25 0 0 0.25 81 0 1\n", "Invalid ScanLen value nan (field 3)",
       "For PMI ramps, the ScanLen value must be 0\nFor SWLI or BTW ramps, it must be greater "
       "than 0 and less than 1000 (um)\n"},
      {"SWLI x 10\n", "Missing CameraRate value (field 4)", ""},
      {"SWLI x 10 50000 0 0 0.25 81 0 1\n", "Invalid CameraRate value 50000 (field 4)",
       "The CameraRate value must be greater than 0 and less than 50000 (Hz)\n"},
      {"SWLI x 10 25 2 0 0.25 81 0 1\n", "Invalid CameraInterlace value 2 (field 5)",
       "The CameraInterlace value must be 0 or 1\n"},
      {"SWLI x 10 25 0 100 0.25 81 0 1\n", "Invalid GrabSkip value 100 (field 6)",
       "The GrabSkip value must be greater than or equal to 0 and less than 100\n"},
      {"SWLI x 10 25 0 -1 0.25 81 0 1\n", "Invalid GrabSkip value -1 (field 6)",
       "The GrabSkip value must be greater than or equal to 0 and less than 100\n"},
      {"SWLI x 10 25 0 0 10 81 0 1\n", "Invalid FringesPerFrame value 10 (field 7)",
       "The FringesPerFrame value must be greater than 0 and less than 10\n"},
      {"SWLI x 10 25 0 0 0.25 0 0 1\n", "Invalid RampSlope value 0 (field 8)",
       "For PMI ramps, the RampSlope value may be 0\nFor SWLI or BTW ramps, it must be greater "
       "than 0 and less than 4000 (nm/frm)\n"},
      {"PMI x 0 25 0 0 0.25 4000 0 0\n", "Invalid RampSlope value 4000 (field 8)",
       "For PMI ramps, the RampSlope value may be 0\nFor SWLI or BTW ramps, it must be greater "
       "than 0 and less than 4000 (nm/frm)\n"},
      {"BTW x 10 25 0 0 0.25 81 0 1\n", "Invalid ObjMag value 0 (field 9)",
       "For PMI or SWLI ramps, the ObjMag value may be 0\nFor BTW ramps, it must be greater than 0 "
       "and less than 1000\n"},
      {"SWLI x 10 25 0 0 0.25 81 -1 1\n", "Invalid ObjMag value -1 (field 9)",
       "For PMI or SWLI ramps, the ObjMag value may be 0\nFor BTW ramps, it must be greater than 0 "
       "and less than 1000\n"},
      {"SWLI x 10 25 0 0 0.25 81 0\n", "Missing ScanCal value (field 10)", ""},
      {"SWLI x 10 25 0 0 0.25 81 0 1.5\n", "Invalid ScanCal value 1.5 (field 10)",
       "For PMI ramps, the ScanCal value must be 0\nFor SWLI or BTW ramps, it must be greater "
       "than 0.5 and less than 1.5\n"},
      {"PMI x 0 25 0 0 0.25 0 0 1\n", "Invalid ScanCal value 1 (field 10)",
       "For PMI ramps, the ScanCal value must be 0\nFor SWLI or BTW ramps, it must be greater "
       "than 0.5 and less than 1.5\n"},
      {"SWLI x 10 25 0 0 0.25 81 0 1 2\n", "Invalid Hide value 2 (field 11)",
       "The Hide value must be blank, 0 or 1\n"},
      {"SWLI x 10 25 0 0 0.25 81 0 1 y\n", "Invalid Hide value 0 (field 11)",
       "The Hide value must be blank, 0 or 1\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.line);
    capture.clear();
    EXPECT_EQ(read(std::string(good_swli) + c.line), 0);
    EXPECT_EQ(specs.count, 1);
    EXPECT_EQ(capture.text(), one_rejected(c.line, c.error, c.explanation));
  }
}

TEST_F(RampConfig, TrailingBlanksAndCarriageReturns) {
  ASSERT_EQ(read("SWLI x 10 25 0 0 0.25 81 0 1 \t \n"
                 "SWLI y 10 25 0 0 0.25 81 0 1 1\r\n"
                 "SWLI z 10 25 0 0 0.25 81 0 1\r\n"),
            0);
  ASSERT_EQ(specs.count, 3);
  EXPECT_EQ(specs.p[0].hide, 0);
  EXPECT_EQ(specs.p[1].hide, 1);
  EXPECT_EQ(capture.text(), "");
  capture.clear();
  ASSERT_EQ(read(std::string(good_swli) + "SWLI x 10 25 \n"), 0);
  EXPECT_EQ(capture.text(),
            one_rejected("SWLI x 10 25 \n", "Missing CameraInterlace value (field 5)", ""));
}

TEST_F(RampConfig, LastLineWithoutLineEnd) {
  ASSERT_EQ(read(std::string(good_swli) + "SWLI x 10 25 3 0 0.25 81 0 1"), 0);
  EXPECT_EQ(capture.text(), one_rejected("SWLI x 10 25 3 0 0.25 81 0 1\n",
                                         "Invalid CameraInterlace value 3 (field 5)",
                                         "The CameraInterlace value must be 0 or 1\n"));
}

TEST_F(RampConfig, BoundaryValuesAreAccepted) {
  ASSERT_EQ(read("SWLI x 999.99 49999.99 1 99 9.99 3999.9 999.9 1.49999\n"
                 "PMI y 0 0.001 0 0 0.001 0 0 0\n"
                 "SWLI z 0.001 1 0 0 0.25 0.001 0 0.50001\n"),
            0);
  ASSERT_EQ(specs.count, 3);
  EXPECT_EQ(capture.text(), "");
}

TEST_F(RampConfig, FileNameLength) {
  const std::string name80(80, 'n');
  const std::string line81 = "SWLI " + std::string(81, 'n') + " 10 25 0 0 0.25 81 0 1\n";
  ASSERT_EQ(read(std::string(good_swli) + "SWLI " + name80 + " 10 25 0 0 0.25 81 0 1\n"), 0);
  ASSERT_EQ(specs.count, 2);
  EXPECT_EQ(specs.p[1].fileName, name80);
  capture.clear();
  ASSERT_EQ(read(std::string(good_swli) + line81), 0);
  EXPECT_EQ(capture.text(), one_rejected(line81, "FileName is too long (field 2)",
                                         "The FileName may be up to 80 characters\n"));
}

TEST_F(RampConfig, LineLengthLimit) {
  // 200 characters with the line end are read; 201 end the reading.
  std::string line200 = good_swli;
  line200.insert(line200.size() - 1, 200 - line200.size(), ' ');
  ASSERT_EQ(line200.size(), 200u);
  ASSERT_EQ(read(line200 + line200), 0);
  EXPECT_EQ(specs.count, 2);

  std::string line201 = line200;
  line201.insert(0, " ");
  EXPECT_EQ(read(line200 + line201 + line200), ERR_CORRUPT_RAMP_CFG_FILE);
  EXPECT_EQ(specs.p, nullptr);
  EXPECT_EQ(specs.count, 0);
  EXPECT_EQ(capture.text(), "Error reading ramp config file \"" + path +
                                "\"\nLine longer than 200 characters in line 2\n");
}

TEST_F(RampConfig, TwentyErrorsAreReportedTheTwentyFirstEndsTheRead) {
  std::string text = good_swli;
  for (int i = 0; i < 20; ++i)
    text += "SWLI x 0 25 0 0 0.25 81 0 1\n";
  ASSERT_EQ(read(text), 0);
  EXPECT_EQ(specs.count, 1);
  const std::string report = capture.text();
  EXPECT_NE(report.find("in line 21:\n"), std::string::npos);
  EXPECT_NE(report.find("Accepted 1 of 21 ramp specs in ramp config file \"" + path + "\"\n"),
            std::string::npos);
  EXPECT_EQ(report.find("Too many errors"), std::string::npos);

  capture.clear();
  EXPECT_EQ(read(text + "BTW9 x\n" + good_swli), ERR_CORRUPT_RAMP_CFG_FILE);
  EXPECT_EQ(specs.p, nullptr);
  const std::string report21 = capture.text();
  const std::string tail = "Invalid BTW wavelength index (field 1) in line 22:\n  BTW9 x\n"
                           "Wavelength index must be an integer in the range [1,4]\n"
                           "Too many errors reading ramp config file \"" +
                           path + "\"\n";
  ASSERT_GE(report21.size(), tail.size());
  EXPECT_EQ(report21.substr(report21.size() - tail.size()), tail);
  EXPECT_EQ(report21.find("Error reading ramp config file"),
            report21.rfind("Error reading ramp config file"));
}

TEST_F(RampConfig, NoAcceptableSpecs) {
  const std::string expected_tail =
      "Format description and sample:\n"
      "#\n"
      "# RT  = RampType: PMI, SWLI, BTW, or BTWX where X is a filter number\n"
      "# FN  = FileName: name of ramp data file or \"+\" if derived from previous\n"
      "# SL  = ScanLen: scan length in microns for SWLI or BTW ramps\n"
      "# CR  = CameraRate: frame rate in Hz\n"
      "# CI  = CameraInterlace: 1 if interlaced fields, otherwise 0\n"
      "# GS  = GrabSkip: (GrabSkip+1 specifies camera frame sampling)\n"
      "# FPF = FringesPerFrame: normal 0.125 or 0.25, subnyquist 0.75 or 1.25\n"
      "# RS  = RampSlope: nm/frm for SWLI or BTW ramps\n"
      "# OM  = ObjMag: nominal objective magnification, required for BTW ramps\n"
      "# SC  = ScanCal: factor near 1.0 to calibrate SWLI or BTW ramps\n"
      "# H   = Optional hide flag: 0 is normal, 1 to hide ramp from user\n"
      "#\n"
      "# RT    FN                     SL    CR   CI GS  FPF    RS       OM   SC      H\n"
      "\n"
      " SWLI d10s81c25.b12345      010.20 025.00 00 00 0.250 081.0000 000.00 1.00000 0\n";
  EXPECT_EQ(read("# only\n#comments\n\n"), ERR_CORRUPT_RAMP_CFG_FILE);
  EXPECT_EQ(specs.p, nullptr);
  EXPECT_EQ(capture.text(),
            "No acceptable ramp specs in ramp config file \"" + path + "\"\n" + expected_tail);
  capture.clear();
  EXPECT_EQ(read("SWLI x\n"), ERR_CORRUPT_RAMP_CFG_FILE);
  EXPECT_EQ(capture.text(), "Error reading ramp config file \"" + path +
                                "\"\nMissing ScanLen value (field 3) in line 1:\n  SWLI x\n" +
                                "No acceptable ramp specs in ramp config file \"" + path + "\"\n" +
                                expected_tail);
}

TEST_F(RampConfig, CallerErrors) {
  rr_ramp_spec dummy{};
  rr_ramp_spec *held = &dummy;
  int count = 3;
  EXPECT_EQ(rr_read_ramp_config(path.c_str(), &held, &count), ERR_INVALID_PARAM);
  EXPECT_EQ(rr_read_ramp_config(path.c_str(), nullptr, &count), ERR_INVALID_PARAM);
  rr_ramp_spec *none = nullptr;
  const std::string missing = dir.file("missing.cfg");
  EXPECT_EQ(rr_read_ramp_config(missing.c_str(), &none, &count), ERR_CANT_OPEN_FILE);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(capture.text(), "Cannot open ramp config file \"" + missing + "\"\n");
  EXPECT_EQ(rr_write_ramp_config(path.c_str(), nullptr, 0), ERR_INVALID_PARAM);
  EXPECT_EQ(rr_write_ramp_config(dir.file("no/dir/x.cfg").c_str(), &dummy, 1), ERR_CANT_OPEN_FILE);
}

TEST_F(RampConfig, WriterLayoutAndGroups) {
  rr_ramp_spec s[6] = {};
  const struct {
    int type, wl;
    const char *name;
    float rate;
  } rows[] = {{0, 0, "a", 25},  {0, 0, "a", 25.5f}, {0, 0, "a", 30},
              {17, 2, "a", 30}, {17, 9, "b", 30},   {3, 0, "b", 30}};
  for (int i = 0; i < 6; ++i) {
    s[i].rampType = rows[i].type;
    s[i].wavelenSelect = rows[i].wl;
    std::snprintf(s[i].fileName, sizeof s[i].fileName, "%s", rows[i].name);
    s[i].cameraRate = rows[i].rate;
  }
  s[0].scanLen = 10.2f;
  s[0].fringesPerFrame = 0.25f;
  s[0].rampSlope = 81;
  s[0].scanCal = 1;
  s[0].hide = 1;
  s[5].rampType = 42;
  ASSERT_EQ(rr_write_ramp_config(path.c_str(), s, 6), 0);
  // A text file: Windows ends its lines with a carriage return too.
  std::string text = read_text(path);
  std::erase(text, '\r');
  const std::string head = "# Corvista Ramp Configuration File\n#\n# RT  = RampType:";
  EXPECT_EQ(text.substr(0, head.size()), head);
  const std::string body =
      "# RT    FN                     SL    CR   CI GS  FPF    RS       OM   SC      H\n"
      "\n"
      " SWLI a                       10.20  25.00  0  0 0.250  81.0000   0.00 1.00000 1\n"
      " SWLI a                        0.00  25.50  0  0 0.000   0.0000   0.00 0.00000 0\n"
      "\n"
      " SWLI a                        0.00  30.00  0  0 0.000   0.0000   0.00 0.00000 0\n"
      "\n"
      " BTW2 a                        0.00  30.00  0  0 0.000   0.0000   0.00 0.00000 0\n"
      "\n"
      " BTW  b                        0.00  30.00  0  0 0.000   0.0000   0.00 0.00000 0\n"
      "\n"
      " XXX  b                        0.00  30.00  0  0 0.000   0.0000   0.00 0.00000 0\n";
  ASSERT_GE(text.size(), body.size());
  EXPECT_EQ(text.substr(text.size() - body.size()), body);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 14 + 5 + 6);
}

TEST_F(RampConfig, PmiCodesAreWrittenAsPmi) {
  rr_ramp_spec s{};
  s.rampType = 15;
  std::snprintf(s.fileName, sizeof s.fileName, "p");
  ASSERT_EQ(rr_write_ramp_config(path.c_str(), &s, 1), 0);
  EXPECT_NE(read_text(path).find("\n PMI  p "), std::string::npos);
}

// Random valid specs, kept away from the bounds by more than the written
// precision, survive a write and a read to that precision.
TEST_F(RampConfig, RoundTripOfRandomSpecs) {
  std::mt19937 rng(20261208);
  auto uniform = [&](double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
  };
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  std::vector<rr_ramp_spec> written(300);
  for (rr_ramp_spec &s : written) {
    s = rr_ramp_spec{};
    int kind = pick(0, 2);
    s.rampType = kind == 0 ? 0 : kind == 1 ? 1 : 17;
    bool pmi = s.rampType == 1;
    s.wavelenSelect = s.rampType == 17 ? pick(0, 4) : 0;
    if (pick(0, 5) == 0)
      std::snprintf(s.fileName, sizeof s.fileName, "+");
    else
      std::snprintf(s.fileName, sizeof s.fileName, "r%dc%d.b%d", pick(1, 999), pick(1, 99),
                    pick(0, 99999));
    s.scanLen = pmi ? 0 : float(uniform(0.01, 999.98));
    s.cameraRate = float(uniform(0.01, 9999.98));
    s.cameraInterlace = pick(0, 1);
    s.grabSkip = pick(0, 99);
    s.fringesPerFrame = float(uniform(0.001, 9.998));
    s.rampSlope = pmi && pick(0, 1) ? 0 : float(uniform(0.001, 3999.998));
    s.objMag = s.rampType == 17 ? float(uniform(0.01, 999.98)) : float(uniform(0, 999.98));
    s.scanCal = pmi ? 0 : float(uniform(0.50002, 1.49998));
    s.hide = pick(0, 1);
  }
  ASSERT_EQ(rr_write_ramp_config(path.c_str(), written.data(), int(written.size())), 0);
  ASSERT_EQ(rr_read_ramp_config(path.c_str(), &specs.p, &specs.count), 0);
  EXPECT_EQ(capture.text(), "");
  ASSERT_EQ(specs.count, int(written.size()));
  for (size_t i = 0; i < written.size(); ++i) {
    SCOPED_TRACE(i);
    const rr_ramp_spec &w = written[i], &r = specs.p[i];
    EXPECT_EQ(r.rampType, w.rampType);
    EXPECT_EQ(r.wavelenSelect, w.wavelenSelect);
    EXPECT_STREQ(r.fileName, w.fileName);
    EXPECT_NEAR(r.scanLen, w.scanLen, 0.005 + 1e-4);
    EXPECT_NEAR(r.cameraRate, w.cameraRate, 0.005 + 1e-3);
    EXPECT_EQ(r.cameraInterlace, w.cameraInterlace);
    EXPECT_EQ(r.grabSkip, w.grabSkip);
    EXPECT_NEAR(r.fringesPerFrame, w.fringesPerFrame, 0.0005 + 1e-6);
    EXPECT_NEAR(r.rampSlope, w.rampSlope, 0.00005 + 4e-4);
    EXPECT_NEAR(r.objMag, w.objMag, 0.005 + 1e-4);
    EXPECT_NEAR(r.scanCal, w.scanCal, 0.000005 + 1e-7);
    EXPECT_EQ(r.hide, w.hide);
  }
}

TEST_F(RampConfig, OutOfMemoryIsReportedWithoutALineNumber) {
  FailingAllocator alloc;
  alloc.fail_at(2);
  EXPECT_EQ(read(std::string(5, ' ') + good_swli + good_swli + good_swli + good_swli + good_swli +
                 good_swli + good_swli),
            ERR_NO_MEM);
  EXPECT_EQ(specs.p, nullptr);
  EXPECT_EQ(alloc.live_blocks(), 0);
  EXPECT_EQ(capture.text(), "Error reading ramp config file \"" + path + "\"\nOut of memory\n");
}

TEST_F(RampConfig, OutOfMemory) {
  std::string text;
  for (int i = 0; i < 12; ++i)
    text += good_swli;
  text += "SWLI bad\n";
  write_text(path, text);
  MessageCapture quiet;
  long allocations = expect_no_leak_under_oom(
      [&] {
        specs.count = -1;
        u_err_t err = rr_read_ramp_config(path.c_str(), &specs.p, &specs.count);
        EXPECT_EQ(err == 0, specs.p != nullptr);
        if (err == 0) {
          EXPECT_EQ(specs.count, 12);
        }
        return err;
      },
      [&] { ferry::hook_free(specs.p); });
  EXPECT_EQ(allocations, 3); // grows by five entries at a time
}

} // namespace
