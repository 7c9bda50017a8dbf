#include "storage/WPLocalDB.h"

#include <filesystem>
#include <vector>

#include "hostlib/VktBase.h"
#include "model/Catalogue.h"
#include "platform/Clock.h"
#include "platform/OdbcHandles.h"
#include "storage/StationSchema.h"
#include "storage/TowerRow.h"
#include "storage/WPSettings.h"

namespace {

constexpr int kHourlyType = 1;
// "UPDATE RTTOWER SET " and "UPDATE HSTOWER SET " are shorter: nothing assigned.
constexpr size_t kShortestUpdate = 22;

// The Access lock for one scope.
class AccessGuard {
public:
    AccessGuard() { GlobalLockAccess(); }
    ~AccessGuard() { GlobalUnLockAccess(); }
    AccessGuard(const AccessGuard&) = delete;
    AccessGuard& operator=(const AccessGuard&) = delete;
};

std::function<void(const std::string&)> g_observer;

void Observe(const std::string& sql) {
    if (g_observer) g_observer(sql);
}

void Report(const std::string& message) {
    CVKTAcqThread::ReportMsg(2, 0, "", 0, 1, message, MessageLayer::GetThreadMainWindow());
}

// Station rows keep abnormal values and, on update, leave RAIN alone.
const RowRules kInsertRules{false, true, 0};
const RowRules kUpdateRules{false, false, 0};

}  // namespace

void SetStationStatementObserver(std::function<void(const std::string&)> observer) {
    AccessGuard guard;
    g_observer = std::move(observer);
}

CWPLocalDB::CWPLocalDB(int32_t nRTUID, std::string workingDir, int retentionPollMs)
    : m_nRTUID(nRTUID),
      m_strWorkingDir(std::move(workingDir)),
      m_nRetentionPollMs(retentionPollMs) {}

CWPLocalDB::~CWPLocalDB() {
    m_pDeleteThread.reset();  // stops it; a deletion under way finishes first
    AccessGuard guard;
    CloseLocalDB();
}

std::string CWPLocalDB::FilePath() const {
    return m_strWorkingDir + "/WPData/WP_" + std::to_string(m_nRTUID) + ".MDB";
}

std::string CWPLocalDB::DataSourceName() const {
    return "WP_" + std::to_string(m_nRTUID);
}

bool CWPLocalDB::LocalDBExists() const {
    std::error_code ec;
    return std::filesystem::exists(FilePath(), ec);
}

void CWPLocalDB::RegisterDataSource() {
    // WAL with NORMAL synchronisation: a committed row survives a crash of the
    // process, and single-row statements stay cheap. The time-out bounds the wait
    // for another connection's lock.
    Odbc::RegisterSystemDataSource(
        kDriver, {"DSN=" + DataSourceName(), "Database=" + FilePath(), "JournalMode=WAL",
                  "SyncPragma=NORMAL", "Timeout=10000"});
}

void CWPLocalDB::StartRetentionThread() {
    if (m_pDeleteThread) return;
    m_pDeleteThread = std::make_unique<CDeleteMyDeadData>(m_nRetentionPollMs);
    m_pDeleteThread->m_pOwner = this;
    m_pDeleteThread->CreateThread();
}

bool CWPLocalDB::CreateLocalDB() {
    if (LocalDBExists()) {
        RegisterDataSource();
        return true;
    }
    {
        // Connecting creates the file; a folder that is missing makes it fail.
        OdbcConnection creation;
        if (!creation.DriverConnect(std::string("DRIVER={") + kDriver + "};Database=" + FilePath(),
                                    kLoginTimeoutSeconds)) {
            return false;
        }
        // Each text on its own: one that fails (on SQLite the second IDXTM, whose name
        // is already taken in the file) does not keep the next from running.
        for (const std::string& sql :
             {StationSchema::CreateRTTower(), std::string(StationSchema::kIndexRTTower),
              StationSchema::CreateHSTower(), std::string(StationSchema::kIndexHSTower)}) {
            Odbc::ExecDirect(creation.Get(), sql);
        }
    }
    RegisterDataSource();
    StartRetentionThread();
    return true;
}

bool CWPLocalDB::OpenLocalDB() {
    CreateLocalDB();
    if (!OpenDatabase(DataSourceName(), "", kPassword, &m_hDbc)) return false;
    StartRetentionThread();
    return true;
}

void CWPLocalDB::CloseLocalDB() {
    CloseDatabase(&m_hDbc);
}

SQLHSTMT CWPLocalDB::GetLocalStmt() {
    if (!m_hDbc && !OpenLocalDB()) return nullptr;
    SQLHSTMT hstmt = nullptr;
    if (!SQLAllocStmtWithErrorInfo(m_hDbc, &hstmt)) {
        CloseLocalDB();
        return nullptr;
    }
    return hstmt;
}

