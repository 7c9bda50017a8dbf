#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>

#include "hostlib/HostSide.h"
#include "hostlib/HostStatement.h"
#include "hostlib/VktBase.h"
#include "platform/Clock.h"
#include "platform/ErrorLog.h"
#include "platform/OdbcQuery.h"
#include "tests/support/TestHost.h"

namespace {

std::vector<int> RtuNumbers(const CObList<CRTUDef>& list) {
    std::vector<int> numbers;
    for (const auto& def : list) numbers.push_back(def->m_nRTUID);
    return numbers;
}

CDataFrame FrameOf(int rtu, const DateTime& time, std::vector<std::pair<int, float>> samples) {
    CDataFrame frame;
    frame.m_nRTUID = rtu;
    frame.m_nKind = 1;
    frame.m_tTime = time;
    for (auto [sensor, value] : samples) {
        CDataItem item;
        item.m_nSensorID = sensor;
        item.m_nDataID = 100;
        item.m_tTime = time;
        item.m_fValue = value;
        frame.m_arItems.push_back(item);
    }
    return frame;
}

TEST(HostLibTest, OutDBObjAppliesEveryClauseForm) {
    TestHost host;
    for (const char* clause : {" WHERE TYPE=100", "WHERE TYPE=100"}) {
        CObList<CRTUDef> list;
        ASSERT_EQ(OutDBObj(kObjRTUDef, clause, list), 1) << clause;
        EXPECT_EQ(RtuNumbers(list), (std::vector<int>{1, 2, 3})) << clause;
        DestroyObA(list);
        EXPECT_TRUE(list.empty());
    }
    CObList<CRTUDef> ordered;
    ASSERT_EQ(OutDBObj(kObjRTUDef, "ORDER BY ID ASC", ordered), 1);
    EXPECT_EQ(RtuNumbers(ordered), (std::vector<int>{1, 2, 3, 12, 40}));
    CObList<CRTUDef> all;
    ASSERT_EQ(OutDBObj(kObjRTUDef, "", all), 1);
    EXPECT_EQ(all.size(), 5u);
}

TEST(HostLibTest, RtuDefinitionsComeFromMemoryAsCallerOwnedCopies) {
    TestHost host;
    std::unique_ptr<CRTUDef> def = CRTUDefRT::GetRTUDefRT(12);
    ASSERT_TRUE(def);
    EXPECT_EQ(def->m_nID, 12);
    EXPECT_EQ(def->m_nType, 101);
    EXPECT_EQ(def->m_strName, "T12");
    EXPECT_NE(def->m_strRemark.find("outputid:17"), std::string::npos);
    def->m_strName = "changed";
    EXPECT_EQ(CRTUDefRT::GetRTUDefRT(12)->m_strName, "T12");
    EXPECT_FALSE(CRTUDefRT::GetRTUDefRT(999));

    CRTUDef added;
    added.m_nID = added.m_nRTUID = 77;
    added.m_strName = "T77";
    added.m_nType = 100;
    ASSERT_TRUE(VktHost::AddRTU(added));
    ASSERT_TRUE(CRTUDefRT::GetRTUDefRT(77));
    CObList<CRTUDef> towers;
    OutDBObj(kObjRTUDef, " WHERE TYPE=100", towers);
    EXPECT_EQ(RtuNumbers(towers), (std::vector<int>{1, 2, 3, 77}));
}

TEST(HostLibTest, StateTimeIsTheAcquisitionTimeOnTheProcessClock) {
    TestHost host;
    CRTUState* state = CRTUState::GetRTUState(1);
    ASSERT_TRUE(state);
    EXPECT_FALSE(state->GetStateTime().IsValid());
    EXPECT_FALSE(state->m_arValue[0].m_tTime.IsValid());
    EXPECT_EQ(CRTUState::GetRTUState(999), nullptr);

    const DateTime now(2009, 3, 12, 14, 6, 0);
    ProcessClock::SetNow(now);
    // The frame's own time does not matter: the host stamps when it acquires.
    ASSERT_TRUE(VktHost::RecordAcquiredFrame(FrameOf(1, DateTime(2001, 1, 1, 0, 0, 0), {})));
    const double late = (state->GetStateTime() - now).GetTotalSeconds();
    EXPECT_GE(late, 0.0);
    EXPECT_LT(late, 60.0);
    EXPECT_FALSE(VktHost::RecordAcquiredFrame(FrameOf(999, now, {})));
}

TEST(HostLibTest, SensorHistoryAnswersByExactTimeAndSurvivesARestart) {
    TestHost host;
    const DateTime t14(2009, 3, 12, 14, 0, 0);
    ASSERT_TRUE(VktHost::RecordAcquiredFrame(FrameOf(1, t14, {{100100, 10.0f}, {100200, 3.5f}})));
    for (int flag : {0, 1}) {
        auto sample = GetSensorDataByTime(100100, t14, flag);
        ASSERT_TRUE(sample);
        EXPECT_FLOAT_EQ(sample->m_fValue, 10.0f);
    }
    EXPECT_FALSE(GetSensorDataByTime(100100, t14 + DateTimeSpan(0, 0, 0, 1), 1));
    EXPECT_FALSE(GetSensorDataByTime(555, t14, 1));

    // A new host process reads the history back from VKTCOMM.MDB.
    VktHost::CloseHost();
    ASSERT_TRUE(VktHost::LoadHostCatalogue());
    auto sample = GetSensorDataByTime(100200, t14, 1);
    ASSERT_TRUE(sample);
    EXPECT_FLOAT_EQ(sample->m_fValue, 3.5f);
}

// Three days acquired with one day kept: the table holds about the last day, memory
// and database agree on it, and a batch reaches the file without a flush call.
TEST(HostLibTest, TheHistoryKeepsTheLastDaysAndWritesInBatches) {
    TestHost host;
    VktHost::HistoryOptions options;
    options.keepDays = 1.0;
    options.flushIntervalMs = 20;
    VktHost::SetHistoryOptions(options);
    const DateTime first(2009, 3, 10, 0, 0, 0);
    ASSERT_TRUE(VktHost::RecordAcquiredFrame(FrameOf(1, first, {{100100, 1.0f}})));
    const std::string file = host.Path("VKTCOMM.MDB");
    EXPECT_TRUE(WaitFor([&] { return QueryFile(file, "SELECT COUNT(*) FROM FRAMEHIS") == "1"; }))
        << "the flusher wrote the batch";
    for (int step = 1; step <= 3 * 144; ++step) {
        const DateTime time = first + DateTimeSpan(0, 0, 10 * step, 0);
        ASSERT_TRUE(VktHost::RecordAcquiredFrame(FrameOf(1, time, {{100100, float(step)}})));
    }
    VktHost::FlushHistory();
    const long rows = std::atol(QueryFile(file, "SELECT COUNT(*) FROM FRAMEHIS").c_str());
    EXPECT_GE(rows, 145) << "one day and its last row";
    EXPECT_LE(rows, 145 + 60 / 10) << "at most one deletion interval more";
    const DateTime last = first + DateTimeSpan(3, 0, 0, 0);
    EXPECT_TRUE(GetSensorDataByTime(100100, last - DateTimeSpan(1, 0, 0, 0), 1));
    EXPECT_FALSE(GetSensorDataByTime(100100, last - DateTimeSpan(2, 0, 0, 0), 1));
    VktHost::CloseHost();  // memory gone: the database still answers for the last day
    ASSERT_TRUE(VktHost::LoadHostCatalogue());
    auto sample = GetSensorDataByTime(100100, last - DateTimeSpan(0, 12, 0, 0), 1);
    ASSERT_TRUE(sample);
    EXPECT_FLOAT_EQ(sample->m_fValue, 3 * 144 - 72);
    VktHost::SetHistoryOptions({});
}

TEST(HostLibTest, SysInfoOfANewHostHasOption8) {
    TestHost host;
    auto info = CSysInfoRT::GetSysInfoRT();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->m_nOptions & 8, 8);
    ASSERT_TRUE(ExecSQLStr("UPDATE SYSINFO SET OPTIONS=0"));
    EXPECT_EQ(CSysInfoRT::GetSysInfoRT()->m_nOptions, 0);
}

