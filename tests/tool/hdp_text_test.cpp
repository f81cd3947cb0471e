// The date parser and the in-place text helpers of the HDP reader.

#include <gtest/gtest.h>

#include <string>

#include "tool/hdp_reader.h"

namespace {

// Test runs set TZ=UTC, so local time is UTC here.
TEST(HdpDate, ValidDates) {
  EXPECT_EQ(parse_hdp_date("29-FEB-2000/00:00:00"), 951782400);
  EXPECT_EQ(parse_hdp_date("29-FEB-2004/12:00:00"), 1078056000);
  EXPECT_EQ(parse_hdp_date("05-JAN-2005/13:45:00"), 1104932700);
  EXPECT_EQ(parse_hdp_date("1-jan-2005/23:59:59"), 1104623999);
  EXPECT_EQ(parse_hdp_date("1-Jan-2005/23:59:59"), 1104623999);
}

TEST(HdpDate, OutOfRangeFieldsFail) {
  for (const char *text : {"29-FEB-1900/00:00:00", "29-FEB-2100/00:00:00", "29-FEB-2005/00:00:00",
                           "31-APR-2005/10:00:00", "31-JUN-2005/10:00:00", "32-JAN-2005/10:00:00",
                           "0-JAN-2005/10:00:00", "15-JAN-1899/10:00:00", "15-JAN-2005/24:00:00",
                           "15-JAN-2005/-1:00:00", "15-JAN-2005/10:60:00", "15-JAN-2005/10:00:60",
                           "15-JAN-2005/10:00:-1"})
    EXPECT_EQ(parse_hdp_date(text), -1) << text;
}

TEST(HdpDate, MalformedTextsFail) {
  for (const char *text :
       {"", "15", "15-JAN", "15-JAN-2005", "15-JAN-2005/10", "15-JAN-2005/10:00",
        "15-JANUARY-2005/1:0:0", "15-JA-2005/10:00:00", "xx-JAN-2005/10:00:00",
        "15-JAN-yyyy/10:00:00", "15-JAN-2005/hh:00:00", "15-JAN-2005/10:mm:00",
        "15-JAN-2005/10:00:ss", "15-JAN-2005/10:00:", "15-JAN-2005 10:00:00", "-----"})
    EXPECT_EQ(parse_hdp_date(text), -1) << text;
  EXPECT_EQ(parse_hdp_date(nullptr), -1);
}

TEST(HdpDate, NumbersAreReadLikeStrtol) {
  // Leading white space and a plus sign are allowed, trailing junk ignored.
  EXPECT_EQ(parse_hdp_date(" 5-JAN-2005/13:45:00"), 1104932700);
  EXPECT_EQ(parse_hdp_date("+5-JAN-2005/13:45:0x"), 1104932700);
  EXPECT_EQ(parse_hdp_date("5x-JAN-2005/13z:45:0"), 1104932700);
  EXPECT_EQ(parse_hdp_date("99999999999-JAN-2005"), -1);
  EXPECT_EQ(parse_hdp_date("5-JAN-2005/99999999999"), -1);
}

TEST(HdpDate, DelimiterRunsCountAsOne) {
  EXPECT_EQ(parse_hdp_date("-5--JAN-2005/1:2:3"), 1104886923);
  // A leading minus is a delimiter, not a sign.
  EXPECT_EQ(parse_hdp_date("-1-JAN-2005/10:00:00"), 1104573600);
  EXPECT_EQ(parse_hdp_date("--5--JAN-2005/13:45"), -1); // no seconds
  EXPECT_EQ(parse_hdp_date("5-JAN-2005/13::45:0"), 1104932700);
}

TEST(HdpDate, OnlyTheFirstTwentyCharactersCount) {
  EXPECT_EQ(parse_hdp_date("15-JAN-2005/10:00:59"), 1105783259);
  // Cut after "...:5": five seconds.
  EXPECT_EQ(parse_hdp_date("015-JAN-2005/10:00:59"), 1105783205);
  EXPECT_EQ(parse_hdp_date("0015-JAN-2005/10:00:59"), -1);
}

TEST(HdpDate, TextIsLeftUnchanged) {
  char text[] = "5-jan-2005/13:45:00";
  EXPECT_EQ(parse_hdp_date(text), 1104932700);
  EXPECT_STREQ(text, "5-jan-2005/13:45:00");
}

TEST(HdpText, CleanPrintableBlanksEverythingOutsideAscii) {
  char text[] = "a\tb\x1F"
                "c\x7F"
                "d\x80\xFF~ ";
  clean_printable(text);
  EXPECT_STREQ(text, "a b c d  ~ ");
}

TEST(HdpText, TrimBlanksRemovesOnlyBlanksTabsAndNewlines) {
  struct Case {
    std::string in, out;
    int removed;
  };
  for (const Case &c :
       {Case{"\t abc \n", "abc", 4}, Case{"abc", "abc", 0}, Case{"", "", 0}, Case{"  \t\n ", "", 5},
        Case{"\rab\r", "\rab\r", 0}, Case{" a b ", "a b", 2}, Case{"\va\f", "\va\f", 0}}) {
    std::string buffer = c.in;
    buffer.push_back('\0');
    buffer.push_back('Z'); // must stay untouched past the NUL
    int removed = trim_blanks(buffer.data());
    EXPECT_STREQ(buffer.c_str(), c.out.c_str()) << c.in;
    EXPECT_EQ(removed, c.removed) << c.in;
    EXPECT_EQ(buffer.back(), 'Z');
  }
}

TEST(HdpText, ToUpperText) {
  char text[] = "jan Feb 1-z\xE9";
  to_upper_text(text);
  EXPECT_STREQ(text, "JAN FEB 1-Z\xE9");
}

TEST(HdpText, AMissingTextIsLeftAlone) {
  clean_printable(nullptr);
  to_upper_text(nullptr);
  EXPECT_EQ(trim_blanks(nullptr), 0);
  EXPECT_EQ(parse_hdp_date(nullptr), -1);
}

} // namespace
