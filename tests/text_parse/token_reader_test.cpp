#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "base/errors.h"
#include "base/token_reader.h"
#include "support/test_support.h"

namespace {

using ferry::test::MessageCapture;

// A small table in the calibration file's shape: punctuation entries and
// words, sorted byte-wise.
constexpr sb_keyword test_keywords[] = {
    {",", 1}, {":", 2}, {"[", 3}, {"]", 4}, {"channel", 10}, {"scale", 12}, {"version", 11},
};

struct FileDeleter {
  void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileDeleter>;

// An open stream holding text, read from its start.
File stream_of(const std::string &text) {
  File f(std::tmpfile());
  EXPECT_TRUE(f);
  std::fwrite(text.data(), 1, text.size(), f.get());
  std::rewind(f.get());
  return f;
}

std::string take_word(FILE *f, int *status) {
  char *w = sb_read_word(f, status);
  std::string s = w ? w : "<null>";
  std::free(w);
  return s;
}

class TokenReader : public ::testing::Test {
protected:
  void SetUp() override {
    sb_set_keyword_table(test_keywords, std::size(test_keywords));
    sb_report_begin("sys.cal", nullptr);
  }
  void TearDown() override {
    sb_set_keyword_table(nullptr, 0);
    sb_report_begin(nullptr, nullptr);
  }
  MessageCapture capture;
  int status = 0;
};

TEST_F(TokenReader, CharacterClassesLeaveTheCharacterUnread) {
  struct Case {
    const char *text;
    int cls;
    int next;
  } cases[] = {
      {"  \t\n", SB_CLASS_END, '\n'}, {"\r\n", SB_CLASS_END, '\r'},   {" # c", SB_CLASS_END, '#'},
      {"-1", SB_CLASS_NUMBER, '-'},   {".5", SB_CLASS_NUMBER, '.'},   {"7", SB_CLASS_NUMBER, '7'},
      {"\tabc", SB_CLASS_WORD, 'a'},  {"[1]", SB_CLASS_BRACKET, '['}, {":", SB_CLASS_COLON, ':'},
      {"\"q\"", SB_CLASS_OTHER, '"'}, {"", SB_CLASS_END, EOF},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    File f = stream_of(c.text);
    EXPECT_EQ(sb_next_char_class(f.get(), &status), c.cls);
    EXPECT_EQ(std::getc(f.get()), c.next);
    EXPECT_EQ(status, 0);
  }
  status = ERR_EOL;
  File f = stream_of("abc");
  EXPECT_EQ(sb_next_char_class(f.get(), &status), SB_CLASS_OTHER);
  EXPECT_EQ(std::getc(f.get()), 'a');
}

TEST_F(TokenReader, WordsPunctuationAndQuotes) {
  File f = stream_of("[x] ,a:b \"two words\"\tlast\r\n");
  EXPECT_EQ(take_word(f.get(), &status), "[");
  // A bracket ends nothing inside a word.
  EXPECT_EQ(take_word(f.get(), &status), "x]");
  EXPECT_EQ(take_word(f.get(), &status), ",");
  EXPECT_EQ(take_word(f.get(), &status), "a:b");
  EXPECT_EQ(take_word(f.get(), &status), "two words");
  EXPECT_EQ(take_word(f.get(), &status), "last");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(take_word(f.get(), &status), "<null>");
  EXPECT_EQ(status, ERR_EOL);
  // The line end stays in the stream.
  EXPECT_EQ(std::getc(f.get()), '\n');
}

TEST_F(TokenReader, WordEndsAndLimits) {
  {
    File f = stream_of("abc");
    EXPECT_EQ(take_word(f.get(), &status), "abc");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(take_word(f.get(), &status), "<null>");
    EXPECT_EQ(status, ERR_EOF);
  }
  {
    status = 0;
    File f = stream_of("\"open to the end");
    EXPECT_EQ(take_word(f.get(), &status), "<null>");
    EXPECT_EQ(status, ERR_EOF);
  }
  {
    status = 0;
    File f = stream_of("\"open\nnext");
    EXPECT_EQ(take_word(f.get(), &status), "<null>");
    EXPECT_EQ(status, ERR_EOL);
  }
  {
    status = 0;
    File f = stream_of("# a comment\n");
    EXPECT_EQ(take_word(f.get(), &status), "<null>");
    EXPECT_EQ(status, ERR_EOL);
    EXPECT_EQ(std::getc(f.get()), ' ');
  }
  {
    status = 0;
    const std::string long_word(100, 'w');
    File f = stream_of(long_word + " z");
    EXPECT_EQ(take_word(f.get(), &status), std::string(81, 'w'));
    EXPECT_EQ(take_word(f.get(), &status), std::string(19, 'w'));
    EXPECT_EQ(take_word(f.get(), &status), "z");
  }
  {
    // A quoted word holds 80 characters after its quote.
    status = 0;
    File f = stream_of("\"" + std::string(85, 'q') + "\"");
    EXPECT_EQ(take_word(f.get(), &status), std::string(80, 'q'));
  }
}

TEST_F(TokenReader, CarriageReturnsOfLineEndsAndOfWords) {
  // The words read up to the first status, which ends the list as <EOL> or
  // <EOF>.
  auto words = [&](const std::string &text) {
    File f = stream_of(text);
    status = 0;
    std::string out;
    for (int i = 0; i < 10 && status == 0; ++i) {
      std::string w = take_word(f.get(), &status);
      out += (status == ERR_EOL ? "<EOL>" : status == ERR_EOF ? "<EOF>" : w) + "|";
    }
    return out;
  };
  struct Case {
    const char *text;
    const char *words;
  } cases[] = {
      // Line ends written on Windows: the return goes with the line feed.
      {"a\r\nb\r\n", "a|<EOL>|"},
      {" \r\nb", "<EOL>|"},
      {"\r\r\nb", "<EOL>|"},
      {"\"q\"\r\n", "q|<EOL>|"},
      // A return not followed by a line feed starts a word; inside a word
      // returns are dropped.
      {"\rword next\n", "\rword|next|<EOL>|"},
      {"key \rvalue\r\n", "key|\rvalue|<EOL>|"},
      {"\r\rx y", "\rx|y|<EOF>|"},
      {"\r next", "\r|next|<EOF>|"},
      {"\r", "\r|<EOF>|"},
      {"in\rside", "inside|<EOF>|"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(words(c.text), c.words) << testing::PrintToString(c.text);

  // The line feed stays for the caller; a word starting with a return is
  // no keyword.
  status = 0;
  File f = stream_of("\r\nversion\r\n\rversion\n");
  EXPECT_EQ(sb_read_keyword(f.get(), &status), SB_KW_EOL);
  EXPECT_EQ(std::getc(f.get()), '\n');
  EXPECT_EQ(sb_read_keyword(f.get(), &status), 11);
  EXPECT_EQ(sb_read_keyword(f.get(), &status), SB_KW_EOL);
  EXPECT_EQ(std::getc(f.get()), '\n');
  EXPECT_EQ(sb_read_keyword(f.get(), &status), SB_KW_UNKNOWN);
  EXPECT_EQ(status, ERR_SB_CALFILE_SYNTAX);
  EXPECT_EQ(capture.text(), "Error(s) reading system calibration file \"sys.cal\":\n"
                            "Unrecognized token \"\rversion\"\n");
}

TEST_F(TokenReader, KeywordsAndFixedCodes) {
  File f = stream_of("Version : [ CHANNEL ] ,\n");
  EXPECT_EQ(sb_read_keyword(f.get(), &status), 11);
  EXPECT_EQ(sb_read_keyword(f.get(), &status), 2);
  EXPECT_EQ(sb_read_keyword(f.get(), &status), 3);
  EXPECT_EQ(sb_read_keyword(f.get(), &status), 10);
  EXPECT_EQ(sb_read_keyword(f.get(), &status), 4);
  EXPECT_EQ(sb_read_keyword(f.get(), &status), 1);
  EXPECT_EQ(sb_read_keyword(f.get(), &status), SB_KW_EOL);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(std::getc(f.get()), '\n');
  EXPECT_EQ(sb_read_keyword(f.get(), &status), SB_KW_EOF);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(capture.text(), "");
}

TEST_F(TokenReader, UnknownWordIsReportedAndStopsTheRead) {
  File f = stream_of("Versions scale");
  EXPECT_EQ(sb_read_keyword(f.get(), &status), SB_KW_UNKNOWN);
  EXPECT_EQ(status, ERR_SB_CALFILE_SYNTAX);
  EXPECT_EQ(capture.text(),
            "Error(s) reading system calibration file \"sys.cal\":\nUnrecognized token "
            "\"Versions\"\n");
  // A set status reads nothing.
  EXPECT_EQ(sb_read_keyword(f.get(), &status), SB_KW_NONE);
  EXPECT_EQ(sb_read_int(f.get(), &status, 0, 10), 0);
  EXPECT_EQ(sb_read_real_closed(f.get(), &status, 0, 10), 0.0);
  EXPECT_EQ(take_word(f.get(), &status), "<null>");
  status = 0;
  EXPECT_EQ(sb_read_keyword(f.get(), &status), 12);
  EXPECT_EQ(sb_report_count(), 1);
}

TEST_F(TokenReader, WithoutATableNoWordIsKnown) {
  sb_set_keyword_table(nullptr, 0);
  File f = stream_of("version");
  EXPECT_EQ(sb_read_keyword(f.get(), &status), SB_KW_UNKNOWN);
}

TEST_F(TokenReader, IntegersAndTheirRange) {
  File f = stream_of("  42\n\n -7 11 x");
  EXPECT_EQ(sb_read_int(f.get(), &status, 0, 100), 42);
  EXPECT_EQ(sb_read_int(f.get(), &status, -10, 10), -7);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(sb_read_int(f.get(), &status, -10, 10), 0);
  EXPECT_EQ(status, ERR_SB_CALFILE_VALUE_RANGE);
  EXPECT_EQ(capture.text(),
            "Error(s) reading system calibration file \"sys.cal\":\n11 out of range [-10,10]\n");
  status = 0;
  EXPECT_EQ(sb_read_int(f.get(), &status, 0, 1), 0);
  EXPECT_EQ(status, ERR_SB_CALFILE_SYNTAX);
  File empty = stream_of("  \n");
  status = 0;
  EXPECT_EQ(sb_read_int(empty.get(), &status, 0, 1), 0);
  EXPECT_EQ(status, ERR_EOF);
}

// A number beyond the int range saturates; it never wraps into the range.
TEST_F(TokenReader, IntegersBeyondTheIntRangeSaturate) {
  File f = stream_of("4294967297 -4294967297 99999999999");
  EXPECT_EQ(sb_read_int(f.get(), &status, 0, 10), 0);
  EXPECT_EQ(status, ERR_SB_CALFILE_VALUE_RANGE);
  status = 0;
  EXPECT_EQ(sb_read_int(f.get(), &status, -10, 10), 0);
  EXPECT_EQ(status, ERR_SB_CALFILE_VALUE_RANGE);
  status = 0;
  EXPECT_EQ(sb_read_int(f.get(), &status, 0, INT_MAX), INT_MAX);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(capture.text(), "Error(s) reading system calibration file \"sys.cal\":\n"
                            "2147483647 out of range [0,10]\n"
                            "-2147483648 out of range [-10,10]\n");
}

TEST_F(TokenReader, RealRangeEndsOpenAndClosed) {
  struct Case {
    const char *text;
    bool closed_low, closed_high;
    double value;
    int status;
    const char *report;
  } cases[] = {
      {"0", false, true, 0.0, ERR_SB_CALFILE_VALUE_RANGE, "0 out of range (0,1]"},
      {"1", false, true, 1.0, 0, nullptr},
      {"1", true, false, 0.0, ERR_SB_CALFILE_VALUE_RANGE, "1 out of range [0,1)"},
      {"0", true, false, 0.0, 0, nullptr},
      {"0", false, false, 0.0, ERR_SB_CALFILE_VALUE_RANGE, "0 out of range (0,1)"},
      {"0.5", false, false, 0.5, 0, nullptr},
      {"1.5", true, true, 0.0, ERR_SB_CALFILE_VALUE_RANGE, "1.5 out of range [0,1]"},
      {"nan", true, true, 0.0, ERR_SB_CALFILE_VALUE_RANGE, "nan out of range [0,1]"},
      {"x", true, true, 0.0, ERR_SB_CALFILE_SYNTAX, nullptr},
      {"", true, true, 0.0, ERR_EOF, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    sb_report_begin(nullptr, nullptr);
    capture.clear();
    status = 0;
    File f = stream_of(c.text);
    EXPECT_EQ(sb_read_real(f.get(), &status, 0, 1, c.closed_low, c.closed_high), c.value);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(capture.text(), c.report ? "Error(s) reading system calibration info:\n" +
                                             std::string(c.report) + "\n"
                                       : std::string());
  }
}

TEST_F(TokenReader, ReportHeadingOncePerRead) {
  sb_report_begin(nullptr, "instrument EEPROM");
  sb_report("first %d", 1);
  sb_report("second");
  EXPECT_EQ(sb_report_count(), 2);
  EXPECT_EQ(capture.calls(),
            (std::vector<std::string>{"Error(s) reading system calibration info\n\"instrument "
                                      "EEPROM\":\nfirst 1\n",
                                      "second\n"}));
  sb_report_begin("a.cal", "ignored when a file is read");
  EXPECT_EQ(sb_report_count(), 0);
  capture.clear();
  sb_report("x");
  EXPECT_EQ(capture.text(), "Error(s) reading system calibration file \"a.cal\":\nx\n");
}

} // namespace

namespace {

// Random streams through every reader: each call returns, and a loop that
// keeps clearing the status reaches the end of the stream.
TEST(TokenReaderFuzz, RandomStreams) {
  sb_set_keyword_table(test_keywords, std::size(test_keywords));
  sb_report_begin(nullptr, nullptr);
  MessageCapture quiet;
  std::mt19937 rng(99);
  const std::string alphabet = " \t\n\r#,:[]\"-.0123456789eEaAxVersionchannel";
  for (int i = 0; i < 500; ++i) {
    std::string text;
    int len = std::uniform_int_distribution<int>(0, 300)(rng);
    for (int k = 0; k < len; ++k)
      text += rng() % 8 == 0 ? char(rng() % 256) : alphabet[rng() % alphabet.size()];
    File f = stream_of(text);
    int status = 0;
    int calls = 0;
    while (calls < 5000) {
      ++calls;
      switch (rng() % 5) {
      case 0:
        sb_next_char_class(f.get(), &status);
        break;
      case 1:
        std::free(sb_read_word(f.get(), &status));
        break;
      case 2:
        sb_read_keyword(f.get(), &status);
        break;
      case 3:
        sb_read_int(f.get(), &status, -100, 100);
        break;
      case 4:
        sb_read_real(f.get(), &status, -1, 1, rng() % 2, rng() % 2);
        break;
      }
      if (status == ERR_EOF || std::feof(f.get()))
        break;
      if (status) {
        status = 0;
        std::getc(f.get()); // step over what stopped the reader
      }
    }
    EXPECT_LT(calls, 5000) << text;
  }
  sb_set_keyword_table(nullptr, 0);
}

} // namespace
