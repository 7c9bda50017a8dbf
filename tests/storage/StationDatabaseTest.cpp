#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "model/Catalogue.h"
#include "platform/Clock.h"
#include "platform/ErrorLog.h"
#include "platform/OdbcHandles.h"
#include "platform/System.h"
#include "storage/BackendConfirmation.h"
#include "storage/RefillJournal.h"
#include "storage/StationMap.h"
#include "storage/StationSchema.h"
#include "storage/TowerRow.h"
#include "storage/WPLocalDB.h"
#include "storage/WPStores.h"
#include "tests/support/TestHost.h"
#include "tests/support/TowerData.h"

namespace {

double Number(const std::string& text) {
    return text.empty() || text[0] == '<' ? NAN : std::stod(text);
}

class WPLocalDBTest : public ::testing::Test {
protected:
    void SetUp() override {
        BuildCatalogue();
        std::filesystem::create_directory(host.Path("WPData"));  // made when the plug-in loads
        station = std::make_unique<CWPLocalDB>(12, host.Dir(), settings, 60000);
        station->SetStatementObserver([this](const std::string& sql) {
            std::lock_guard<std::mutex> guard(lock);
            sent.push_back(sql);
        });
    }
    void TearDown() override { station.reset(); }
    void UseDataLen(int years) {
        CWPSettings changed;
        changed.m_nDataLen = years;
        settings.Replace(changed);
    }
    std::vector<std::string> TakeSent() {
        std::lock_guard<std::mutex> guard(lock);
        return std::exchange(sent, {});
    }
    std::string At(const char* table, const std::string& column, const DateTime& time) {
        return QueryFile(station->FilePath(), "SELECT " + column + " FROM " + table +
                                                  " WHERE TIME='" + time.Format() + "'");
    }

