#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <mutex>

#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "model/Catalogue.h"
#include "platform/ErrorLog.h"
#include "platform/OdbcQuery.h"
#include "storage/AssignmentStore.h"
#include "storage/BackendDB.h"
#include "storage/BackendWriter.h"
#include "storage/BackendWriterThread.h"
#include "storage/WPStores.h"
#include "tests/support/BackendProductTest.h"
#include "tests/support/TestHost.h"
#include "tests/support/TowerData.h"

namespace {

class BackendWriterTest : public BackendProductTest {
protected:
    void SetUp() override {
        BackendProductTest::SetUp();
        if (IsSkipped()) return;
        Backend().SetStatementObserver([this](const std::string& sql) {
            std::lock_guard<std::mutex> guard(lock);
            sent.push_back(sql);
        });
    }

    void UseSettings(const std::string& prefix, bool saveAbnormal, int type) {
        Use([&](CWPSettings& settings) {
            settings.m_strPreName = prefix;
            settings.m_bSaveErrorData = saveAbnormal;
            settings.m_nType = type;
        });
    }

    std::vector<std::string> TakeSent() {
        std::lock_guard<std::mutex> guard(lock);
        return std::exchange(sent, {});
    }

    // The stored value of a column, as text; empty for NULL, "<none>" without a row.
    std::string Stored(const std::string& table, const std::string& column, int tower,
                       const DateTime& time) {
        RecursiveMutexLock guard(Backend().BackendLock());
        OdbcStatement stmt = Backend().GetBackendStmt();
        SQLHSTMT hstmt = stmt.Get();
        if (!hstmt) return "<no connection>";
        const std::string sql = "SELECT " + column + " FROM " + table +
                                " WHERE TOWERID=" + std::to_string(tower) + " AND TIME={ts '" +
                                time.Format() + "'}";
        if (!Odbc::Succeeded(Odbc::ExecOn(hstmt, sql)) || !Odbc::FetchRow(hstmt)) return "<none>";
        return OdbcRow(hstmt).Text(1);
    }
    double StoredNumber(const std::string& table, const std::string& column, int tower,
                        const DateTime& time) {
        const std::string text = Stored(table, column, tower, time);
        return text.empty() || text[0] == '<' ? NAN : std::stod(text);
    }
    long Rows(const std::string& table) {
        RecursiveMutexLock guard(Backend().BackendLock());
        OdbcStatement stmt = Backend().GetBackendStmt();
        SQLHSTMT hstmt = stmt.Get();
        if (!hstmt || !Odbc::Succeeded(Odbc::ExecOn(hstmt, "SELECT COUNT(*) FROM " + table)) ||
            !Odbc::FetchRow(hstmt)) {
            return -1;
        }
        return std::stol(OdbcRow(hstmt).Text(1));
    }

    // Every row of a three-column query, a line each.
    std::string Dump(const std::string& sql) {
        RecursiveMutexLock guard(Backend().BackendLock());
        OdbcStatement stmt = Backend().GetBackendStmt();
        if (!stmt || !Odbc::Succeeded(Odbc::ExecOn(stmt.Get(), sql))) return "<error>";
        std::string text;
        Odbc::ForEachRow(stmt.Get(), [&](const OdbcRow& row) {
            text += row.Text(1) + " " + row.Text(2) + " " + row.Text(3) + "\n";
        });
        return text;
    }