TEST(HostLibTest, TypesAreSavedAndFound) {
    TestHost host;
    EXPECT_FALSE(GetRTUType(100));
    EXPECT_EQ(SaveDBObj(2, kObjRTUType, CRTUType(100, "风电站")), 1);
    auto type = GetRTUType(100);
    ASSERT_TRUE(type);
    EXPECT_EQ(type->m_strName, "风电站");

    CDataType data;
    data.m_nID = 7000;
    data.m_strName = "1层10分钟平均风速";
    data.m_strUnit = "m/s";
    data.m_nCategory = 5;
    data.m_strCategory = "风速";
    EXPECT_EQ(SaveDBObj(2, kObjDataType, data), 1);
    auto found = GetDataType(7000);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->m_strName, data.m_strName);
    EXPECT_EQ(found->m_strUnit, "m/s");
    EXPECT_EQ(found->m_nCategory, 5);
    EXPECT_FALSE(GetDataType(7001));
    // A data type handed over as an RTU type is refused.
    EXPECT_EQ(SaveDBObj(2, kObjRTUType, data), 0);
}

TEST(HostLibTest, HostStatementIsReservedAndCloseDBReopens) {
    TestHost host;
    SQLHSTMT hstmt = LockHSTMT();
    ASSERT_NE(hstmt, nullptr);
    ASSERT_TRUE(Odbc::Succeeded(Odbc::ExecOn(hstmt, "SELECT COUNT(*) FROM RTU")));
    ASSERT_TRUE(Odbc::FetchRow(hstmt));
    EXPECT_EQ(OdbcRow(hstmt).Text(1), "5");
    UnLockHSTMT(hstmt);
    CloseDB();
    EXPECT_EQ(ExecSQLStr("DELETE FROM RTU WHERE ID=40"), 1);
    EXPECT_EQ(ExecSQLStr("THIS IS NOT SQL"), 0);
}