    TestHost host;
    CWPSettingsStore settings;
    std::unique_ptr<CWPLocalDB> station;
    std::mutex lock;
    std::vector<std::string> sent;  // guarded by lock
};

TEST(StationSchemaTest, TableTextsAsTheFileFormatHasThem) {
    BuildCatalogue();
    const std::string rt = StationSchema::CreateRTTower();
    EXPECT_EQ(rt.size(), 2412u);
    EXPECT_EQ(rt.rfind("CREATE TABLE RTTOWER ([TIME] DATETIME NOT NULL PRIMARY KEY, V1AVGSP FLOAT "
                       "DEFAULT -99,",
                       0),
              0u);
    EXPECT_EQ(rt.substr(rt.size() - 23), "QX10 FLOAT DEFAULT -99)");
    const std::string hs = StationSchema::CreateHSTower();
    EXPECT_EQ(hs.size(), 1036u);
    EXPECT_NE(hs.find("V1MAXTM DATETIME, \t\t\t\t\tV2AVGSP FLOAT DEFAULT -99"), std::string::npos);
    const std::string tail = "V7MAXTM DATETIME, CONSTRAINT CSTRA PRIMARY KEY([TIME], TYPE))";
    EXPECT_EQ(hs.substr(hs.size() - tail.size()), tail);
}

TEST_F(WPLocalDBTest, FileAndDataSourceOfRtu12) {
    EXPECT_EQ(station->FilePath(), host.Dir() + "/WPData/WP_12.MDB");
    EXPECT_EQ(station->DataSourceName(), "WP_12");
    EXPECT_FALSE(station->LocalDBExists());
    ASSERT_TRUE(station->CreateLocalDB());
    EXPECT_TRUE(station->LocalDBExists());
    EXPECT_GE(station->RetentionPassCount(), 0) << "a created file gets its retention thread";
    // The data source names the file; the ODBC connection by name works.
    SQLHDBC hdbc = nullptr;
    ASSERT_EQ(OpenDatabase("WP_12", "", CWPLocalDB::kPassword, &hdbc), 1);
    CloseDatabase(&hdbc);
    const std::string odbcIni = ReadWholeFile(System::OdbcFolder() + "/odbc.ini");
    EXPECT_NE(odbcIni.find("[WP_12]"), std::string::npos);
    EXPECT_NE(odbcIni.find("Database=" + System::DriverPath(station->FilePath())),
              std::string::npos);
    // Both tables; the second IDXTM cannot exist beside the first and is not needed.
    EXPECT_EQ(QueryFile(station->FilePath(), "SELECT COUNT(*) FROM RTTOWER"), "0");
    EXPECT_EQ(QueryFile(station->FilePath(), "SELECT COUNT(*) FROM HSTOWER"), "0");
    EXPECT_EQ(
        QueryFile(station->FilePath(), "SELECT tbl_name FROM sqlite_master WHERE name='IDXTM'"),
        "RTTOWER");

    // Registering again rewrites the section, and an existing file is left alone.
    CWPLocalDB again(12, host.Dir(), settings, 60000);
    EXPECT_TRUE(again.CreateLocalDB());
    EXPECT_EQ(again.RetentionPassCount(), -1);
    const std::string rewritten = ReadWholeFile(host.Path("odbc/odbc.ini"));
    EXPECT_EQ(rewritten.find("[WP_12]"), rewritten.rfind("[WP_12]"));
}

// A file of an earlier installation, with the tower tables only, gets the others when it
// is opened; the journals write into them and make no table themselves.
TEST_F(WPLocalDBTest, AnOlderFileGetsTheTablesItLacksWhenOpened) {
    const std::string file = station->FilePath();
    QueryFile(file, StationSchema::CreateRTTower());
    QueryFile(file, StationSchema::CreateHSTower());
    CStationMap stations(host.Dir(), settings, 60000);
    stations.FindOrAdd(12).SetStatementObserver([this](const std::string& sql) {
        std::lock_guard<std::mutex> guard(lock);
        sent.push_back(sql);
    });
    CRefillJournal journal(stations);
    CBackendConfirmation confirmation(stations);
    EXPECT_TRUE(journal.NoteMissed(12, k15));
    confirmation.Hold(12, k15);
    EXPECT_TRUE(journal.Quarantine().Keep(12, {{k15, false, "refused"}}));
    EXPECT_EQ(QueryFile(file,
                        "SELECT GROUP_CONCAT(name) FROM (SELECT name FROM sqlite_master "
                        "WHERE type = 'table' ORDER BY name)"),
              "CONFIRMED,HSTOWER,QUARANTINE,REFILL,RTTOWER");
    for (const char* table : {"CONFIRMED", "QUARANTINE", "REFILL"}) {
        EXPECT_EQ(QueryFile(file, std::string("SELECT COUNT(*) FROM ") + table), "1") << table;
    }
    for (const std::string& text : TakeSent())
        EXPECT_EQ(text.find("CREATE"), std::string::npos) << text;
}

TEST_F(WPLocalDBTest, TenMinuteAndHourlyRowsWithRainfall) {
    StoreCounterSampleAt14(10.0f);
    EXPECT_FALSE(station->TEST_SaveLocalData(FrameOf(12, k1410, {Item(7000, 5.0f, k1410)})));
    EXPECT_EQ(QueryFile(station->FilePath(), "SELECT COUNT(*) FROM RTTOWER"), "1");
    EXPECT_EQ(QueryFile(station->FilePath(), "SELECT COUNT(*) FROM HSTOWER"), "0");

    EXPECT_TRUE(station->TEST_SaveLocalData(FrameOf(
        12, k15, {Item(7000, 5.3f, k15), Item(100, 12.5f, k15), Item(9000, 4.0f, k15)})));
    EXPECT_EQ(Number(At("RTTOWER", "RAIN", k15)), 2.5);
    EXPECT_EQ(Number(At("RTTOWER", "CYCLE", k15)), 12.5);
    EXPECT_EQ(At("HSTOWER", "TYPE", k15), "1");
    EXPECT_EQ(Number(At("HSTOWER", "V1AVGSP", k15)), 4.0);

    // The same time again updates and leaves RAIN as it was.
    TakeSent();
    station->TEST_SaveLocalData(FrameOf(12, k15, {Item(100, 8.0f, k15)}));
    const auto texts = TakeSent();
    ASSERT_EQ(texts.size(), 3u) << "no hourly item: nothing for HSTOWER beyond its query";
    EXPECT_EQ(texts[1], "UPDATE RTTOWER SET CYCLE=8 WHERE TIME={ts '2009-03-12 15:00:00'}");
    EXPECT_EQ(Number(At("RTTOWER", "RAIN", k15)), 2.5);
}

TEST_F(WPLocalDBTest, RainfallBelowZeroOrWithoutASampleIsZero) {
    StoreCounterSampleAt14(10.0f);
    station->SaveLocalRT(FrameOf(12, k15, {Item(100, 8.0f, k15)}));
    EXPECT_EQ(Number(At("RTTOWER", "RAIN", k15)), 0.0);
    const DateTime k16(2009, 3, 12, 16, 0, 0);
    station->SaveLocalRT(FrameOf(12, k16, {Item(100, 12.0f, k16)}));
    EXPECT_EQ(Number(At("RTTOWER", "RAIN", k16)), 0.0) << "no sample at 15:00";
}

TEST_F(WPLocalDBTest, UnknownIdsInsertTheTimeOnlyAndReadMinus99) {
    EXPECT_TRUE(station->SaveLocalRT(
        FrameOf(12, k1410, {Item(2000, 1.0f, k1410), Item(7007, 2.0f, k1410)})));
    const auto texts = TakeSent();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "SELECT [TIME] FROM RTTOWER WHERE TIME = {ts '2009-03-12 14:10:00'}");
    EXPECT_EQ(texts[1], "INSERT INTO RTTOWER([TIME]) VALUES({ts '2009-03-12 14:10:00'})");
    for (const ColumnDef& column : TenMinuteColumns()) {
        EXPECT_EQ(Number(At("RTTOWER", column.name, k1410)), -99.0) << column.name;
    }
    // The row exists and nothing is to be updated: no statement after the query.
    EXPECT_FALSE(station->SaveLocalRT(FrameOf(12, k1410, {Item(2000, 1.0f, k1410)})));
    EXPECT_EQ(TakeSent().size(), 1u);
}

