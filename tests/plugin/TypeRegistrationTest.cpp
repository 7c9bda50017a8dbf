#include <gtest/gtest.h>

#include "hostlib/HostStatement.h"
#include "hostlib/VktBase.h"
#include "platform/OdbcQuery.h"
#include "plugin/TypeRegistration.h"
#include "tests/support/TestHost.h"

namespace {

// Rows of a host table in the order they were saved.
std::vector<std::string> Column(const std::string& sql) {
    std::vector<std::string> values;
    HostStatement hstmt;
    if (hstmt) {
        Odbc::QueryOn(hstmt.Get(), sql, [&](const OdbcRow& row) { values.push_back(row.Text(1)); });
    }
    return values;
}

std::vector<std::string> SavedIDs() {
    return Column("SELECT ID FROM DATATYPE ORDER BY rowid");
}

TEST(TypeRegistrationTest, FirstStartRegistersEverythingInTableOrderSecondStartNothing) {
    TestHost host;
    RegisterMissingTypes();
    EXPECT_EQ(Column("SELECT ID || ' ' || NAME FROM RTUTYPE"),
              (std::vector<std::string>{"100 风电站"}));
    const std::vector<std::string> ids = SavedIDs();
    ASSERT_EQ(ids.size(), 110u);
    EXPECT_EQ(
        std::vector<std::string>(ids.begin(), ids.begin() + 8),
        (std::vector<std::string>{"7000", "7001", "7002", "7003", "7004", "7005", "7006", "7100"}));
    EXPECT_EQ(ids[62], "9306");
    EXPECT_EQ(std::vector<std::string>(ids.begin() + 63, ids.begin() + 68),
              (std::vector<std::string>{"8000", "8100", "8200", "8300", "2000"}));
    EXPECT_EQ(ids[68], "7500");
    EXPECT_EQ(ids[102], "7906");
    EXPECT_EQ(std::vector<std::string>(ids.begin() + 103, ids.end()),
              (std::vector<std::string>{"2900", "2901", "2902", "2903", "2904", "2905", "3000"}));

    auto speed = GetDataType(7003);
    ASSERT_TRUE(speed);
    EXPECT_EQ(speed->m_strName, "4层10分钟平均风速");
    EXPECT_EQ(speed->m_strUnit, "m/s");
    EXPECT_EQ(speed->m_nCategory, 5);
    EXPECT_EQ(speed->m_strCategory, "风速");
    auto direction = GetDataType(9306);
    EXPECT_EQ(direction->m_strName, "7层小时极大风向");
    EXPECT_EQ(direction->m_strUnit, "°");
    EXPECT_EQ(GetDataType(2000)->m_strUnit, "%");
    EXPECT_EQ(GetDataType(2905)->m_strUnit, "℃");
    EXPECT_EQ(GetDataType(3000)->m_strCategory, "时间");
    EXPECT_EQ(GetDataType(8300)->m_nCategory, 24);

    const std::string lastRow = Column("SELECT MAX(rowid) FROM DATATYPE").at(0);
    RegisterMissingTypes();
    EXPECT_EQ(Column("SELECT MAX(rowid) FROM DATATYPE").at(0), lastRow);
    EXPECT_EQ(SavedIDs().size(), 110u);
}

TEST(TypeRegistrationTest, AGroupStandsOrFallsByItsProbe) {
    TestHost host;
    // 7100 present, 7000 missing: group 1 is not completed.
    ExecSQLStr("INSERT INTO DATATYPE (ID,NAME,UNIT,CATID,CATNAME) VALUES (7100,'x','°',4,'风向')");
    // 2900 present, 2902 missing: all of group 3 is saved again, 2900 included.
    ExecSQLStr(
        "INSERT INTO DATATYPE (ID,NAME,UNIT,CATID,CATNAME) VALUES (2900,'old','w',29,'辐射')");
    RegisterMissingTypes();
    EXPECT_FALSE(GetDataType(7000));
    EXPECT_EQ(GetDataType(7100)->m_strName, "x");
    EXPECT_TRUE(GetDataType(7500));
    EXPECT_EQ(GetDataType(2900)->m_strName, "直接辐射");
    EXPECT_EQ(SavedIDs().size(), 1u + 35u + 7u);
}

}  // namespace
