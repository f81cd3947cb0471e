// ferryinfo's report of files the bundled sample does not cover: absent
// arrays, no valid sample, odd floats and texts, and the statistics.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <string>

#include "tool/ferryinfo/report.h"

using ferry::info::json_string;
using ferry::info::phase_statistics;
using ferry::info::report_rows;
using ferry::info::ShownFile;

namespace {

// label -> text, and JSON member -> value, of one report.
struct Report {
  std::map<std::string, std::string> text;
  std::map<std::string, std::string> json;
  explicit Report(const ShownFile &f) {
    for (const auto &row : report_rows("f.dat", f)) {
      text[row.label] = row.text;
      for (const auto &[name, value] : row.json)
        json[name] = value;
    }
  }
};

TEST(ReportJson, AnyBytesMakeAValidString) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain text", "\"plain text\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"C:\\data", "\"C:\\\\data\""},
      {std::string("a\0b", 3), "\"a\\u0000b\""},
      {"\t\n\x7F", "\"\\u0009\\u000A\\u007F\""},
      {"\xE9t\xE9", "\"\\u00E9t\\u00E9\""},
  };
  for (const auto &c : cases)
    EXPECT_EQ(json_string(c.in), c.out);
}

TEST(ReportRows, AbsentArraysAndMissingValuesShowAsNone) {
  ShownFile f; // a data file whose header and windows are all zero
  f.layout = {0x881B036F, 1, 834, 0, 0};
  f.header.f32_at_164 = std::numeric_limits<float>::quiet_NaN();
  f.header.f32_at_168 = std::numeric_limits<float>::infinity();
  std::memcpy(f.header.comment, "tab\there\x01", 10);
  const Report r(f);
  EXPECT_EQ(r.text.at("phase window"), "none");
  EXPECT_EQ(r.json.at("phase_window"), "null");
  EXPECT_EQ(r.text.at("intensity window"), "none");
  EXPECT_EQ(r.json.at("intensity_window"), "null");
  EXPECT_EQ(r.text.at("timestamp"), "none (0)");
  EXPECT_EQ(r.json.at("date"), "null");
  EXPECT_EQ(r.text.at("valid samples"), "0 of 0");
  EXPECT_EQ(r.text.at("invalid samples"), "0");
  for (const char *label : {"phase minimum", "phase maximum", "phase mean"})
    EXPECT_EQ(r.text.at(label), "none") << label;
  for (const char *name : {"phase_minimum", "phase_maximum", "phase_mean"})
    EXPECT_EQ(r.json.at(name), "null") << name;
  EXPECT_EQ(r.text.at("f32_at_164"), "nan");
  EXPECT_EQ(r.json.at("f32_at_164"), "null"); // JSON has no NaN
  EXPECT_EQ(r.text.at("f32_at_168"), "inf");
  EXPECT_EQ(r.json.at("f32_at_168"), "null");
  EXPECT_EQ(r.text.at("comment"), "tab\\x09here\\x01");
  EXPECT_EQ(r.json.at("comment"), "\"tab\\u0009here\\u0001\"");
}

TEST(ReportRows, IntensityBucketsAndAllInvalidPhase) {
  ShownFile f;
  f.intensity = {0, -1, 4, 3, 2, 5, 0, nullptr};
  int32_t samples[2] = {PHASE_INVALID, INT32_MAX};
  f.phase = {2, 7, 8, 2, 1, samples};
  const Report r(f);
  EXPECT_EQ(r.text.at("intensity window"), "3 x 2 at (-1, 4), 5 buckets");
  EXPECT_EQ(r.json.at("intensity_window"),
            "{\"x\": -1, \"y\": 4, \"width\": 3, \"height\": 2, \"n_buckets\": 5}");
  EXPECT_EQ(r.text.at("valid samples"), "0 of 2");
  EXPECT_EQ(r.text.at("invalid samples"), "2 (100.00%)");
  EXPECT_EQ(r.json.at("invalid_share"), "1");
  EXPECT_EQ(r.text.at("phase minimum"), "none");
  f.phase.matrix = nullptr; // the destructor must not give back the samples
}

TEST(PhaseStatistics, CountValidSamplesAndTheirRange) {
  int32_t samples[8] = {-8, PHASE_INVALID, 16, PHASE_INVALID + 7, INT32_MIN, 0, 8, 99};
  phase_matrix m{8, 0, 0, 3, 2, samples}; // the window covers the first six
  const auto s = phase_statistics(m);
  EXPECT_EQ(s.samples, 6u);
  EXPECT_EQ(s.valid, 4u);
  EXPECT_EQ(s.minimum, INT32_MIN);
  EXPECT_EQ(s.maximum, 16);
  EXPECT_DOUBLE_EQ(s.mean, (-8.0 + 16 + INT32_MIN + 0) / 4);
}

} // namespace
