#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/OdbcQuery.h"
#include "tests/support/TestHost.h"

namespace {

class OdbcQueryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_connection.DriverConnect(Odbc::SqliteConnectionString(m_host.Path("q.db")),
                                               kLoginSeconds))
            << m_connection.LastError();
        for (const char* sql :
             {"CREATE TABLE T (N INT, S VARCHAR(10))", "INSERT INTO T VALUES (1, 'a')",
              "INSERT INTO T VALUES (2, NULL)", "INSERT INTO T VALUES (3, 'c')"}) {
            ASSERT_TRUE(Odbc::Succeeded(Odbc::ExecDirect(m_connection.Get(), sql))) << sql;
        }
    }
    SQLHDBC Db() const { return m_connection.Get(); }

    static constexpr int kLoginSeconds = 5;
    TestHost m_host{false};
    OdbcConnection m_connection;
};

TEST_F(OdbcQueryTest, TypedReadsOfOneColumn) {
    const std::string longText = std::string(1500, 'x') + "中" + std::string(600, 'y');
    struct Case {
        std::string expression;
        std::string text;
        std::optional<int> whole;
        std::optional<double> number;
    };
    const Case cases[] = {
        {"NULL", "", std::nullopt, std::nullopt},
        {"''", "", std::nullopt, std::nullopt},
        {"42", "42", 42, 42.0},
        {"'-7'", "-7", -7, -7.0},
        {"'5x'", "5x", std::nullopt, 5.0},
        {"'99999999999'", "99999999999", std::nullopt, 99999999999.0},
        {"5.3", "5.3", std::nullopt, 5.3},
        {"'abc'", "abc", std::nullopt, std::nullopt},
        // Longer than any one read of the driver: arrives whole.
        {"'" + longText + "'", longText, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::string sql = "SELECT " + c.expression;
        std::optional<std::string> text;
        std::optional<int> whole;
        std::optional<double> number;
        Odbc::Query(Db(), sql, [&](const OdbcRow& row) { text = row.Text(1); });
        Odbc::Query(Db(), sql, [&](const OdbcRow& row) { whole = row.Int(1); });
        Odbc::Query(Db(), sql, [&](const OdbcRow& row) { number = row.Number(1); });
        EXPECT_EQ(text, c.text) << sql.substr(0, 40);
        EXPECT_EQ(whole, c.whole) << sql.substr(0, 40);
        EXPECT_EQ(number, c.number) << sql.substr(0, 40);
    }
}

TEST_F(OdbcQueryTest, RowsWalkedInOrderAndFailuresVisitNothing) {
    std::vector<std::string> seen;
    const auto collect = [&](const OdbcRow& row) {
        const std::string n = row.Text(1);
        seen.push_back(n + ":" + row.Text(2));
    };
    EXPECT_EQ(Odbc::Query(Db(), "SELECT N, S FROM T ORDER BY N", collect), SQL_SUCCESS);
    EXPECT_EQ(seen, (std::vector<std::string>{"1:a", "2:", "3:c"}));
    seen.clear();
    EXPECT_EQ(Odbc::Query(Db(), "SELECT N FROM NO_SUCH_TABLE", collect), SQL_ERROR);
    EXPECT_EQ(Odbc::Query(nullptr, "SELECT 1", collect), SQL_ERROR);
    EXPECT_TRUE(seen.empty());

    EXPECT_EQ(Odbc::QueryText(Db(), "SELECT S FROM T WHERE N=3"), "c");
    EXPECT_EQ(Odbc::QueryText(Db(), "SELECT S FROM T WHERE N=2"), "") << "NULL is a row";
    EXPECT_EQ(Odbc::QueryText(Db(), "SELECT S FROM T WHERE N=9"), std::nullopt);
    EXPECT_EQ(Odbc::QueryText(Db(), "SELECT S FROM NO_SUCH_TABLE"), std::nullopt);
}

}  // namespace