SQLRETURN CWPLocalDB::RunLocalStatement(SQLHSTMT hstmt, const std::string& sql,
                                        const char* errorPrefix) {
    Observe(sql);
    std::vector<SQLCHAR> text(sql.begin(), sql.end());  // sized to the statement
    text.push_back(0);
    const SQLRETURN rc = SQLExecDirect(hstmt, text.data(), SQL_NTS);
    if (rc < 0) {
        const std::string message = errorPrefix + sql;
        WriteErrorInfo(message);
        Report(message);
        WriteSQLErrorInfo(m_hDbc, hstmt);
        SQLFreeStmtWithErrorInfo(m_hDbc, hstmt);
        CloseLocalDB();
    } else if (rc == SQL_SUCCESS_WITH_INFO) {
        WriteErrorInfo("CSaveHisData Succeed But With Info: " + sql);
        WriteSQLErrorInfo(m_hDbc, hstmt);
    }
    return rc;
}

bool CWPLocalDB::ExecLocalSQL(const std::string& sql) {
    AccessGuard guard;
    SQLHSTMT hstmt = GetLocalStmt();
    if (!hstmt) return false;
    if (RunLocalStatement(hstmt, sql, "Wind Power SaveHisData Error: ") < 0) return false;
    SQLFreeStmtWithErrorInfo(m_hDbc, hstmt);
    return true;  // every other code, SQL_NO_DATA of a delete that found nothing included
}

bool CWPLocalDB::LocalRowExists(const DateTime& time, bool bRTTower) {
    AccessGuard guard;
    SQLHSTMT hstmt = GetLocalStmt();
    if (!hstmt) return false;
    const std::string query = std::string("SELECT [TIME] FROM ") +
                              (bRTTower ? "RTTOWER" : "HSTOWER") +
                              " WHERE TIME = " + TimeLiteral(time);
    const SQLRETURN rc = RunLocalStatement(hstmt, query, "CSaveHisData Error SQL : ");
    if (rc < 0) return false;
    bool exists = false;
    if (rc == SQL_SUCCESS) {  // with information it counts as no row
        const SQLRETURN fetched = SQLFetch(hstmt);
        exists = fetched == SQL_SUCCESS || fetched == SQL_SUCCESS_WITH_INFO;
    }
    SQLFreeStmtWithErrorInfo(m_hDbc, hstmt);
    return exists;
}

bool CWPLocalDB::SaveLocalData(const CTowerRecord& record) {
    SaveLocalRT(record);
    return SaveLocalHis(record);
}

bool CWPLocalDB::SaveLocalRT(const CTowerRecord& record) {
    if (LocalRowExists(record.m_tTime, true)) return UpdateLocalRT(record);
    return ExecLocalSQL(InsertStatement("INSERT INTO RTTOWER([TIME],",
                                        " VALUES(" + TimeLiteral(record.m_tTime) + ",",
                                        TowerRowValues(record, RowSet::TenMinute, kInsertRules)));
}

bool CWPLocalDB::UpdateRow(const CTowerRecord& record, bool bRTTower) {
    const RowSet set = bRTTower ? RowSet::TenMinute : RowSet::Hourly;
    std::string sql = std::string(bRTTower ? "UPDATE RTTOWER SET " : "UPDATE HSTOWER SET ") +
                      Assignments(TowerRowValues(record, set, kUpdateRules));
    if (sql.size() < kShortestUpdate) return false;
    sql.pop_back();
    sql += " WHERE TIME=" + TimeLiteral(record.m_tTime);
    if (!bRTTower) sql += " AND TYPE=" + std::to_string(kHourlyType);
    return ExecLocalSQL(sql);
}

bool CWPLocalDB::UpdateLocalRT(const CTowerRecord& record) {
    return UpdateRow(record, true);
}

bool CWPLocalDB::SaveLocalHis(const CTowerRecord& record) {
    if (!IsFullHour(record.m_tTime)) return false;
    if (LocalRowExists(record.m_tTime, false)) return UpdateLocalHis(record);
    return ExecLocalSQL(InsertStatement(
        "INSERT INTO HSTOWER([TIME],TYPE,",
        " VALUES(" + TimeLiteral(record.m_tTime) + "," + std::to_string(kHourlyType) + ",",
        TowerRowValues(record, RowSet::Hourly, kInsertRules)));
}

bool CWPLocalDB::UpdateLocalHis(const CTowerRecord& record) {
    if (!IsFullHour(record.m_tTime)) return false;
    return UpdateRow(record, false);
}

void CWPLocalDB::DeleteDeadData() {
    const DateTime now = ProcessClock::Now();
    const DateTime today(now.GetYear(), now.GetMonth(), now.GetDay(), 0, 0, 0);
    const DateTime cutOff = today - DateTimeSpan(365L * WPSettings::Get()->m_nDataLen, 0, 0, 0);
    ExecLocalSQL("DELETE FROM RTTOWER WHERE TIME < " + TimeLiteral(cutOff));
    ExecLocalSQL("DELETE FROM HSTOWER WHERE TIME < " + TimeLiteral(cutOff));
}
