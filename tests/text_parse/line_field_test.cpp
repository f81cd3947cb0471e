#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "base/text_parse.h"
#include "support/test_support.h"

namespace {

using ferry::test::FailingAllocator;
using ferry::test::MessageCapture;

struct IntCase {
  const char *text;
  int minimum, maximum;
  bool ok;
  int value;
  const char *message;
};

TEST(IntField, ConvertsChecksAndExplains) {
  const IntCase cases[] = {
      {"12", 0, 10, false, INT_MAX,
       "Number out of range.\nExpected 'grab mode' an integer value in the range [0,10]\n"},
      {"7", 0, 10, true, 7, ""},
      {"12abc", 0, 100, false, INT_MAX,
       "Extra characters after number.\nExpected 'grab mode' an integer value in the range "
       "[0,100]\n"},
      // strtol stops after the 0 of a hexadecimal prefix.
      {"0x10", 0, 100, false, INT_MAX,
       "Extra characters after number.\nExpected 'grab mode' an integer value in the range "
       "[0,100]\n"},
      {"abc", 5, INT_MAX, false, INT_MAX,
       "Not a number.\nExpected 'grab mode' an integer value greater than or equal to 5\n"},
      {"4", 5, INT_MAX, false, INT_MAX,
       "Number out of range.\nExpected 'grab mode' an integer value greater than or equal to 5\n"},
      {"-2147483648", INT_MIN, INT_MAX, true, INT_MIN, ""},
      // Overflow is not detected: the saturated value is the number.
      {"99999999999", 0, INT_MAX, true, INT_MAX, ""},
      {"-99999999999", INT_MIN, 0, true, INT_MIN, ""},
      {"11", INT_MIN, 10, false, INT_MAX,
       "Number out of range.\nExpected 'grab mode' an integer value less than or equal to 10\n"},
  };
  for (const IntCase &c : cases) {
    SCOPED_TRACE(c.text);
    char line[64];
    std::snprintf(line, sizeof line, " %s\t", c.text);
    char msg[U_PARSE_MSG_SIZE] = "stale";
    int v = -5;
    EXPECT_EQ(u_parse_int_field(line, nullptr, "grab mode", c.minimum, c.maximum, msg, &v), c.ok);
    EXPECT_EQ(v, c.value);
    EXPECT_STREQ(msg, c.message);
  }
}

TEST(IntField, MissingTokenLabelsAndBufferlessCalls) {
  char line[] = "   ";
  char msg[U_PARSE_MSG_SIZE];
  int v = 0;
  EXPECT_FALSE(u_parse_int_field(line, nullptr, "", INT_MIN, INT_MAX, msg, &v));
  // An empty label counts as none; the unbounded range still names its max.
  EXPECT_STREQ(msg,
               "Missing number.\nExpected an integer value less than or equal to 2147483647\n");

  char line2[] = "x";
  const std::string long_label(60, 'L');
  EXPECT_FALSE(u_parse_int_field(line2, nullptr, long_label.c_str(), 1, 2, msg, &v));
  EXPECT_EQ(std::string(msg), "Not a number.\nExpected '" + std::string(40, 'L') +
                                  "' an integer value in the range [1,2]\n");

  char line3[] = "9";
  EXPECT_FALSE(u_parse_int_field(line3, nullptr, "n", 0, 1, nullptr, &v));
  EXPECT_EQ(v, INT_MAX);
}

TEST(IntField, CustomDelimitersAndTokenSequence) {
  char line[] = "3,4;5";
  int a = 0, b = 0, c = 0;
  EXPECT_TRUE(u_parse_int_field(line, ",;", nullptr, INT_MIN, INT_MAX, nullptr, &a));
  EXPECT_TRUE(u_parse_int_field(nullptr, ",;", nullptr, INT_MIN, INT_MAX, nullptr, &b));
  EXPECT_TRUE(u_parse_int_field(nullptr, ",;", nullptr, INT_MIN, INT_MAX, nullptr, &c));
  EXPECT_EQ(a * 100 + b * 10 + c, 345);
}

TEST(Fields, WithoutAPlaceForTheValueNoTokenIsTaken) {
  char line[] = "7 8 abc 9";
  int v = 0;
  char msg[U_PARSE_MSG_SIZE] = "stale";
  ASSERT_TRUE(u_parse_int_field(line, nullptr, nullptr, 0, 100, msg, &v));
  EXPECT_EQ(v, 7);
  EXPECT_FALSE(u_parse_int_field(nullptr, nullptr, nullptr, 0, 100, msg, nullptr));
  EXPECT_STREQ(msg, "");
  EXPECT_FALSE(u_parse_real_field(nullptr, nullptr, nullptr, 0, 100, msg, nullptr));
  char text[4];
  EXPECT_FALSE(u_parse_string_field(nullptr, nullptr, nullptr, 1, msg, text));
  EXPECT_FALSE(u_parse_string_field(nullptr, nullptr, nullptr, 10, msg, nullptr));
  ASSERT_TRUE(u_parse_int_field(nullptr, nullptr, nullptr, 0, 100, msg, &v));
  EXPECT_EQ(v, 8);
  char word[11];
  ASSERT_TRUE(u_parse_string_field(nullptr, nullptr, nullptr, 10, msg, word));
  EXPECT_STREQ(word, "abc");
  double d = 0;
  ASSERT_TRUE(u_parse_real_field(nullptr, nullptr, nullptr, 0, 100, msg, &d));
  EXPECT_EQ(d, 9.0);
}

TEST(RealField, RangesAndMessages) {
  const double inf = INFINITY;
  struct Case {
    const char *text;
    double minimum, maximum;
    bool ok;
    const char *message;
  } cases[] = {
      {"500", 0, 500, true, ""},
      {"500.1", 0, 500, false,
       "Number out of range.\nExpected 'scale factor' a floating point value in the range "
       "[0,500]\n"},
      {"-1e300", -inf, inf, true, ""},
      {"2.5", -inf, 2, false,
       "Number out of range.\nExpected 'scale factor' a floating point value less than or equal "
       "to 2\n"},
      {"0.25", 0.5, inf, false,
       "Number out of range.\nExpected 'scale factor' a floating point value greater than or "
       "equal to 0.5\n"},
      {"1.5x", 0, 2, false,
       "Extra characters after number.\nExpected 'scale factor' a floating point value in the "
       "range [0,2]\n"},
      {"x1", 0, 2, false,
       "Not a number.\nExpected 'scale factor' a floating point value in the range [0,2]\n"},
      // A NaN is never inside a bounded range.
      {"nan", 0, 2, false,
       "Number out of range.\nExpected 'scale factor' a floating point value in the range "
       "[0,2]\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    char line[32];
    std::snprintf(line, sizeof line, "%s", c.text);
    char msg[U_PARSE_MSG_SIZE];
    double v = 0;
    EXPECT_EQ(u_parse_real_field(line, nullptr, "scale factor", c.minimum, c.maximum, msg, &v),
              c.ok);
    EXPECT_STREQ(msg, c.message);
    if (c.ok)
      EXPECT_EQ(v, std::strtod(c.text, nullptr));
    else
      EXPECT_EQ(v, inf);
  }
  char empty[] = "";
  char msg[U_PARSE_MSG_SIZE];
  double v = 0;
  EXPECT_FALSE(u_parse_real_field(empty, nullptr, nullptr, -inf, inf, msg, &v));
  EXPECT_STREQ(msg, "Missing number.\nExpected a floating point value less than or equal to inf\n");
}

TEST(StringField, MaximumLengthAndMessages) {
  char line[] = "abcdefghij abcdefghijk";
  char text[11] = "stale";
  char msg[U_PARSE_STRING_MSG_SIZE];
  EXPECT_TRUE(u_parse_string_field(line, nullptr, "name", 10, msg, text));
  EXPECT_STREQ(text, "abcdefghij");
  EXPECT_STREQ(msg, "");
  EXPECT_FALSE(u_parse_string_field(nullptr, nullptr, "name", 10, msg, text));
  EXPECT_STREQ(text, "");
  EXPECT_STREQ(msg, "String longer than maximum of 10 characters.\nExpected name, a string of up "
                    "to 10 characters\n");
  EXPECT_FALSE(u_parse_string_field(nullptr, nullptr, "", 10, msg, text));
  EXPECT_STREQ(msg, "Missing string.\nExpected a string of up to 10 characters\n");
  char line2[] = "x";
  EXPECT_FALSE(u_parse_string_field(line2, nullptr, nullptr, 1, msg, text));
}

TEST(Squeeze, RemovesBlanksOutsideQuotesOnly) {
  char text[] = " a b\t c \"x  y\" d\n";
  EXPECT_EQ(u_squeeze_blanks(text), 7);
  EXPECT_STREQ(text, "abc\"x  y\"d");
  char none[] = "abc";
  EXPECT_EQ(u_squeeze_blanks(none), 0);
  EXPECT_EQ(u_squeeze_blanks(nullptr), 0);
}

TEST(Strxcmp, NormalisesColonsCaseAndBlanks) {
  EXPECT_EQ(strxcmp("version :", "Version"), 0);
  EXPECT_EQ(strxcmp("Channel:", "Channel"), 0);
  EXPECT_EQ(strxcmp("  chAN nel ", "CHANNEL"), 0);
  EXPECT_NE(strxcmp("\"a b\"", "\"ab\""), 0);
  EXPECT_EQ(strxcmp("\"a b\"", "\"a b\""), 0);
  // Colons count as blanks only in the text read from the file.
  EXPECT_NE(strxcmp("Version", "Version:"), 0);
  EXPECT_EQ(strxcmp("abc", "abd"), -1);
  EXPECT_EQ(strxcmp("abd", "abc"), 1);
  EXPECT_EQ(strxcmp("ab", "abc"), -1);
  // Bytes above 127 compare as unsigned characters.
  EXPECT_EQ(strxcmp("\xe9", "a"), 1);
}

TEST(Strxcmp, OutOfMemoryCountsAsEqualAfterAMessage) {
  for (int n = 1; n <= 2; ++n) {
    SCOPED_TRACE(n);
    FailingAllocator alloc;
    MessageCapture capture;
    alloc.fail_at(n);
    EXPECT_EQ(strxcmp("abc", "xyz"), 0);
    EXPECT_EQ(capture.text(), "strxcmp: out of memory\n");
    EXPECT_EQ(alloc.live_blocks(), 0);
  }
  FailingAllocator alloc;
  EXPECT_EQ(strxcmp("abc", "xyz"), -1);
  EXPECT_EQ(alloc.live_blocks(), 0);
}

} // namespace
