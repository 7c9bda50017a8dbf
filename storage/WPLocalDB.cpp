#include "storage/WPLocalDB.h"

#include <filesystem>
#include <vector>

#include "hostlib/VktBase.h"
#include "model/Catalogue.h"
#include "platform/Clock.h"
#include "platform/OdbcHandles.h"
#include "platform/System.h"
#include "storage/StationSchema.h"
#include "storage/TowerRow.h"
#include "storage/WPSettings.h"

namespace {

constexpr int kHourlyType = 1;
// "UPDATE RTTOWER SET " and "UPDATE HSTOWER SET " are shorter: nothing assigned.
constexpr size_t kShortestUpdate = 22;

void Report(const std::string& message) {
    CVKTAcqThread::ReportMsg(2, 0, "", 0, 1, message, MessageLayer::GetThreadMainWindow());
}

// Station rows keep abnormal values and, on update, leave RAIN alone.
const RowRules kInsertRules{false, true, 0};
const RowRules kUpdateRules{false, false, 0};

}  // namespace

CWPLocalDB::CWPLocalDB(int32_t nRTUID, std::string workingDir, const CWPSettingsStore& settings,
                       int retentionPollMs)
    : m_nRTUID(nRTUID),
      m_strWorkingDir(std::move(workingDir)),
      m_settings(settings),
      m_nRetentionPollMs(retentionPollMs) {}

CWPLocalDB::~CWPLocalDB() {
    // Stop the retention thread before releasing it: a pass under way may still
    // reach this object (and its thread pointer) until the thread has ended. The
    // stop itself waits without the Access lock, which the pass needs.
    CDeleteMyDeadData* retention = nullptr;
    {
        AccessGuard guard;
        retention = m_pDeleteThread.get();
    }
    if (retention) retention->StopWorker();
    AccessGuard guard;
    m_pDeleteThread.reset();
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
        kDriver, {"DSN=" + DataSourceName(), "Database=" + System::DriverPath(FilePath()),
                  "JournalMode=WAL", "SyncPragma=NORMAL", "Timeout=10000"});
}

void CWPLocalDB::StartRetentionThread() {
    if (m_pDeleteThread) return;
    m_pDeleteThread = std::make_unique<CDeleteMyDeadData>(m_nRetentionPollMs);
    m_pDeleteThread->m_pOwner = this;
    m_pDeleteThread->CreateThread();
}

long CWPLocalDB::RetentionPassCount() {
    AccessGuard guard;
    return m_pDeleteThread ? m_pDeleteThread->PassCount() : -1;
}

void CWPLocalDB::CreateTables() {
    // Connecting creates the file; a folder that is missing makes it fail.
    OdbcConnection creation;
    if (!creation.DriverConnect(Odbc::SqliteConnectionString(FilePath()), kLoginTimeoutSeconds)) {
        return;
    }
    // Each text on its own: one that fails (on SQLite the second IDXTM, whose name
    // is already taken in the file; any table that exists) does not keep the next
    // from running.
    for (const std::string& sql :
         {StationSchema::CreateRTTower(), std::string(StationSchema::kIndexRTTower),
          StationSchema::CreateHSTower(), std::string(StationSchema::kIndexHSTower)}) {
        Odbc::ExecDirect(creation.Get(), sql);
    }
}

bool CWPLocalDB::CreateLocalDB() {
    if (LocalDBExists()) {
        RegisterDataSource();
        return true;
    }
    CreateTables();
    if (!LocalDBExists()) return false;
    RegisterDataSource();
    StartRetentionThread();
    return true;
}

bool CWPLocalDB::OpenLocalDB() {
    CreateLocalDB();
    if (!OpenDatabase(DataSourceName(), "", kPassword, &m_hDbc)) return false;
    RememberOpenFile();
    StartRetentionThread();
    return true;
}

void CWPLocalDB::CloseLocalDB() {
    CloseDatabase(&m_hDbc);
}

void CWPLocalDB::RememberOpenFile() {
    if (const auto identity = System::IdentityOf(FilePath())) m_openFile = *identity;
}

bool CWPLocalDB::OpenFileWasReplaced() {
    const auto identity = System::IdentityOf(FilePath());
    return !identity || *identity != m_openFile;
}

OdbcStatement CWPLocalDB::GetLocalStmt() {
    if (m_hDbc && OpenFileWasReplaced()) {
        // The connection would go on writing into a file no one can see any more.
        WriteErrorInfo("Station database " + FilePath() +
                       " was deleted or replaced while open; making it again");
        CloseLocalDB();
        CreateTables();
        RegisterDataSource();
    }
    if (!m_hDbc && !OpenLocalDB()) return {};
    SQLHSTMT hstmt = nullptr;
    if (!SQLAllocStmtWithErrorInfo(m_hDbc, &hstmt)) {
        CloseLocalDB();
        return {};
    }
    return OdbcStatement(hstmt);
}