TEST_F(WPLocalDBTest, ExtremeTimesAbnormalValuesAndBadNumbers) {
    const DateTime extremeAt(2009, 3, 12, 14, 44, 37);
    station->SaveLocalHis(
        FrameOf(12, k15,
                      {Item(9301, 202.0f, extremeAt, 8), Item(9302, 190.0f, extremeAt, 0),
                       Item(9000, NAN, k15), Item(9100, 7.0f, k15, 0, 3000)}));
    EXPECT_EQ(TakeSent().back(),
              "INSERT INTO HSTOWER([TIME],TYPE,V2MAXDIR,V2MAXTM,V3MAXDIR,V1AVGDIR) VALUES({ts "
              "'2009-03-12 15:00:00'},1,202,{ts '2009-03-12 14:44:37'},190,7)");
    EXPECT_EQ(At("HSTOWER", "V2MAXTM", k15), "2009-03-12 14:44:37");
    EXPECT_EQ(At("HSTOWER", "V3MAXTM", k15), "");
    EXPECT_EQ(Number(At("HSTOWER", "V1AVGSP", k15)), -99.0);
    EXPECT_EQ(Number(At("HSTOWER", "V1AVGDIR", k15)), 7.0) << "abnormal values are stored here";

    station->SaveLocalHis(FrameOf(12, k15, {Item(9301, 205.0f, extremeAt, 8)}));
    EXPECT_EQ(TakeSent().back(),
              "UPDATE HSTOWER SET V2MAXDIR=205,V2MAXTM={ts '2009-03-12 14:44:37'} WHERE TIME={ts "
              "'2009-03-12 15:00:00'} AND TYPE=1");
}

TEST_F(WPLocalDBTest, RetentionCutsAtMidnightMinusYearsOf365Days) {
    ProcessClock::SetNow(DateTime(2009, 3, 12, 10, 0, 0));
    for (const DateTime& time :
         {DateTime(2007, 3, 12, 23, 50, 0), DateTime(2007, 3, 13, 0, 0, 0),
          DateTime(2009, 3, 11, 23, 50, 0), DateTime(2009, 3, 12, 0, 0, 0)}) {
        station->TEST_SaveLocalData(
            FrameOf(12, time, {Item(7000, 1.0f, time), Item(9000, 1.0f, time)}));
    }
    UseDataLen(2);
    TakeSent();
    station->DeleteDeadData();
    EXPECT_EQ(TakeSent(), (std::vector<std::string>{
                              "DELETE FROM RTTOWER WHERE TIME < {ts '2007-03-13 00:00:00'}",
                              "DELETE FROM HSTOWER WHERE TIME < {ts '2007-03-13 00:00:00'}"}));
    EXPECT_EQ(QueryFile(station->FilePath(), "SELECT COUNT(*) FROM RTTOWER"), "3");
    EXPECT_EQ(QueryFile(station->FilePath(), "SELECT COUNT(*) FROM HSTOWER"), "2");
}

