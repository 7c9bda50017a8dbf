#include "storage/WPLocalDB.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

#include "hostlib/StationFiles.h"
#include "hostlib/VktBase.h"
#include "model/Catalogue.h"
#include "platform/Clock.h"
#include "platform/OdbcHandles.h"
#include "platform/OdbcQuery.h"
#include "platform/System.h"
#include "storage/LocalDataExport.h"
#include "storage/MessageWindow.h"
#include "storage/StationSchema.h"
#include "storage/TowerRow.h"
#include "storage/WPSettings.h"

namespace {

constexpr int kHourlyType = 1;
// "UPDATE RTTOWER SET " and "UPDATE HSTOWER SET " are shorter: nothing assigned.
constexpr size_t kShortestUpdate = 22;

// Station rows keep abnormal values and, on update, leave RAIN alone.
const RowRules kInsertRules{false, true, 0};
const RowRules kUpdateRules{false, false, 0};

// The first bytes of every SQLite database file.
constexpr char kSqliteHeader[] = "SQLite format 3";  // with its terminating zero: 16 bytes

bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

// Whether the file is there, holding bytes that cannot be an SQLite database. A file
// that is missing, empty (SQLite makes it a database on first write), or cannot be
// read is not called damaged: nothing is moved aside on a guess.
bool IsDamaged(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return false;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size == 0) return false;
    std::ifstream file(path, std::ios::binary);
    char header[sizeof kSqliteHeader] = {};
    file.read(header, sizeof header);
    const auto read = static_cast<std::uintmax_t>(file.gcount());
    // Fewer bytes than the header is damage only when that is the whole file.
    if (read < sizeof header && read != size) return false;
    return read < sizeof header || std::memcmp(header, kSqliteHeader, sizeof header) != 0;
}

}  // namespace

CWPLocalDB::CWPLocalDB(int32_t nRTUID, std::string workingDir, const CWPSettingsStore& settings,
                       int retentionPollMs)
    : m_nRTUID(nRTUID),
      m_strWorkingDir(std::move(workingDir)),
      m_settings(settings),
      m_nRetentionPollMs(retentionPollMs),
      m_failures("Station database " + FilePath()) {}

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
    return StationFiles::FilePath(m_strWorkingDir, m_nRTUID);
}

std::string CWPLocalDB::DataSourceName() const {
    return "WP_" + std::to_string(m_nRTUID);
}

bool CWPLocalDB::LocalDBExists() const {
    return Exists(FilePath());
}

bool CWPLocalDB::RegisterDataSource() {
    // WAL with NORMAL synchronisation: a committed row survives a crash of the
    // process, and single-row statements stay cheap (the storage thread makes them
    // durable before the frame spool lets their frames go). The time-out bounds the
    // wait for another connection's lock.
    const bool registered = Odbc::RegisterSystemDataSource(
        kDriver, {"DSN=" + DataSourceName(), "Database=" + System::DriverPath(FilePath()),
                  "JournalMode=WAL", "SyncPragma=NORMAL", "Timeout=10000"});
    if (!registered && !std::exchange(m_bUnregistered, true)) {
        WriteErrorInfo("Station data source " + DataSourceName() +
                       " cannot be registered in odbc.ini (a full disk?); its rows wait until "
                       "it can");
    }
    if (registered) m_bUnregistered = false;
    return registered;
}

void CWPLocalDB::StartRetentionThread() {
    if (m_pDeleteThread) return;
    m_pDeleteThread =
        std::make_unique<CDeleteMyDeadData>([this] { DeleteDeadData(); }, m_nRetentionPollMs);
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
    // A kill here leaves a file without tables; the next open makes them.
    System::KillPoint("station-create");
    StationSchema::MakeMissingTables(creation.Get());
}

bool CWPLocalDB::MoveDamagedAside() {
    CloseLocalDB();
    const std::string path = FilePath();
    const std::string stamped = path + ".damaged-" + ProcessClock::Now().Format("%Y%m%d%H%M%S");
    std::string aside = stamped;
    // A second damaged file within the same second keeps the first.
    for (int n = 2; Exists(aside) || Exists(aside + "-wal"); ++n) {
        aside = stamped + "-" + std::to_string(n);
    }
    // The journals first: a new file must not take up the old one's write-ahead log,
    // and a kill in between leaves the damaged file to be found again.
    for (const char* journal : {"-wal", "-shm"}) {
        if (Exists(path + journal)) System::MoveOver(path + journal, aside + journal);
    }
    if (!System::MoveOver(path, aside)) {
        // The caller counts the failure; only the first of a run is written.
        const int error = errno;
        if (!m_failures.Failing()) {
            WriteErrorInfo("Station database " + path +
                           " is not an SQLite database and cannot be moved aside to " + aside +
                           ": " + std::strerror(error));
        }
        return false;
    }
    WriteErrorInfo("Station database " + path + " is not an SQLite database; moved aside to " +
                   aside + " and made anew");
    return true;
}

