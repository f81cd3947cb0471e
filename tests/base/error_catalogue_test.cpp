#include <gtest/gtest.h>

#include <set>
#include <string>

#include "base/errors.h"
#include "support/test_support.h"

namespace {

TEST(ErrorCatalogue, LookupGivesNamesAndFallbacks) {
  EXPECT_STREQ(u_error_name(0), "NO_ERROR");
  EXPECT_STREQ(u_error_name(1), "ERR_AC_CANT_AGC");
  EXPECT_STREQ(u_error_name(27), "ERR_ALL_BAD_DATA");
  EXPECT_STREQ(u_error_name(131), "ERR_CHIRP_NO_VAL_CAL_PIXELS");
  EXPECT_STREQ(u_error_name(320), "ERR_NO_MEM");
  EXPECT_STREQ(u_error_name(328), "ERR_NOT_A_DATA_FILE");
  EXPECT_STREQ(u_error_name(462), "ERR_ZOOM_TIMEOUT");
  EXPECT_STREQ(u_error_name(463), "invalid error number 463");
  EXPECT_STREQ(u_error_name(-1), "invalid error number -1");
}

TEST(ErrorCatalogue, ConstantsMatchTheirNumbers) {
  EXPECT_EQ(ERR_CANT_CREATE_FILE, 116);
  EXPECT_EQ(ERR_CANT_OPEN_FILE, 120);
  EXPECT_EQ(ERR_CANT_WRITE_FILE, 125);
  EXPECT_EQ(ERR_CORRUPT_DATA_FILE, 134);
  EXPECT_EQ(ERR_INVALID_PARAM, 242);
  EXPECT_EQ(ERR_NO_MEM, 320);
  EXPECT_EQ(ERR_PARAM_OUT_OF_RANGE, 333);
  EXPECT_EQ(ERR_PREMATURE_EOF, 353);
  EXPECT_EQ(ERR_FERNHALL_ABORTED, 308);
  EXPECT_EQ(ERR_SERIAL_NOT_OPEN, 396);
}

TEST(ErrorCatalogue, EveryCodeHasItsOwnName) {
  std::set<std::string> names;
  for (int code = 1; code <= 462; ++code) {
    std::string name = u_error_name(code);
    EXPECT_EQ(name.rfind("ERR_", 0), 0u) << code;
    EXPECT_LE(name.size(), 45u) << code;
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 462u);
}

TEST(ErrorCatalogue, LookupsShareOneBuffer) {
  const char *first = u_error_name(1);
  const char *second = u_error_name_alias(2);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, "ERR_AC_CANT_CALIBRATE");
}

TEST(ErrorCatalogue, ReportPrintsNameAndLineEndExceptForSuccess) {
  ferry::test::MessageCapture capture;
  u_error_report(0);
  EXPECT_EQ(capture.text(), "");
  u_error_report(320);
  EXPECT_EQ(capture.text(), "ERR_NO_MEM\n");
  u_error_exit(0); // returns
  EXPECT_EQ(capture.text(), "ERR_NO_MEM\n");
}

TEST(ErrorCatalogueDeathTest, ExitReportsAndEndsWithStatusOne) {
  EXPECT_EXIT(u_error_exit(320), ::testing::ExitedWithCode(1), "ERR_NO_MEM\n");
}

} // namespace