void CWPLocalDB::SetStatementObserver(std::function<void(const std::string&)> observer) {
    AccessGuard guard;
    m_observer = std::move(observer);
}

SQLRETURN CWPLocalDB::RunLocalStatement(OdbcStatement& stmt, const std::string& sql,
                                        const char* errorPrefix) {
    if (m_observer) m_observer(sql);
    const SQLRETURN rc = Odbc::ExecOn(stmt.Get(), sql);
    if (rc < 0) {
        ++m_nFailedStatements;
        const std::string message = errorPrefix + Odbc::LogText(sql);
        WriteErrorInfo(message);
        Report(message);
        WriteSQLErrorInfo(m_hDbc, stmt.Get());
        stmt.Reset();
        CloseLocalDB();
    } else if (rc == SQL_SUCCESS_WITH_INFO) {
        WriteErrorInfo("CSaveHisData Succeed But With Info: " + Odbc::LogText(sql));
        WriteSQLErrorInfo(m_hDbc, stmt.Get());
    }
    return rc;
}

bool CWPLocalDB::ExecLocalSQL(const std::string& sql) {
    AccessGuard guard;
    OdbcStatement stmt = GetLocalStmt();
    if (!stmt) {
        ++m_nFailedStatements;
        return false;
    }
    // Every code but an error counts, SQL_NO_DATA of a delete that found nothing included.
    return RunLocalStatement(stmt, sql, "Wind Power SaveHisData Error: ") >= 0;
}

bool CWPLocalDB::LocalRowExists(const DateTime& time, bool bRTTower) {
    AccessGuard guard;
    OdbcStatement stmt = GetLocalStmt();
    if (!stmt) {
        ++m_nFailedStatements;
        return false;
    }
    const std::string query = std::string("SELECT [TIME] FROM ") +
                              (bRTTower ? "RTTOWER" : "HSTOWER") +
                              " WHERE TIME = " + TimeLiteral(time);
    const SQLRETURN rc = RunLocalStatement(stmt, query, "CSaveHisData Error SQL : ");
    if (rc != SQL_SUCCESS) return false;  // with information it counts as no row
    const SQLRETURN fetched = SQLFetch(stmt.Get());
    return fetched == SQL_SUCCESS || fetched == SQL_SUCCESS_WITH_INFO;
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
    const int years = m_settings.Get()->m_nDataLen;
    if (years < 1) {
        // The station files hold what the backend missed: never cut at today.
        WriteErrorInfo("[LOCALDATA] DATALEN is not a whole number of at least 1; no rows of " +
                       FilePath() + " are deleted");
        return;
    }
    const DateTime now = ProcessClock::Now();
    const DateTime today(now.GetYear(), now.GetMonth(), now.GetDay(), 0, 0, 0);
    const DateTime cutOff = today - DateTimeSpan(365L * years, 0, 0, 0);
    if (!cutOff.IsValid()) return;  // further back than any stored row
    ExecLocalSQL("DELETE FROM RTTOWER WHERE TIME < " + TimeLiteral(cutOff));
    ExecLocalSQL("DELETE FROM HSTOWER WHERE TIME < " + TimeLiteral(cutOff));
}

bool CWPLocalDB::ExecLocalTransaction(const std::vector<std::string>& texts) {
    AccessGuard guard;
    OdbcStatement stmt = GetLocalStmt();
    if (!stmt) return false;
    SQLHDBC connection = m_hDbc;
    SQLSetConnectAttr(connection, SQL_ATTR_AUTOCOMMIT,
                      reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
    bool saved = true;
    for (const std::string& text : texts) {
        saved = saved && Odbc::ExecOn(stmt.Get(), text) >= 0;
        SQLFreeStmt(stmt.Get(), SQL_CLOSE);
    }
    SQLEndTran(SQL_HANDLE_DBC, connection, saved ? SQL_COMMIT : SQL_ROLLBACK);
    SQLSetConnectAttr(connection, SQL_ATTR_AUTOCOMMIT,
                      reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    return saved;
}

std::vector<std::vector<std::string>> CWPLocalDB::QueryTexts(const std::string& query,
                                                             int columns) {
    std::vector<std::vector<std::string>> rows;
    AccessGuard guard;
    if (!LocalDBExists()) return rows;
    OdbcStatement stmt = GetLocalStmt();
    if (!stmt || !Odbc::Succeeded(Odbc::ExecOn(stmt.Get(), query))) return rows;
    while (Odbc::Succeeded(SQLFetch(stmt.Get()))) {
        std::vector<std::string>& row = rows.emplace_back();
        for (int column = 1; column <= columns; ++column) {
            row.push_back(Odbc::GetText(stmt.Get(), static_cast<SQLUSMALLINT>(column)));
        }
    }
    return rows;
}