// The station files hold what the backend missed: a retention of less than a year
// (also one that was not a whole number, which reads 0) deletes nothing and says so.
TEST_F(WPLocalDBTest, RetentionBelowOneYearDeletesNothing) {
    ProcessClock::SetNow(DateTime(2009, 3, 12, 10, 0, 0));
    station->SaveLocalRT(FrameOf(12, k1410, {Item(7000, 1.0f, k1410)}));
    for (int years : {0, -1, INT32_MIN}) {
        UseDataLen(years);
        TakeSent();
        const size_t logBefore = ReadWholeFile(host.Path(ErrorLog::FileName())).size();
        station->DeleteDeadData();
        EXPECT_TRUE(TakeSent().empty()) << years;
        const std::string added = ReadWholeFile(host.Path(ErrorLog::FileName())).substr(logBefore);
        EXPECT_NE(added.find("DATALEN"), std::string::npos) << years;
        EXPECT_EQ(added.find('\n'), added.size() - 1) << "one line: " << added;
    }
    UseDataLen(100000);  // further back than any date: nothing to delete
    station->DeleteDeadData();
    EXPECT_EQ(QueryFile(station->FilePath(), "SELECT COUNT(*) FROM RTTOWER"), "1");
}

// A pass that takes every row a table held (a clock that jumped years ahead) says what
// it took; one that leaves rows, or finds nothing, writes nothing.
TEST_F(WPLocalDBTest, RetentionThatEmptiesATableLogsWhatItDeleted) {
    ProcessClock::SetNow(DateTime(2009, 3, 12, 10, 0, 0));  // cut-off 2008-03-12 00:00:00
    const DateTime old1(2007, 6, 1, 0, 0, 0), old2(2008, 3, 11, 23, 50, 0),
        kept(2008, 3, 12, 0, 0, 0);
    const struct {
        std::vector<DateTime> rows;  // of both tables (HSTOWER: full hours)
        bool hourlyKept;             // one HSTOWER row at the cut-off besides
        const char* logged;          // in the one line, or null for no line
    } cases[] = {
        {{old1, old2}, false, "all 2 rows of RTTOWER and all 1 row of HSTOWER in "},
        {{old1, old2}, true, "all 2 rows of RTTOWER in "},
        {{old1, kept}, false, nullptr},
        {{}, false, nullptr},
    };
    UseDataLen(1);
    for (const auto& c : cases) {
        station->ExecLocalSQL("DELETE FROM RTTOWER");
        station->ExecLocalSQL("DELETE FROM HSTOWER");
        for (const DateTime& time : c.rows) {
            station->TEST_SaveLocalData(
                FrameOf(12, time, {Item(7000, 1.0f, time), Item(9000, 1.0f, time)}));
        }
        if (c.hourlyKept) station->SaveLocalHis(FrameOf(12, kept, {Item(9000, 1.0f, kept)}));
        const size_t logBefore = ReadWholeFile(host.Path(ErrorLog::FileName())).size();
        station->DeleteDeadData();
        const std::string added = ReadWholeFile(host.Path(ErrorLog::FileName())).substr(logBefore);
        if (!c.logged) {
            EXPECT_EQ(added, "");
            continue;
        }
        EXPECT_EQ(added.find('\n'), added.size() - 1) << "one line: " << added;
        EXPECT_NE(added.find(c.logged + station->FilePath() + ", older than 2008-03-12 00:00:00"),
                  std::string::npos)
            << added;
    }
}

TEST_F(WPLocalDBTest, ClosedConnectionsReopenAndAVanishedFileIsMadeAgain) {
    CStationMap stations(host.Dir(), settings, 60000);
    CWPLocalDB& mapped = stations.FindOrAdd(12);
    EXPECT_EQ(&mapped, stations.Find(12));
    EXPECT_EQ(stations.Find(13), nullptr);
    mapped.SaveLocalRT(FrameOf(12, k1410, {Item(7000, 1.0f, k1410)}));
    stations.CloseAll();
    EXPECT_EQ(mapped.Connection(), nullptr);
    mapped.SaveLocalRT(FrameOf(12, k15, {Item(7000, 2.0f, k15)}));
    EXPECT_EQ(QueryFile(mapped.FilePath(), "SELECT COUNT(*) FROM RTTOWER"), "2");

    stations.Clear();
    EXPECT_EQ(stations.Size(), 0u);
}