    std::vector<std::string> sent;  // guarded by lock
};

TEST_P(BackendWriterTest, TheWorkedExampleIsInsertedThenUpdated) {
    StoreCounterSampleAt14(10.0f);
    const CDataFrame record =
        FrameOf(12, k15, {Item(7000, 5.3f, k15), Item(100, 12.5f, k15)});
    TEST_SaveRTTower(stores->BackendTarget(), record);
    EXPECT_EQ(TakeSent(),
              (std::vector<std::string>{
                  "SELECT TOWERID,TIME FROM FD_RUN_RTTOWER WHERE TOWERID = 12 AND TIME = {ts "
                  "'2009-03-12 15:00:00'}",
                  "INSERT INTO FD_RUN_RTTOWER(TOWERID,TIME,V1AVGSP,CYCLE,RAIN) VALUES(12,{ts "
                  "'2009-03-12 15:00:00'},5.3,12.5,2.5)"}));
    EXPECT_DOUBLE_EQ(StoredNumber("FD_RUN_RTTOWER", "RAIN", 12, k15), 2.5);
    EXPECT_NEAR(StoredNumber("FD_RUN_RTTOWER", "V1AVGSP", 12, k15), 5.3, 1e-6);
    EXPECT_DOUBLE_EQ(StoredNumber("FD_RUN_RTTOWER", "CYCLE", 12, k15), 12.5);
    TakeSent();

    TEST_SaveRTTower(stores->BackendTarget(), record);
    EXPECT_EQ(TakeSent(),
              (std::vector<std::string>{
                  "SELECT TOWERID,TIME FROM FD_RUN_RTTOWER WHERE TOWERID = 12 AND TIME = {ts "
                  "'2009-03-12 15:00:00'}",
                  "UPDATE FD_RUN_RTTOWER SET V1AVGSP=5.3,CYCLE=12.5,RAIN=2.5 WHERE TOWERID=12 AND "
                  "TIME={ts '2009-03-12 15:00:00'}"}));
    EXPECT_EQ(Rows("FD_RUN_RTTOWER"), 1);
}

// A record's two rows are committed together or not at all: a refused row of either
// table takes the other back, and the record can be written whole later on, with the
// statements the rows always had.
TEST_P(BackendWriterTest, ARecordIsWrittenWholeOrNotAtAll) {
    RefuseThirteen("FD_RUN_RTTOWER", false);
    RefuseThirteen("FD_RUN_TOWERHIS", true);
    const struct {
        const char* refused;
        float tenMinute, hourly;
    } cases[] = {{"10-minute row", 13.0f, 4.0f}, {"hourly row", 5.3f, 13.0f}};
    for (const auto& c : cases) {
        EXPECT_EQ(
            SaveTowerRecord(
                stores->BackendTarget(),
                FrameOf(12, k15, {Item(7000, c.tenMinute, k15), Item(9000, c.hourly, k15)})),
            BackendOutcome::Failed)
            << c.refused;
        // Read through a connection of its own: what is committed.
        EXPECT_EQ(Value("SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "0") << c.refused;
        EXPECT_EQ(Value("SELECT COUNT(*) FROM FD_RUN_TOWERHIS"), "0") << c.refused;
    }
    TakeSent();
    EXPECT_EQ(
        SaveTowerRecord(stores->BackendTarget(),
                        FrameOf(12, k15, {Item(7000, 5.3f, k15), Item(9000, 4.0f, k15)})),
        BackendOutcome::Done);
    EXPECT_EQ(TakeSent(),
              (std::vector<std::string>{
                  "SELECT TOWERID,TIME FROM FD_RUN_RTTOWER WHERE TOWERID = 12 AND TIME = {ts "
                  "'2009-03-12 15:00:00'}",
                  "INSERT INTO FD_RUN_RTTOWER(TOWERID,TIME,V1AVGSP) VALUES(12,{ts '2009-03-12 "
                  "15:00:00'},5.3)",
                  "SELECT TOWERID,TIME,TYPE FROM FD_RUN_TOWERHIS WHERE TOWERID=12 AND TIME={ts "
                  "'2009-03-12 15:00:00'} AND TYPE=1",
                  "INSERT INTO FD_RUN_TOWERHIS(TOWERID,TIME,TYPE,V1AVGSP) VALUES(12,{ts "
                  "'2009-03-12 15:00:00'},1,4)"}));
    EXPECT_EQ(Value("SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "1");
    EXPECT_EQ(Value("SELECT COUNT(*) FROM FD_RUN_TOWERHIS"), "1");
}

// Records written together send the statements each would send alone, and store the
// same rows: new ones, one already there, one without values, one at a full hour.
TEST_P(BackendWriterTest, AGroupSendsTheStatementsOfEachRecordAlone) {
    const DateTime k1420 = k1410 + DateTimeSpan(0, 0, 10, 0);
    const std::vector<CDataFrame> records = {
        FrameOf(12, k1410, {Item(7000, 5.3f, k1410)}),
        FrameOf(12, k1420, {Item(7000, 6.5f, k1420)}),
        FrameOf(12, k15, {Item(7000, 7.0f, k15), Item(9000, 4.0f, k15)}),
        FrameOf(13, k15, {})};
    std::vector<const CDataFrame*> group;
    for (const CDataFrame& record : records) group.push_back(&record);
    const std::string rows =
        "SELECT TOWERID,TIME,V1AVGSP FROM FD_RUN_RTTOWER UNION ALL SELECT TOWERID,TIME,V1AVGSP "
        "FROM FD_RUN_TOWERHIS ORDER BY 1,2,3";
    std::vector<std::string> sentAlone;
    std::string storedAlone;
    for (bool together : {false, true}) {
        for (const char* table : {"FD_RUN_RTTOWER", "FD_RUN_TOWERHIS"}) {
            Backend().TEST_ExecBackendSQL(std::string("DELETE FROM ") + table);
        }
        ASSERT_EQ(SaveTowerRecord(stores->BackendTarget(),
                                  FrameOf(12, k1420, {Item(7000, 1.0f, k1420)})),
                  BackendOutcome::Done);
        TakeSent();
        if (together && GetParam() == Product::SQLite) {
            // One statement a call: nothing is sent, each record goes on its own.
            EXPECT_EQ(SaveTowerRecords(stores->BackendTarget(), group), BackendOutcome::Failed);
            EXPECT_TRUE(TakeSent().empty());
            return;
        }
        if (together) {
            EXPECT_EQ(SaveTowerRecords(stores->BackendTarget(), group), BackendOutcome::Done);
        } else {
            for (const CDataFrame& record : records) {
                EXPECT_EQ(SaveTowerRecord(stores->BackendTarget(), record), BackendOutcome::Done);
            }
        }
        std::vector<std::string> texts = TakeSent();
        std::sort(texts.begin(), texts.end());
        if (!together) {
            EXPECT_EQ(texts.size(), 12u) << "6 queries, 5 inserts, 1 update";
            sentAlone = texts;
            storedAlone = Dump(rows);
            continue;
        }
        EXPECT_EQ(texts, sentAlone);
        EXPECT_EQ(Dump(rows), storedAlone);
    }
}

// Queued records go to the backend in one transaction, yet a row the backend refuses
// fails only its own record, whether the refusal keeps the connection or drops it, and
// a time queued twice ends as its later record has it.
TEST_P(BackendWriterTest, ARefusedRowInAGroupFailsOnlyItsRecord) {
    UseSettings("", false, 1);
    for (bool asError : {false, true}) {
        const char* name = asError ? "refused with an error" : "refused";
        RefuseThirteen("FD_RUN_RTTOWER", asError);
        Backend().TEST_ExecBackendSQL("DELETE FROM FD_RUN_RTTOWER");
        {
            std::lock_guard<std::mutex> guard(lock);
            messages.clear();
        }
        CBackendWriterThread writer(stores->BackendTarget(), stores->m_stations, stores->m_journal,
                                    stores->m_confirmation);
        const float values[] = {1, 13, 3, 4, 6, 2};  // the last one again at the first's time
        for (int i = 0; i < 6; ++i) {
            const DateTime time = k1410 + DateTimeSpan(0, 0, 10 * (i % 5), 0);
            writer.Enqueue(FrameOf(12, time, {Item(7000, values[i], time)}));
        }
        ASSERT_TRUE(writer.CreateThread());
        ASSERT_TRUE(WaitFor([&] { return writer.IsIdle(); })) << name;
        EXPECT_EQ(writer.Health().nWritten, 5) << name;
        EXPECT_EQ(writer.Health().nFailed, 1) << name;
        EXPECT_EQ(Value("SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "4") << name;
        EXPECT_DOUBLE_EQ(Number("SELECT SUM(V1AVGSP) FROM FD_RUN_RTTOWER"), 15.0) << name;
        std::lock_guard<std::mutex> guard(lock);
        // Refused rows are logged as one run for the connection's life: the first in
        // full, the later ones (the second case's) only counted.
        EXPECT_EQ(messages.size(), asError ? 0u : 1u) << name << ": the first refusal once";
    }
}

TEST_P(BackendWriterTest, RainfallFromTheCounterNeverBelowZero) {
    StoreCounterSampleAt14(10.0f);
    TEST_SaveRTTower(stores->BackendTarget(), FrameOf(12, k15, {Item(100, 8.0f, k15)}));
    EXPECT_DOUBLE_EQ(StoredNumber("FD_RUN_RTTOWER", "RAIN", 12, k15), 0.0);
    // No sample an hour earlier: 0.
    TEST_SaveRTTower(stores->BackendTarget(), FrameOf(3, k15, {Item(100, 8.0f, k15)}));
    EXPECT_DOUBLE_EQ(StoredNumber("FD_RUN_RTTOWER", "RAIN", 3, k15), 0.0);
    // Not a full hour: the counter only.
    TakeSent();
    TEST_SaveRTTower(stores->BackendTarget(), FrameOf(12, k1410, {Item(100, 12.5f, k1410)}));
    EXPECT_EQ(TakeSent().back(),
              "INSERT INTO FD_RUN_RTTOWER(TOWERID,TIME,CYCLE) VALUES(12,{ts '2009-03-12 "
              "14:10:00'},12.5)");
}

TEST_P(BackendWriterTest, HourlyRowsOnlyAtFullHoursWithTheirExtremeTimes) {
    const DateTime extremeAt(2009, 3, 12, 14, 44, 37);
    TEST_SaveTowerHis(stores->BackendTarget(), FrameOf(12, k1410, {Item(9000, 4.0f, k1410)}));
    EXPECT_TRUE(TakeSent().empty()) << "no hourly row at 14:10";

    TEST_SaveTowerHis(stores->BackendTarget(),
                      FrameOf(12, k15,
                                    {Item(9000, 4.5f, k15), Item(9301, 202.0f, extremeAt, 8),
                                     Item(9302, 190.0f, extremeAt, 0), Item(7000, 5.0f, k15)}));
    EXPECT_EQ(TakeSent().back(),
              "INSERT INTO FD_RUN_TOWERHIS(TOWERID,TIME,TYPE,V1AVGSP,V2MAXDIR,V2MAXTM,V3MAXDIR) "
              "VALUES(12,{ts '2009-03-12 15:00:00'},1,4.5,202,{ts '2009-03-12 14:44:37'},190)");
    EXPECT_EQ(Stored("FD_RUN_TOWERHIS", "TYPE", 12, k15), "1");
    EXPECT_EQ(ParseDBTime(Stored("FD_RUN_TOWERHIS", "V2MAXTM", 12, k15)), extremeAt);
    EXPECT_EQ(Stored("FD_RUN_TOWERHIS", "V3MAXTM", 12, k15), "");

    TEST_SaveTowerHis(stores->BackendTarget(),
                      FrameOf(12, k15, {Item(9301, 205.0f, extremeAt, 8)}));
    EXPECT_EQ(TakeSent(),
              (std::vector<std::string>{
                  "SELECT TOWERID,TIME,TYPE FROM FD_RUN_TOWERHIS WHERE TOWERID=12 AND TIME={ts "
                  "'2009-03-12 15:00:00'} AND TYPE=1",
                  "UPDATE FD_RUN_TOWERHIS SET V2MAXDIR=205,V2MAXTM={ts '2009-03-12 14:44:37'} "
                  "WHERE TOWERID=12 AND TIME={ts '2009-03-12 15:00:00'} AND TYPE=1"}));
}

TEST_P(BackendWriterTest, AbnormalValuesOnlyWhenSwitchedOnAndBadNumbersLeftOut) {
    TEST_SaveRTTower(
        stores->BackendTarget(),
        FrameOf(12, k1410,
                      {Item(7000, 1.0f, k1410, 0, 3000), Item(7100, 2.0f, k1410, 0, 2999),
                       Item(7200, 3.0f, k1410, 0, 12000), Item(7300, NAN, k1410),
                       Item(7400, INFINITY, k1410), Item(2000, 7.0f, k1410)}));
    EXPECT_EQ(TakeSent().back(),
              "INSERT INTO FD_RUN_RTTOWER(TOWERID,TIME,V1AVGDIR,V1STANDARD) VALUES(12,{ts "
              "'2009-03-12 14:10:00'},2,3)");
    EXPECT_EQ(Stored("FD_RUN_RTTOWER", "V1AVGSP", 12, k1410), "");

    UseSettings("", true, 0);
    TEST_SaveRTTower(stores->BackendTarget(),
                     FrameOf(12, k1410, {Item(7000, 1.0f, k1410, 0, 3000)}));
    EXPECT_DOUBLE_EQ(StoredNumber("FD_RUN_RTTOWER", "V1AVGSP", 12, k1410), 1.0);
}

TEST_P(BackendWriterTest, EmptyRecordsInsertTheKeyAndUpdateNothing) {
    TEST_SaveRTTower(stores->BackendTarget(), FrameOf(12, k1410, {Item(9000, 1.0f, k1410)}));
    EXPECT_EQ(TakeSent().back(),
              "INSERT INTO FD_RUN_RTTOWER(TOWERID,TIME) VALUES(12,{ts '2009-03-12 14:10:00'})");
    EXPECT_EQ(Rows("FD_RUN_RTTOWER"), 1);
    TakeSent();
    TEST_SaveRTTower(stores->BackendTarget(), FrameOf(12, k1410, {}));
    EXPECT_EQ(TakeSent().size(), 1u) << "only the existence query";
}

TEST_P(BackendWriterTest, SchemaPrefixInEveryStatement) {
    // SQLite names its own schema "main"; PostgreSQL has the schema ext.
    const std::string prefix = GetParam() == Product::SQLite ? "main" : "EXT";
    UseSettings(prefix, false, 0);
    const CDataFrame record =
        FrameOf(12, k15, {Item(7000, 5.3f, k15), Item(9000, 4.0f, k15)});
    TEST_SaveRTTower(stores->BackendTarget(), record);
    TEST_SaveRTTower(stores->BackendTarget(), record);
    TEST_SaveTowerHis(stores->BackendTarget(), record);
    TEST_SaveTowerHis(stores->BackendTarget(), record);
    const std::vector<std::string> expected = {
        "SELECT TOWERID,TIME FROM " + prefix +
            ".FD_RUN_RTTOWER WHERE TOWERID = 12 AND TIME = {ts '2009-03-12 15:00:00'}",
        "INSERT INTO " + prefix +
            ".FD_RUN_RTTOWER(TOWERID,TIME,V1AVGSP) VALUES(12,{ts '2009-03-12 15:00:00'},5.3)",
        "SELECT TOWERID,TIME FROM " + prefix +
            ".FD_RUN_RTTOWER WHERE TOWERID = 12 AND TIME = {ts '2009-03-12 15:00:00'}",
        "UPDATE " + prefix +
            ".FD_RUN_RTTOWER SET V1AVGSP=5.3 WHERE TOWERID=12 AND TIME={ts '2009-03-12 15:00:00'}",
        "SELECT TOWERID,TIME,TYPE FROM " + prefix +
            ".FD_RUN_TOWERHIS WHERE TOWERID=12 AND TIME={ts '2009-03-12 15:00:00'} AND TYPE=1",
        "INSERT INTO " + prefix +
            ".FD_RUN_TOWERHIS(TOWERID,TIME,TYPE,V1AVGSP) VALUES(12,{ts '2009-03-12 15:00:00'},1,4)",
        "SELECT TOWERID,TIME,TYPE FROM " + prefix +
            ".FD_RUN_TOWERHIS WHERE TOWERID=12 AND TIME={ts '2009-03-12 15:00:00'} AND TYPE=1",
        "UPDATE " + prefix +
            ".FD_RUN_TOWERHIS SET V1AVGSP=4 WHERE TOWERID=12 AND TIME={ts '2009-03-12 15:00:00'} "
            "AND TYPE=1",
    };
    EXPECT_EQ(TakeSent(), expected);
    EXPECT_EQ(Rows(prefix + ".FD_RUN_RTTOWER"), 1);
    EXPECT_EQ(Rows(prefix + ".FD_RUN_TOWERHIS"), 1);
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_TRUE(messages.empty());
}

TEST_P(BackendWriterTest, AssignedStationNumbersBecomeTheTowerId) {
    CVKTTOWPID row;
    row.m_nRTUID = 12;
    row.m_nWPID = 900;
    CObList<CVKTTOWPID> list;
    list.push_back(std::make_unique<CVKTTOWPID>(row));
    FillAssignmentMap(list, stores->m_assignments);
    TEST_SaveRTTower(stores->BackendTarget(), FrameOf(12, k1410, {Item(7000, 5.0f, k1410)}));
    EXPECT_DOUBLE_EQ(StoredNumber("FD_RUN_RTTOWER", "V1AVGSP", 900, k1410), 5.0);
    EXPECT_EQ(Stored("FD_RUN_RTTOWER", "V1AVGSP", 12, k1410), "<none>");
    EXPECT_EQ(stores->m_assignments.TowerIDOf(12), 900);
    EXPECT_EQ(stores->m_assignments.TowerIDOf(3), 3);
}

TEST_P(BackendWriterTest, ARejectedStatementIsReportedAndTheNextReconnects) {
    EXPECT_FALSE(Backend().TEST_ExecBackendSQL("INSERT INTO NO_SUCH_TABLE VALUES(1)"));
    EXPECT_EQ(Connection(), nullptr) << "the connection is dropped";
    {
        std::lock_guard<std::mutex> guard(lock);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0], "WP Error SQL: INSERT INTO NO_SUCH_TABLE VALUES(1)\n");
    }
    const std::string log = ReadWholeFile(host->Path(ErrorLog::FileName()));
    EXPECT_NE(log.find("WP Error SQL: INSERT INTO NO_SUCH_TABLE VALUES(1)"), std::string::npos);
    EXPECT_NE(log.find(GetParam() == Product::SQLite ? "no such table" : "42P01"),
              std::string::npos)
        << "the driver's diagnostics: " << log;

    EXPECT_FALSE(Backend().BackendRowExists("SELECT NOTHING FROM NOWHERE"));
    TEST_SaveRTTower(stores->BackendTarget(), FrameOf(12, k1410, {Item(7000, 5.0f, k1410)}));
    EXPECT_DOUBLE_EQ(StoredNumber("FD_RUN_RTTOWER", "V1AVGSP", 12, k1410), 5.0);
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(messages.back(), "WP Error SQL: SELECT NOTHING FROM NOWHERE");
}

TEST_P(BackendWriterTest, AStatementLongerThanTheOldBuffersRunsWhole) {
    std::vector<CDataItem> items;
    for (int level = 0; level < 7; ++level) {
        for (int group = 0; group < 10; ++group) {
            items.push_back(Item(7000 + 100 * group + level, 1234.5678f + group, k1410, 0, 0));
        }
    }
    TEST_SaveRTTower(stores->BackendTarget(), FrameOf(12, k1410, items));
    TEST_SaveRTTower(stores->BackendTarget(), FrameOf(12, k1410, items));
    const std::vector<std::string> texts = TakeSent();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_GT(texts[3].size(), 1000u);
    EXPECT_NEAR(StoredNumber("FD_RUN_RTTOWER", "V7STANDARDDIR", 12, k1410), 1243.57, 0.01);
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_TRUE(messages.empty());
}

// The prefix is pasted into every statement: anything but an SQL name is refused
// before a statement is written, once a start in the log and the message window.
TEST_P(BackendWriterTest, APrefixThatIsNotAnSqlNameWritesNoStatement) {
    const std::string injection = "inj.FD_RUN_RTTOWER WHERE 1=0; DROP TABLE FD_RUN_TOWERHIS; --";
    UseSettings(injection, false, 0);
    for (int i = 0; i < 3; ++i) {
        TEST_SaveRTTower(stores->BackendTarget(),
                         FrameOf(12, k1410, {Item(7000, 5.0f, k1410)}));
        TEST_SaveTowerHis(stores->BackendTarget(), FrameOf(12, k15, {Item(9000, 4.0f, k15)}));
    }
    EXPECT_TRUE(TakeSent().empty());
    UseSettings("", false, 0);
    EXPECT_EQ(Rows("FD_RUN_TOWERHIS"), 0) << "the table is still there";
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("PRENAME"), std::string::npos);
    const std::string log = ReadWholeFile(host->Path(ErrorLog::FileName()));
    EXPECT_EQ(log.find("PRENAME"), log.rfind("PRENAME")) << "once: " << log;
}

// A statement of megabytes goes to the driver whole, but its log lines are cut.
TEST_P(BackendWriterTest, ARejectedHugeStatementIsLoggedCutWithItsLength) {
    const std::string huge = "INSERT INTO NO_SUCH_TABLE VALUES(" + std::string(100000, '1') + ")";
    EXPECT_FALSE(Backend().TEST_ExecBackendSQL(huge));
    EXPECT_EQ(TakeSent(), std::vector<std::string>{huge});
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_LT(messages[0].size(), 2100u);
    EXPECT_NE(messages[0].find("100034 characters"), std::string::npos) << messages[0];
    EXPECT_LT(ReadWholeFile(host->Path(ErrorLog::FileName())).size(), 5000u);
}

INSTANTIATE_TEST_SUITE_P(Products, BackendWriterTest,
                         ::testing::Values(Product::SQLite, Product::PostgreSQL), ProductName);

}  // namespace