bool CWPLocalDB::CreateLocalDB() {
    if (IsDamaged(FilePath()) && !MoveDamagedAside()) return false;
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

bool CWPLocalDB::ConnectLocalDB() {
    if (!CreateLocalDB()) {
        // A file that cannot be made (or a damaged one that cannot be moved aside)
        // cannot be connected to either: the attempt is counted, and only the first of
        // a run goes on to the connect, whose failure says why in the error log.
        if (!m_failures.Failed() || LocalDBExists()) return false;
        return OpenDatabase(DataSourceName(), "", kPassword, &m_hDbc) != 0;
    }
    // A data source that could not be registered was named once; connecting to it
    // again would only repeat that it is missing.
    if (m_bUnregistered && m_failures.Failing()) {
        m_failures.Failed();
        return false;
    }
    if (OpenDatabase(DataSourceName(), "", kPassword, &m_hDbc)) return true;
    m_failures.Failed();
    return false;
}

bool CWPLocalDB::OpenLocalDB() {
    if (!ConnectLocalDB()) return false;
    if (StationSchema::MakeMissingTables(m_hDbc) == StationSchema::TablesCheck::NotADatabase) {
        // It starts like a database, but the driver refuses what follows.
        if (!MoveDamagedAside()) {
            m_failures.Failed();
            return false;
        }
        if (!ConnectLocalDB()) return false;
        StationSchema::MakeMissingTables(m_hDbc);
    }
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
        CloseLocalDB();  // the open below makes the file or its tables
    }
    if (!m_hDbc && !OpenLocalDB()) return {};
    SQLHSTMT hstmt = nullptr;
    if (!SQLAllocStmtWithErrorInfo(m_hDbc, &hstmt)) {
        m_failures.Failed();
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
        // A disk that is full or read-only fails every statement: the first of the run
        // is reported in full, the rest counted.
        if (m_failures.Failed()) {
            const std::string message = errorPrefix + Odbc::LogText(sql);
            WriteErrorInfo(message);
            ReportToMessageWindow(message);
            WriteSQLErrorInfo(m_hDbc, stmt.Get());
        }
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
    return ExecLocalHeld(sql, nullptr);
}

bool CWPLocalDB::ExecLocalHeld(const std::string& sql, long* rows) {
    if (rows) *rows = 0;
    OdbcStatement stmt = GetLocalStmt();
    if (!stmt) {
        ++m_nFailedStatements;
        return false;
    }
    // Every code but an error counts, SQL_NO_DATA of a delete that found nothing included.
    const SQLRETURN rc = RunLocalStatement(stmt, sql, "Wind Power SaveHisData Error: ");
    if (rc < 0) return false;
    // Only a write ends a run of failures: on a read-only file the queries still work.
    m_failures.Succeeded();
    SQLLEN changed = 0;
    if (rows && rc != SQL_NO_DATA && Odbc::Succeeded(SQLRowCount(stmt.Get(), &changed)) &&
        changed > 0) {
        *rows = static_cast<long>(changed);
    }
    return true;
}

bool CWPLocalDB::TableIsEmpty(const char* table) {
    OdbcStatement stmt = GetLocalStmt();
    if (!stmt) return false;
    // Not a statement of the station's own: the observer does not see it.
    if (Odbc::ExecOn(stmt.Get(), std::string("SELECT [TIME] FROM ") + table) != SQL_SUCCESS) {
        return false;
    }
    // A failed fetch is no proof of an empty table.
    return SQLFetch(stmt.Get()) == SQL_NO_DATA;
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
    return Odbc::FetchRow(stmt.Get());
}

bool CWPLocalDB::TEST_SaveLocalData(const CDataFrame& record) {
    SaveLocalRT(record);
    return SaveLocalHis(record);
}

bool CWPLocalDB::SaveLocalRT(const CDataFrame& record) {
    if (LocalRowExists(record.m_tTime, true)) return UpdateLocalRT(record);
    return ExecLocalSQL(InsertStatement("INSERT INTO RTTOWER([TIME],",
                                        " VALUES(" + TimeLiteral(record.m_tTime) + ",",
                                        TowerRowValues(record, RowSet::TenMinute, kInsertRules)));
}

bool CWPLocalDB::UpdateRow(const CDataFrame& record, bool bRTTower) {
    const RowSet set = bRTTower ? RowSet::TenMinute : RowSet::Hourly;
    std::string sql = std::string(bRTTower ? "UPDATE RTTOWER SET " : "UPDATE HSTOWER SET ") +
                      Assignments(TowerRowValues(record, set, kUpdateRules));
    if (sql.size() < kShortestUpdate) return false;
    sql.pop_back();
    sql += " WHERE TIME=" + TimeLiteral(record.m_tTime);
    if (!bRTTower) sql += " AND TYPE=" + std::to_string(kHourlyType);
    return ExecLocalSQL(sql);
}

bool CWPLocalDB::UpdateLocalRT(const CDataFrame& record) {
    return UpdateRow(record, true);
}

bool CWPLocalDB::SaveLocalHis(const CDataFrame& record) {
    if (!IsFullHour(record.m_tTime)) return false;
    if (LocalRowExists(record.m_tTime, false)) return UpdateLocalHis(record);
    return ExecLocalSQL(InsertStatement(
        "INSERT INTO HSTOWER([TIME],TYPE,",
        " VALUES(" + TimeLiteral(record.m_tTime) + "," + std::to_string(kHourlyType) + ",",
        TowerRowValues(record, RowSet::Hourly, kInsertRules)));
}

bool CWPLocalDB::UpdateLocalHis(const CDataFrame& record) {
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
    // A clock that jumped ahead makes every row look old: what a pass took all of is
    // written down, so that it can be told from a tower that never sent anything.
    std::string emptied;
    for (const char* table : {"RTTOWER", "HSTOWER"}) {
        AccessGuard guard;
        long deleted = 0;
        if (!ExecLocalHeld(
                std::string("DELETE FROM ") + table + " WHERE TIME < " + TimeLiteral(cutOff),
                &deleted) ||
            deleted == 0 || !TableIsEmpty(table)) {
            continue;
        }
        emptied += (emptied.empty() ? "all " : " and all ") + std::to_string(deleted) +
                   (deleted == 1 ? " row of " : " rows of ") + table;
    }
    if (emptied.empty()) return;
    WriteErrorInfo("Retention deleted " + emptied + " in " + FilePath() + ", older than " +
                   cutOff.Format() + " (the process clock reads " + now.Format() + ")");
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
    if (!saved) {
        // As after any failed statement: the next use opens the file again, which makes
        // the tables it lacks.
        stmt.Reset();
        CloseLocalDB();
    }
    return saved;
}

bool CWPLocalDB::MakeDurable() {
    // Busy (a reader of another process holds an older snapshot): not all is synced.
    const auto result = QueryTexts("PRAGMA wal_checkpoint(FULL)", 1);
    return !result.empty() && result.front()[0] == "0";
}

std::vector<std::vector<std::string>> CWPLocalDB::QueryTexts(const std::string& query,
                                                             int columns) {
    std::vector<std::vector<std::string>> rows;
    AccessGuard guard;
    if (!LocalDBExists()) return rows;
    OdbcStatement stmt = GetLocalStmt();
    if (!stmt) return rows;
    Odbc::QueryOn(stmt.Get(), query, [&](const OdbcRow& read) {
        std::vector<std::string>& row = rows.emplace_back();
        for (int column = 1; column <= columns; ++column) {
            row.push_back(read.Text(static_cast<SQLUSMALLINT>(column)));
        }
    });
    return rows;
}

void CWPLocalDB::ReadStationRows(const std::string& query, const std::vector<bool>& isText,
                                 const std::function<void(const OdbcBoundRow&)>& copy) {
    OdbcStatement stmt = GetLocalStmt();
    if (!stmt) return;
    if (RunLocalStatement(stmt, query, "CSaveHisData Error SQL : ") != SQL_SUCCESS) return;
    OdbcBoundRow row;
    if (row.Bind(stmt.Get(), isText)) row.ForEach(copy);
}

void CWPLocalDB::OutLocalRange(const CBackendTarget& target, const DateTime& from,
                               const DateTime& to, CExportCounts& counts) {
    ExportStationRange(*this, target, from, to, counts);
}

void CWPLocalDB::OutLocalRT(const CBackendTarget& target, const DateTime& from, const DateTime& to,
                            CExportCounts& counts) {
    ExportStationRows(*this, target, {RowSet::TenMinute}, from, to, counts);
}

void CWPLocalDB::OutLocalHis(const CBackendTarget& target, const DateTime& from, const DateTime& to,
                             CExportCounts& counts) {
    ExportStationRows(*this, target, {RowSet::Hourly}, from, to, counts);
}

bool CWPLocalDB::RefillRange(const CBackendTarget& target, const DateTime& from, const DateTime& to,
                             CExportCounts& counts) {
    std::vector<CRefillChunk> chunk{{this, from, to, std::move(counts)}};
    const bool refilled = RefillChunks(target, chunk);
    counts = std::move(chunk.front().counts);
    return refilled;
}