// On Linux an open file can be deleted or replaced; the connection would go on writing
// into a file that no one sees. The next row notices, makes the file again and logs it.
TEST_F(WPLocalDBTest, AFileDeletedOrReplacedWhileOpenIsMadeAgain) {
    const std::string other = host.Path("other.MDB");
    const struct {
        const char* name;
        std::function<void(const std::string&)> change;
    } cases[] = {
        {"deleted", [](const std::string& path) { std::filesystem::remove(path); }},
        {"replaced",
         [&](const std::string& path) {
             std::filesystem::copy_file(path, other);
             std::filesystem::rename(other, path);
         }},
    };
    DateTime time = k1410;
    for (const auto& c : cases) {
        station->SaveLocalRT(FrameOf(12, time, {Item(7000, 1.0f, time)}));
        c.change(station->FilePath());
        const size_t logBefore = ReadWholeFile(host.Path(ErrorLog::FileName())).size();
        time += DateTimeSpan(0, 0, 10, 0);
        EXPECT_TRUE(station->SaveLocalRT(FrameOf(12, time, {Item(7000, 2.0f, time)})))
            << c.name;
        EXPECT_EQ(At("RTTOWER", "V1AVGSP", time), "2.0") << c.name;
        EXPECT_EQ(QueryFile(station->FilePath(), "SELECT COUNT(*) FROM HSTOWER"), "0") << c.name;
        const std::string added = ReadWholeFile(host.Path(ErrorLog::FileName())).substr(logBefore);
        EXPECT_NE(added.find("deleted or replaced"), std::string::npos) << c.name << added;
    }
}

TEST_F(WPLocalDBTest, ARejectedStatementIsReportedAndClosesTheConnection) {
    std::vector<std::string> messages;
    VktHost::SetMessageWindow([&](const std::string& text) { messages.push_back(text); });
    EXPECT_FALSE(station->ExecLocalSQL("INSERT INTO NOWHERE VALUES(1)"));
    EXPECT_EQ(station->Connection(), nullptr);
    // A duplicate time: the existence query found nothing because of a broken query.
    EXPECT_TRUE(
        station->ExecLocalSQL("INSERT INTO RTTOWER([TIME]) VALUES({ts '2009-03-12 14:10:00'})"));
    EXPECT_FALSE(
        station->ExecLocalSQL("INSERT INTO RTTOWER([TIME]) VALUES({ts '2009-03-12 14:10:00'})"));
    VktHost::SetMessageWindow(nullptr);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "Wind Power SaveHisData Error: INSERT INTO NOWHERE VALUES(1)");
    const std::string log = ReadWholeFile(host.Path(ErrorLog::FileName()));
    EXPECT_NE(log.find("no such table: NOWHERE"), std::string::npos) << log;
    EXPECT_NE(log.find("UNIQUE constraint failed"), std::string::npos) << log;
}

TEST_F(WPLocalDBTest, AFileThatCannotBeMadeStoresNothingQuietly) {
    CWPLocalDB nowhere(5, host.Path("missing-dir"), settings, 60000);
    EXPECT_FALSE(nowhere.CreateLocalDB());
    EXPECT_FALSE(nowhere.SaveLocalRT(FrameOf(12, k1410, {Item(7000, 1.0f, k1410)})));
    EXPECT_EQ(ReadWholeFile(host.Path("odbc/odbc.ini")).find("[WP_5]"), std::string::npos);
}

}  // namespace

namespace {

// The station files and the backend are written from two threads: SQLite's process-wide
// allocation statistics, one mutex for every allocation, are off in the driver's SQLite.
TEST_F(WPLocalDBTest, SqliteKeepsNoAllocationStatistics) {
    System::DynamicLibrary sqlite;
    std::string error;
    if (!sqlite.Open("libsqlite3.so.0", error)) GTEST_SKIP() << "no shared SQLite: " << error;
    using MemoryUsed = long long (*)();
    const auto used = reinterpret_cast<MemoryUsed>(sqlite.Symbol("sqlite3_memory_used"));
    ASSERT_NE(used, nullptr);
    ASSERT_TRUE(station->SaveLocalRT(FrameOf(12, k1410, {})));
    EXPECT_EQ(used(), 0) << "bytes counted while a station file is open";
}

// An extreme's time column is the id + 700: an id near the top of the int range must
// not overflow on the way.
TEST(TowerRowTest, AnExtremeIdAtTheTopOfTheRangeContributesNothing) {
    BuildCatalogue();
    CDataItem extreme = Item(9300, 1.0f, k15, 8);
    extreme.m_nDataID = INT32_MAX;
    const CDataFrame record = FrameOf(12, k15, {extreme});
    EXPECT_TRUE(TowerRowValues(record, RowSet::Hourly, RowRules{}).empty());
}

}  // namespace
