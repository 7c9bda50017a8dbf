#include <gtest/gtest.h>

#include <string>

#include "platform/OdbcHandles.h"
#include "platform/SqlText.h"

namespace {

TEST(SchemaPrefixTest, OnlyIdentifiersOrTwoJoinedByADot) {
    for (const char* good : {"", "ext", "fd_2", "_x", "windpower.ext", "A1.b2"}) {
        EXPECT_TRUE(IsSchemaPrefix(good)) << good;
    }
    for (const char* bad : {"1ext", "ext.", ".ext", "a.b.c", "a b", "ext;", "ext--", "a.\"b\"",
                            "中文", "inj.FD_RUN_RTTOWER WHERE 1=0; DROP TABLE x; --"}) {
        EXPECT_FALSE(IsSchemaPrefix(bad)) << bad;
    }
}

TEST(LogTextTest, LongStatementsAreCutAtACharacterWithTheirLength) {
    EXPECT_EQ(Odbc::LogText("SELECT 1"), "SELECT 1");
    EXPECT_EQ(Odbc::LogText(std::string(2000, 'x')), std::string(2000, 'x'));
    const std::string cut = Odbc::LogText(std::string(1999, 'x') + "中中");
    EXPECT_EQ(cut.substr(0, 2000), std::string(1999, 'x') + "…"[0]) << "no half character";
    EXPECT_NE(cut.find("2005 characters"), std::string::npos) << cut;
}

TEST(ParseDBTimeTest, DriverTextsAndBrokenOnes) {
    EXPECT_EQ(ParseDBTime("2009-03-12 14:00:00.000"), DateTime(2009, 3, 12, 14, 0, 0));
    EXPECT_EQ(ParseDBTime("2009-03-12 14:10:05"), DateTime(2009, 3, 12, 14, 10, 5));
    // Every year a date-time holds, not only 2000 to 2030.
    EXPECT_EQ(ParseDBTime("1999-01-01 00:00:00"), DateTime(1999, 1, 1, 0, 0, 0));
    EXPECT_EQ(ParseDBTime("2031-06-30 23:59:59"), DateTime(2031, 6, 30, 23, 59, 59));
    for (const char* broken :
         {"", "20090312 14:00:00", "2009-03-12T14:00:00", "2009-13-01 00:00:00",
          "2009-00-10 00:00:00", "2009-02-29 00:00:00", "2009-04-31 00:00:00",
          "2009-03-12 24:00:00", "2009-03-12 14:60:00", "2009-03-12 14:00:60", "-03-12 14:00:00",
          "2009-03-12 14:00", "2009-03-12 14:00:", "abcd-ef-gh ij:kl:mn"}) {
        EXPECT_FALSE(ParseDBTime(broken).IsValid()) << broken;
    }
    EXPECT_TRUE(ParseDBTime("2008-02-29 00:00:00").IsValid());
}

}  // namespace