// The guard lets the statement go on every way out of its scope: another thread can
// then reserve the statement.
TEST(HostLibTest, HostStatementGuardReleasesOnEveryExit) {
    TestHost host;
    const auto otherThreadCanReserve = [] {
        auto other = std::async(std::launch::async, [] {
            const SQLHSTMT hstmt = LockHSTMT();
            UnLockHSTMT(hstmt);
            return true;
        });
        return other.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    };
    const auto firstId = [](bool leaveEarly) -> std::string {
        HostStatement hstmt;
        if (!hstmt) return "<no statement>";
        if (leaveEarly) return "<left early>";
        if (!Odbc::Succeeded(Odbc::ExecOn(hstmt.Get(), "SELECT MIN(ID) FROM RTU")) ||
            !Odbc::FetchRow(hstmt.Get())) {
            return "<failed>";
        }
        return OdbcRow(hstmt.Get()).Text(1);
    };
    EXPECT_EQ(firstId(false), "1");
    EXPECT_TRUE(otherThreadCanReserve());
    EXPECT_EQ(firstId(true), "<left early>");
    EXPECT_TRUE(otherThreadCanReserve());
    // Without VKTCOMM.MDB there is no statement, and the lock is still let go.
    CloseDB();
    std::filesystem::rename(host.Path("VKTCOMM.MDB"), host.Path("away.MDB"));
    EXPECT_EQ(firstId(false), "<no statement>");
    EXPECT_TRUE(otherThreadCanReserve());
    std::filesystem::rename(host.Path("away.MDB"), host.Path("VKTCOMM.MDB"));
}

TEST(HostLibTest, DataSourceConnectionsAndDiagnosticsInTheErrorLog) {
    TestHost host;
    SQLHDBC hdbc = nullptr;
    ASSERT_EQ(OpenDatabase("DAVAD", "fd", "wendol", &hdbc), 1)
        << ReadWholeFile(host.Path(ErrorLog::FileName()));
    ASSERT_NE(hdbc, nullptr);
    SQLHSTMT hstmt = nullptr;
    ASSERT_EQ(SQLAllocStmtWithErrorInfo(hdbc, &hstmt), 1);
    EXPECT_EQ(Odbc::ExecOn(hstmt, "INSERT INTO NO_SUCH_TABLE VALUES(1)"), SQL_ERROR);
    WriteSQLErrorInfo(hdbc, hstmt);
    SQLFreeStmtWithErrorInfo(hdbc, hstmt);
    CloseDatabase(&hdbc);
    EXPECT_EQ(hdbc, nullptr);
    CloseDatabase(&hdbc);  // a null handle is allowed

    EXPECT_EQ(OpenDatabase("NO_SUCH_SOURCE", "fd", "wendol", &hdbc), 0);
    EXPECT_EQ(hdbc, nullptr);
    const std::string log = ReadWholeFile(host.Path(ErrorLog::FileName()));
    EXPECT_NE(log.find("no such table: NO_SUCH_TABLE"), std::string::npos) << log;
    EXPECT_NE(log.find("NO_SUCH_SOURCE"), std::string::npos) << log;
}

TEST(HostLibTest, MessageWindowAndListTexts) {
    std::vector<std::string> lines;
    VktHost::SetMessageWindow([&](const std::string& text) { lines.push_back(text); });
    CVKTAcqThread::ReportMsg(2, 0, "", 0, 1, "WP Error SQL: x\n", 0);
    VktHost::SetMessageWindow(nullptr);
    EXPECT_EQ(lines, (std::vector<std::string>{"WP Error SQL: x\n"}));

    EXPECT_EQ(GetIDFromNameID("T1(12)"), 12);
    EXPECT_EQ(GetIDFromNameID("A(b)(7)"), 7);
    EXPECT_EQ(GetIDFromNameID("no number"), 0);
}

}  // namespace
