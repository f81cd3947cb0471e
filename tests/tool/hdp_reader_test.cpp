// The HDP reader: formats, data types, header record, samples, flip, and
// what it does with broken or hostile files.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tool/hdp_bytes.h"
#include "tool/hdp_reader.h"

namespace ferry::test {
namespace {

// Rewrites a file in place and then sets its length. Truncating to zero
// first makes some file systems flush every round to disk, which would turn
// a loop of thousands of files into seconds of waiting.
void overwrite_file(const std::string &path, const std::vector<uint8_t> &bytes) {
  if (!std::filesystem::exists(path))
    write_file(path, {});
  {
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  std::filesystem::resize_file(path, bytes.size());
}

struct Result {
  u_err_t err;
  std::string messages;
};

class HdpReader : public ::testing::Test {
protected:
  data_prefix prefix{};
  data_header header{};
  phase_matrix phase{};
  TempDir dir;
  std::string path = dir.file("in.hdp");

  void TearDown() override { phase_matrix_free(&phase); }

  Result read_bytes(const std::vector<uint8_t> &bytes) {
    write_file(path, bytes);
    return read_path(path);
  }
  Result read(const HdpSpec &spec) { return read_bytes(hdp_file(spec)); }
  Result read_path(const std::string &p) {
    phase_matrix_free(&phase);
    MessageCapture capture;
    u_err_t err = read_hdp_file(p.c_str(), &prefix, &header, &phase);
    return {err, capture.text()};
  }
  std::vector<int32_t> row(int r) const {
    return std::vector<int32_t>(phase.matrix + r * phase.width,
                                phase.matrix + (r + 1) * phase.width);
  }
};

TEST_F(HdpReader, MissingFileCannotBeOpened) {
  Result r = read_path(dir.file("absent.hdp"));
  EXPECT_EQ(r.err, ERR_CANT_OPEN_FILE);
  EXPECT_EQ(r.messages, "");
}

TEST_F(HdpReader, EmptyFileEndsBeforeTheFormatCode) {
  Result r = read_bytes({});
  EXPECT_EQ(r.err, ERR_PREMATURE_EOF);
  EXPECT_EQ(r.messages, "");
}

TEST_F(HdpReader, OtherFormatCodesArePrintedAsSignedBytes) {
  for (auto [byte, text] : std::vector<std::pair<uint8_t, std::string>>{
           {1, "1"}, {0, "0"}, {4, "4"}, {0x7F, "127"}, {0xFF, "-1"}, {0x80, "-128"}}) {
    std::vector<uint8_t> bytes(400, 0);
    bytes[0] = byte;
    Result r = read_bytes(bytes);
    EXPECT_EQ(r.err, ERR_NOT_A_DATA_FILE) << text;
    EXPECT_EQ(r.messages, "*** Format code = " + text + ", expected 2 or 3 ***\n");
  }
}

TEST_F(HdpReader, HeaderShorterThanItsFormatEndsEarly) {
  for (int format : {2, 3}) {
    HdpSpec spec;
    spec.format = format;
    std::vector<uint8_t> header = hdp_header(spec);
    for (size_t len : {size_t{1}, size_t{100}, header.size() - 1}) {
      Result r = read_bytes(std::vector<uint8_t>(header.begin(), header.begin() + len));
      EXPECT_EQ(r.err, ERR_PREMATURE_EOF) << format << " " << len;
      EXPECT_EQ(r.messages, "");
    }
  }
}

TEST_F(HdpReader, RefusedDataTypesPrintTheirMessage) {
  const std::vector<std::pair<int, std::string>> refused = {
      {1, "*** Type of data is Light Levels ***\n"},
      {2, "*** Type of data is Converted Phases ***\n"},
      {5, "*** Type of data is PSF ***\n"},
      {6, "*** Type of data is MTF ***\n"},
      {0, "*** Type of data is unknown ***\n"},
      {7, "*** Type of data is unknown ***\n"},
      {-1, "*** Type of data is unknown ***\n"}};
  for (int format : {2, 3}) {
    for (const auto &[type, message] : refused) {
      HdpSpec spec;
      spec.format = format;
      spec.data_type = type;
      Result r = read(spec);
      EXPECT_EQ(r.err, ERR_NOT_A_DATA_FILE) << type;
      EXPECT_EQ(r.messages, message);
      EXPECT_EQ(phase.matrix, nullptr);
    }
  }
}

TEST_F(HdpReader, WorkedExample) {
  HdpSpec spec;
  spec.y0 = 10;
  spec.x0 = 20;
  spec.rows = 2;
  spec.cols = 3;
  spec.samples = {1, 2, 0x7FFF, -1, 0, 4};
  Result r = read(spec);
  ASSERT_EQ(r.err, 0);
  EXPECT_EQ(r.messages, "");
  EXPECT_EQ(header.camera_width, 288);
  EXPECT_EQ(header.camera_height, 210);
  EXPECT_EQ(phase.x, 20);
  EXPECT_EQ(phase.y, 198);
  EXPECT_EQ(phase.width, 3);
  EXPECT_EQ(phase.height, 2);
  EXPECT_EQ(row(0), (std::vector<int32_t>{-8, 0, 32}));
  EXPECT_EQ(row(1), (std::vector<int32_t>{8, 16, PHASE_INVALID}));
}

TEST_F(HdpReader, UnsquaredPhaseWarnsWithThePathAndUsesItsOwnWindow) {
  for (int format : {2, 3}) {
    HdpSpec spec;
    spec.format = format;
    spec.data_type = 3;
    spec.y0 = 5;
    spec.x0 = 7;
    spec.rows = 1;
    spec.cols = 2;
    spec.samples = {3, 4};
    std::vector<uint8_t> bytes = hdp_file(spec);
    // A decoy in the phase-data window must not be taken.
    put_be16(bytes, hdp_window_offset(format, 4) + 4, 9);
    Result r = read_bytes(bytes);
    ASSERT_EQ(r.err, 0);
    EXPECT_EQ(r.messages, "*** WARNING: Phase data in \"" + path + "\" is unsquared ***\n");
    EXPECT_EQ(header.camera_width, 336);
    EXPECT_EQ(header.camera_height, 210);
    EXPECT_EQ(phase.x, 7);
    EXPECT_EQ(phase.y, 210 - 1 - 5);
    EXPECT_EQ(row(0), (std::vector<int32_t>{24, 32}));
  }
}

TEST_F(HdpReader, SamplesMapToThePhaseScale) {
  HdpSpec spec;
  spec.rows = 1;
  spec.cols = 6;
  spec.samples = {0x7FFF, 0x0001, -1, INT16_MIN, 0x7FFE, 0};
  ASSERT_EQ(read(spec).err, 0);
  EXPECT_EQ(row(0), (std::vector<int32_t>{PHASE_INVALID, 8, -8, -262144, 0x7FFE * 8, 0}));
}

TEST_F(HdpReader, FirstStoredRowEndsLast) {
  // Many rows and widths that do not divide the read chunks, so rows of
  // several chunks land in their flipped places; the second window is large
  // enough to be filled past the cache, and its odd width starts every other
  // row off the 16-byte grid.
  struct Size {
    int16_t rows, cols;
  } sizes[] = {{301, 997}, {2001, 2097}};
  for (const Size &size : sizes) {
    SCOPED_TRACE(std::to_string(size.rows) + " x " + std::to_string(size.cols));
    HdpSpec spec;
    spec.rows = size.rows;
    spec.cols = size.cols;
    spec.samples.resize(size_t(spec.rows) * spec.cols);
    for (size_t i = 0; i < spec.samples.size(); ++i)
      spec.samples[i] = static_cast<int16_t>(i % 9 == 4 ? 0x7FFF : i * 7 % 4001 - 2000);
    ASSERT_EQ(read(spec).err, 0);
    size_t wrong = 0;
    for (int r = 0; r < spec.rows; ++r)
      for (int c = 0; c < spec.cols; ++c) {
        int16_t stored = spec.samples[size_t(r) * spec.cols + c];
        wrong += phase.matrix[size_t(spec.rows - 1 - r) * spec.cols + c] !=
                 (stored == 0x7FFF ? PHASE_INVALID : stored * 8);
      }
    EXPECT_EQ(wrong, 0u);
  }
}

TEST_F(HdpReader, ResultEqualsConvertThenFlip) {
  HdpSpec spec;
  spec.rows = 5;
  spec.cols = 4;
  spec.samples.clear();
  for (int i = 0; i < 20; ++i)
    spec.samples.push_back(static_cast<int16_t>(i % 3 == 0 ? 0x7FFF : i - 10));
  ASSERT_EQ(read(spec).err, 0);
  phase_matrix_flip_y(&phase);
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(phase.matrix[i], spec.samples[i] == 0x7FFF ? PHASE_INVALID : spec.samples[i] * 8);
}

TEST_F(HdpReader, WindowOriginCountsFromTheBottom) {
  struct Case {
    int16_t rows, y0, expected_y;
  };
  for (Case c : {Case{100, 10, 100}, Case{210, 0, 0}, Case{210, 10, -10}, Case{1, 209, 0}}) {
    HdpSpec spec;
    spec.rows = c.rows;
    spec.cols = 1;
    spec.y0 = c.y0;
    spec.samples.assign(size_t(c.rows), 1);
    ASSERT_EQ(read(spec).err, 0);
    EXPECT_EQ(phase.y, c.expected_y) << c.rows << " " << c.y0;
    EXPECT_EQ(phase.height, c.rows);
  }
}

TEST_F(HdpReader, ZeroRowsOrColumnsIsNotADataFile) {
  for (auto [rows, cols] : {std::pair<int16_t, int16_t>{0, 3}, {3, 0}, {0, 0}}) {
    HdpSpec spec;
    spec.rows = rows;
    spec.cols = cols;
    Result r = read(spec);
    EXPECT_EQ(r.err, ERR_NOT_A_DATA_FILE);
    EXPECT_EQ(r.messages, "");
  }
}

TEST_F(HdpReader, NegativeExtentsAreRefusedBeforeAnyMemoryIsTaken) {
  // Both negative makes a positive product: each count is tested alone.
  for (auto [rows, cols] : {std::pair<int16_t, int16_t>{-1, 5}, {5, -1}, {-2, -3}, {-32768, 1}}) {
    HdpSpec spec;
    spec.rows = rows;
    spec.cols = cols;
    spec.samples.assign(64, 1);
    FailingAllocator alloc;
    Result r = read(spec);
    EXPECT_EQ(r.err, ERR_NOT_A_DATA_FILE) << rows << "x" << cols;
    EXPECT_EQ(r.messages, "");
    EXPECT_EQ(alloc.allocations(), 0);
    EXPECT_EQ(phase.matrix, nullptr);
  }
}

TEST_F(HdpReader, AnnouncedSamplesBeyondTheFileAreRefusedBeforeAnyMemoryIsTaken) {
  HdpSpec spec;
  spec.rows = 32767;
  spec.cols = 32767;
  spec.samples.assign(13, 1); // a file of about 200 bytes
  FailingAllocator alloc;
  Result r = read(spec);
  EXPECT_EQ(r.err, ERR_CORRUPT_DATA_FILE);
  EXPECT_EQ(r.messages, "");
  EXPECT_EQ(alloc.allocations(), 0);
  EXPECT_EQ(phase.matrix, nullptr);
}

TEST_F(HdpReader, OneSampleShortIsCorrupt) {
  for (int format : {2, 3}) {
    HdpSpec spec;
    spec.format = format;
    std::vector<uint8_t> bytes = hdp_file(spec);
    bytes.pop_back(); // half a sample is no sample
    EXPECT_EQ(read_bytes(bytes).err, ERR_CORRUPT_DATA_FILE);
    EXPECT_EQ(phase.matrix, nullptr);
    bytes.pop_back();
    EXPECT_EQ(read_bytes(bytes).err, ERR_CORRUPT_DATA_FILE);
  }
}

TEST_F(HdpReader, BytesAfterTheSamplesAreIgnored) {
  HdpSpec spec;
  std::vector<uint8_t> bytes = hdp_file(spec);
  ASSERT_EQ(read_bytes(bytes).err, 0);
  data_header plain = header;
  std::vector<int32_t> plain_rows = row(0);
  bytes.insert(bytes.end(), 1000, 0xEE);
  ASSERT_EQ(read_bytes(bytes).err, 0);
  EXPECT_EQ(std::memcmp(&plain, &header, sizeof header), 0);
  EXPECT_EQ(row(0), plain_rows);
  EXPECT_EQ(row(1), (std::vector<int32_t>{8, 16, 24}));
}

TEST_F(HdpReader, MissingRecordsAreRefusedBeforeTheFileIsOpened) {
  write_file(path, hdp_file(HdpSpec{}));
  EXPECT_EQ(read_hdp_file(path.c_str(), nullptr, &header, &phase), ERR_INVALID_PARAM);
  EXPECT_EQ(read_hdp_file(path.c_str(), &prefix, nullptr, &phase), ERR_INVALID_PARAM);
  EXPECT_EQ(read_hdp_file(path.c_str(), &prefix, &header, nullptr), ERR_INVALID_PARAM);
  EXPECT_EQ(phase.matrix, nullptr);
  EXPECT_EQ(read_hdp_file(nullptr, &prefix, &header, &phase), ERR_CANT_OPEN_FILE);
}

TEST_F(HdpReader, RecordsAreClearedFirst) {
  std::memset(&prefix, 0xAB, sizeof prefix);
  std::memset(&header, 0xAB, sizeof header);
  ASSERT_EQ(read(HdpSpec{}).err, 0);
  data_prefix zero_prefix{};
  EXPECT_EQ(std::memcmp(&prefix, &zero_prefix, sizeof prefix), 0);
  EXPECT_EQ(header.n16_at_218, 0);
  EXPECT_EQ(header.n32_at_172, 0);
  EXPECT_EQ(header.bytes_at_1454[100], 0);
  EXPECT_EQ(header.comment[81], 0);
}

TEST_F(HdpReader, HeaderFieldsAreFilled) {
  HdpSpec spec;
  spec.format = 3;
  spec.n8_at_39 = -3;
  spec.n32_at_144 = 123456789;
  spec.n32_at_148 = -2000000000;
  spec.n32_at_158 = 1234567890;
  spec.flag_at_152 = 0x80;
  spec.flag_b = 2;
  ASSERT_EQ(read(spec).err, 0);
  EXPECT_EQ(header.n16_at_162, -3);
  EXPECT_EQ(header.f32_at_164, static_cast<float>(123456789 / 1e7));
  EXPECT_EQ(header.f32_at_168, static_cast<float>(-2000000000 / 1e13));
  EXPECT_EQ(header.f32_at_184, static_cast<float>(1234567890 / 1e10));
  EXPECT_EQ(header.f32_at_176, 1.0f);
  EXPECT_EQ(header.n16_at_202, 1);
  EXPECT_EQ(header.n16_at_192, 1);
  EXPECT_EQ(header.timestamp, 1104932700);
  EXPECT_STREQ(header.comment, "Data from lab SPMprobe");
  EXPECT_STREQ(header.text_at_258, "name");

  spec.flag_at_152 = 0;
  spec.flag_b = 0;
  ASSERT_EQ(read(spec).err, 0);
  EXPECT_EQ(header.n16_at_202, 0);
  EXPECT_EQ(header.n16_at_192, 0);
}

TEST_F(HdpReader, FlagBSitsWhereItsFormatPutsIt) {
  for (int format : {2, 3}) {
    HdpSpec spec;
    spec.format = format;
    std::vector<uint8_t> bytes = hdp_file(spec);
    bytes[format == 2 ? 154 : 153] = 1; // the other format's place
    ASSERT_EQ(read_bytes(bytes).err, 0);
    EXPECT_EQ(header.n16_at_192, 0) << format;
    bytes[format == 2 ? 153 : 154] = 1;
    ASSERT_EQ(read_bytes(bytes).err, 0);
    EXPECT_EQ(header.n16_at_192, 1) << format;
  }
}

TEST_F(HdpReader, BothFormatsGiveTheSameRecordButForTheirOwnField) {
  HdpSpec spec;
  spec.n8_at_39 = 12;
  spec.n32_at_144 = -987654;
  spec.n32_at_148 = 55555;
  spec.n32_at_158 = 77;
  spec.flag_b = 1;
  spec.y0 = 3;
  spec.x0 = 4;
  spec.samples = {1, -2, 3, 0x7FFF, 5, -6};
  ASSERT_EQ(read(spec).err, 0);
  data_header two = header;
  std::vector<int32_t> two_rows = row(0);
  EXPECT_EQ(two.f32_at_184, 0.0f);
  spec.format = 3;
  ASSERT_EQ(read(spec).err, 0);
  EXPECT_EQ(header.f32_at_184, static_cast<float>(77 / 1e10));
  header.f32_at_184 = 0;
  EXPECT_EQ(std::memcmp(&two, &header, sizeof header), 0);
  EXPECT_EQ(row(0), two_rows);
  EXPECT_EQ(phase.x, 4);
  EXPECT_EQ(phase.y, 205);
}

TEST_F(HdpReader, CommentTextsStopAtTheirSpans) {
  HdpSpec spec;
  spec.text_at_29 = std::string(10, 'A');
  spec.text_at_14 = std::string(15, 'B');
  ASSERT_EQ(read(spec).err, 0);
  EXPECT_STREQ(header.comment, "Data from AAAAAAAAAA SPMBBBBBBBBBBBBBBB");

  spec.text_at_29 = "";
  spec.text_at_14 = "";
  ASSERT_EQ(read(spec).err, 0);
  EXPECT_STREQ(header.comment, "Data from  SPM");
}

TEST_F(HdpReader, NameIsCleanedTrimmedAndCut) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\t abc \n", "abc"},
      {"a\x01"
       "b\x7F"
       "c\xC3",
       "a b c"},
      {"\r x \r", "x"},
      {std::string(60, 'n'), std::string(39, 'n')},
      {std::string(81, 'q'), std::string(39, 'q')},
      {"", ""},
      {" \t\n", ""}};
  for (const auto &[name, expected] : cases) {
    HdpSpec spec;
    spec.name = name;
    ASSERT_EQ(read(spec).err, 0);
    EXPECT_EQ(std::string(header.text_at_258), expected);
    for (size_t i = expected.size(); i < sizeof header.text_at_258; ++i)
      ASSERT_EQ(header.text_at_258[i], 0) << "byte " << i << " of " << expected;
  }
}

TEST_F(HdpReader, BadDatesGiveTimeStampZero) {
  for (const char *date :
       {"29-FEB-1900/00:00:00", "31-APR-2005/10:00:00", "15-JAN-1899/10:00:00",
        "15-JAN-2005/24:00:00", "", "garbage", "19-JAN-2038/03:14:08", "01-JAN-1900/00:00:00"}) {
    HdpSpec spec;
    spec.date = date;
    ASSERT_EQ(read(spec).err, 0);
    EXPECT_EQ(header.timestamp, 0) << date;
  }
  HdpSpec spec;
  spec.date = "19-JAN-2038/03:14:07";
  ASSERT_EQ(read(spec).err, 0);
  EXPECT_EQ(header.timestamp, INT32_MAX);
}

TEST_F(HdpReader, DateFillingItsSpanIsReadToTwentyCharacters) {
  HdpSpec spec;
  spec.date = "15-JAN-2005/10:00:59" + std::string(2, '9');
  ASSERT_EQ(read(spec).err, 0);
  EXPECT_EQ(header.timestamp, 1105783259);
}

TEST_F(HdpReader, EveryAllocationFailureIsCleanAndReported) {
  HdpSpec spec;
  spec.rows = 200;
  spec.cols = 1500;
  spec.samples.assign(size_t(spec.rows) * spec.cols, 3);
  write_file(path, hdp_file(spec));
  MessageCapture quiet;
  long needed = expect_no_leak_under_oom(
      [&] { return read_hdp_file(path.c_str(), &prefix, &header, &phase); },
      [&] { phase_matrix_free(&phase); });
  EXPECT_GE(needed, 1);
}

// Random and mutated files must never crash the reader, read past its
// buffers or leave memory behind; a success must describe a whole matrix.
TEST_F(HdpReader, SurvivesRandomAndMutatedFiles) {
  std::mt19937 rng(20261208);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  MessageCapture quiet;
  FailingAllocator alloc;
  int successes = 0;
  for (int round = 0; round < 3000; ++round) {
    HdpSpec spec;
    spec.format = pick(2) ? 2 : 3;
    spec.data_type = pick(4) ? 4 - pick(2) : pick(9) - 1;
    spec.rows = static_cast<int16_t>(pick(6));
    spec.cols = static_cast<int16_t>(pick(6));
    spec.samples.assign(size_t(pick(40)), static_cast<int16_t>(pick(65536) - 32768));
    std::vector<uint8_t> bytes = hdp_file(spec);
    switch (pick(3)) {
    case 0: // flip random bytes
      for (int k = pick(8); k >= 0; --k)
        bytes[size_t(pick(int(bytes.size())))] = static_cast<uint8_t>(rng());
      break;
    case 1: // cut
      bytes.resize(size_t(pick(int(bytes.size()) + 1)));
      break;
    default: // noise of any length
      bytes.assign(size_t(pick(300)), 0);
      for (auto &b : bytes)
        b = static_cast<uint8_t>(rng());
      if (!bytes.empty() && pick(2))
        bytes[0] = static_cast<uint8_t>(2 + pick(2));
    }
    overwrite_file(path, bytes);
    u_err_t err = read_hdp_file(path.c_str(), &prefix, &header, &phase);
    if (err == 0) {
      ++successes;
      ASSERT_NE(phase.matrix, nullptr);
      ASSERT_GT(phase.width, 0);
      ASSERT_GT(phase.height, 0);
      ASSERT_LE(bytes.size(), size_t(1) << 20);
      ASSERT_GE(bytes.size(),
                hdp_header_size(bytes[0]) + 2 * size_t(phase.width) * size_t(phase.height));
      ASSERT_EQ(header.comment[sizeof header.comment - 1], 0);
      ASSERT_EQ(header.text_at_258[sizeof header.text_at_258 - 1], 0);
    } else {
      ASSERT_EQ(phase.matrix, nullptr) << "a failed read keeps no buffer";
    }
    phase_matrix_free(&phase);
    ASSERT_EQ(alloc.live_blocks(), 0) << "round " << round;
  }
  EXPECT_GT(successes, 50);
}

} // namespace
} // namespace ferry::test
