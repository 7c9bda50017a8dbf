#include "storage/BackendDB.h"

#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <vector>

#include "hostlib/VktBase.h"
#include "platform/Clock.h"
#include "platform/OdbcQuery.h"
#include "storage/MessageWindow.h"
#include "storage/WPSettings.h"

namespace {

// While the backend stays unreachable, at most one error-log line in this time.
constexpr double kOutageLineSeconds = 60.0;

// How the driver refused a statement. PostgreSQL reports a broken constraint in
// SQLSTATE class 23, a duplicate key as 23505; the SQLite driver reports both as HY000
// with SQLite's native code 19, a duplicate key with "UNIQUE constraint failed" (older
// versions: "PRIMARY KEY must be unique", "... not unique"). A statement that met a
// server going away or one that takes no writes (a standby, or a primary demoted to
// one) is Lost: it says nothing about the row, which is written once a writable server
// answers. PostgreSQL: class 08 (connection), 57P01-57P03 (shut down, crashed,
// starting), 25006 (read-only transaction); the driver's own 08S01 for a dead link.
enum class Refusal { Other, Constraint, Duplicate, Lost };

bool IsLostServerState(const std::string& code) {
    return code.rfind("08", 0) == 0 || code == "57P01" || code == "57P02" || code == "57P03" ||
           code == "25006";
}

Refusal RefusalOf(SQLSMALLINT handleType, SQLHANDLE handle) {
    SQLCHAR state[6] = {0};
    SQLINTEGER native = 0;
    SQLCHAR message[512] = {0};
    SQLSMALLINT length = 0;
    if (!Odbc::Succeeded(SQLGetDiagRec(handleType, handle, 1, state, &native, message,
                                       sizeof message, &length))) {
        return Refusal::Other;
    }
    const std::string code(reinterpret_cast<const char*>(state));
    if (IsLostServerState(code)) return Refusal::Lost;
    if (code == "23505") return Refusal::Duplicate;
    if (code.rfind("23", 0) == 0) return Refusal::Constraint;
    if (code != "HY000" || native != 19) return Refusal::Other;
    const std::string text(reinterpret_cast<const char*>(message));
    for (const char* duplicate : {"UNIQUE constraint failed", "must be unique", "not unique"}) {
        if (text.find(duplicate) != std::string::npos) return Refusal::Duplicate;
    }
    return Refusal::Constraint;
}

// Limits the PostgreSQL client enforces itself, for a server it can no longer reach:
// keepalive probes after 10 s of silence, every 5 s, 3 unanswered ones end the
// connection; data unacknowledged for 30 s ends it; a connect gives up on a server
// after 10 s. A data source may name several servers (Servername=H1,H2, one Port):
// they are tried in order, each with its own 10 s, and only one that takes writes is
// kept, so a hot standby is passed over until it is promoted. Other drivers ignore
// the attribute.
constexpr const char* kClientLimits =
    "pqopt={keepalives=1 keepalives_idle=10 keepalives_interval=5 keepalives_count=3 "
    "tcp_user_timeout=30000 connect_timeout=10 target_session_attrs=read-write}";

// psqlODBC wraps every statement of a transaction in a savepoint of its own, so that
// a refused statement leaves the transaction usable (its rollback level 2): one more
// subtransaction for every row. A backend transaction here ends at its first refused
// statement anyway; at level 1 a refusal rolls the transaction back, without the
// savepoints. Other drivers ignore the attribute.
constexpr const char* kRollbackLevel = "Protocol=7.4-1";

// The connection string with the client's limits; empty when a text cannot be put
// into one as it is (a ";" or a brace would end or open a value).
std::string LimitedConnectionString(const std::string& source, const std::string& user,
                                    const std::string& password) {
    for (const std::string* text : {&source, &user, &password}) {
        if (text->find_first_of(";{}") != std::string::npos) return {};
    }
    return "DSN=" + source + ";UID=" + user + ";PWD=" + password + ";" + kClientLimits + ";" +
           kRollbackLevel;
}

// Whether the connection's server takes several statements in one call (as one query).
bool ServerTakesBatches(SQLHDBC connection) {
    SQLCHAR name[64] = {0};
    SQLSMALLINT length = 0;
    if (!Odbc::Succeeded(SQLGetInfo(connection, SQL_DBMS_NAME, name, sizeof name, &length))) {
        return false;
    }
    return std::string(reinterpret_cast<const char*>(name)) == "PostgreSQL";
}

BackendOutcome OutcomeOf(const StatementResult& result, bool lost) {
    if (!result.bRan || lost) return BackendOutcome::NotRun;
    return result.Failed() ? BackendOutcome::Failed : BackendOutcome::Done;
}

}  // namespace

CBackendDB::CBackendDB(const CWPSettingsStore& settings) : m_settings(settings) {}

CBackendDB::~CBackendDB() {
    DisconnectBackend();
}

int CBackendDB::ConnectBackend() {
    RecursiveMutexLock guard(m_lock);
    const auto settings = m_settings.Get();
    CloseConnection();
    const std::string limited = LimitedConnectionString(settings->m_strSource, settings->m_strUser,
                                                        settings->m_strPassword);
    // A text that cannot go into a connection string is handed over by itself instead.
    const bool connected = limited.empty()
                               ? m_connection.Connect(settings->m_strSource, settings->m_strUser,
                                                      settings->m_strPassword, kLoginTimeoutSeconds)
                               : m_connection.DriverConnect(limited, kLoginTimeoutSeconds);
    if (!connected) {
        NoteUnreachable(settings->m_strSource, m_connection.LastError());
        return 0;
    }
    SQLSetConnectAttr(m_connection.Get(), SQL_ATTR_CONNECTION_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(kQueryTimeoutSeconds)), 0);
    m_bBatches = ServerTakesBatches(m_connection.Get());
    NoteReachable(settings->m_strSource);
    // A transaction open on this thread goes on on the new connection.
    if (m_nTransactionDepth > 0) SetManualCommit(true);
    return 1;
}

void CBackendDB::NoteUnreachable(const std::string& source, const std::string& diagnostics) {
    const DateTime now = ProcessClock::Now();
    if (!m_bUnreachable) {
        m_bUnreachable = true;
        m_tLastOutageLine = now;
        m_nLostSinceLine = 0;
        m_nLostInOutage = 0;
        WriteErrorInfo("Cannot connect to the backend data source " + source +
                       "; backend rows are not written until it answers: " + diagnostics);
        return;
    }
    if ((now - m_tLastOutageLine).GetTotalSeconds() < kOutageLineSeconds) return;
    WriteErrorInfo("The backend data source " + source + " is still unreachable; " +
                   std::to_string(m_nLostSinceLine) +
                   " statements not run since the last line (their rows wait in the station "
                   "files for the refill)");
    m_tLastOutageLine = now;
    m_nLostSinceLine = 0;
}

void CBackendDB::NoteReachable(const std::string& source) {
    if (!m_bUnreachable) return;
    m_bUnreachable = false;
    WriteErrorInfo("The backend data source " + source + " answers again; " +
                   std::to_string(m_nLostInOutage) +
                   " statements not run while it was unreachable (their rows are refilled from "
                   "the station files)");
}

void CBackendDB::DisconnectBackend() {
    RecursiveMutexLock guard(m_lock);
    CloseConnection();
}

void CBackendDB::CloseConnection() {
    if (m_bManualCommit) {
        // A driver refuses to disconnect in the middle of a transaction (SQLite's keeps
        // its handle, and the file's write lock with it): end the transaction first.
        SQLEndTran(SQL_HANDLE_DBC, m_connection.Get(), SQL_ROLLBACK);
        m_bManualCommit = false;
    }
    if (m_nTransactionDepth > 0 && m_connection.IsOpen()) m_bTransactionLost = true;
    m_connection.Close();
    m_bBatches = false;
}

bool CBackendDB::SetManualCommit(bool manual) {
    const SQLRETURN rc = SQLSetConnectAttr(m_connection.Get(), SQL_ATTR_AUTOCOMMIT,
                                           reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(
                                               manual ? SQL_AUTOCOMMIT_OFF : SQL_AUTOCOMMIT_ON)),
                                           0);
    if (!Odbc::Succeeded(rc)) {
        WriteErrorInfo(std::string("The backend connection refuses to turn autocommit ") +
                       (manual ? "off" : "on") + ": " +
                       Odbc::Diagnostics(SQL_HANDLE_DBC, m_connection.Get()));
        return false;
    }
    m_bManualCommit = manual;
    return true;
}

void CBackendDB::BeginTransaction() {
    if (m_nTransactionDepth++ > 0) return;
    m_bTransactionLost = false;
    // Without a connection the first statement opens one, in this mode.
    if (m_connection.IsOpen()) SetManualCommit(true);
}

bool CBackendDB::CommitTransaction() {
    if (m_bTransactionLost) return false;
    // Nothing ran, or the driver keeps autocommit on: each statement is committed.
    if (m_nTransactionDepth > 1 || !m_bManualCommit) return true;
    if (Odbc::Succeeded(SQLEndTran(SQL_HANDLE_DBC, m_connection.Get(), SQL_COMMIT))) return true;
    const std::string message = "WP Error SQL: the backend refused to commit a transaction";
    const bool lost = RefusalOf(SQL_HANDLE_DBC, m_connection.Get()) == Refusal::Lost;
    WriteErrorInfo(message + ": " + Odbc::Diagnostics(SQL_HANDLE_DBC, m_connection.Get()));
    ReportToMessageWindow(message);
    // A refused commit (a deferred constraint) leaves the connection sound once the
    // transaction is rolled back; one that cannot even roll back is not kept, nor one
    // whose server went away meanwhile.
    if (lost || !Odbc::Succeeded(SQLEndTran(SQL_HANDLE_DBC, m_connection.Get(), SQL_ROLLBACK))) {
        CloseConnection();
        m_bTransactionLost = false;
    }
    return false;
}

void CBackendDB::EndTransaction(bool committed) {
    if (--m_nTransactionDepth > 0) {
        if (!committed) m_bTransactionLost = true;
        return;
    }
    m_bTransactionLost = false;
    if (!m_bManualCommit) return;
    SQLEndTran(SQL_HANDLE_DBC, m_connection.Get(), SQL_ROLLBACK);
    // A connection left without autocommit would hold every later statement in a
    // transaction nobody commits: closed instead.
    if (!SetManualCommit(false)) CloseConnection();
}

CBackendTransaction::CBackendTransaction(CBackendDB& backend) : m_backend(backend) {
    backend.BackendLock().Lock();
    backend.BeginTransaction();
}

CBackendTransaction::~CBackendTransaction() {
    {
        RecursiveMutexLock guard(m_backend.m_lock);
        m_backend.EndTransaction(m_bCommitted);
    }
    m_backend.BackendLock().Unlock();
}

bool CBackendTransaction::Commit() {
    RecursiveMutexLock guard(m_backend.m_lock);
    m_bCommitted = m_backend.CommitTransaction();
    return m_bCommitted;
}

BackendOutcome CBackendTransaction::CommitOutcome() {
    if (Commit()) return BackendOutcome::Done;
    return m_backend.IsConnected() ? BackendOutcome::Failed : BackendOutcome::NotRun;
}

namespace {

// Runs the statements `group` names in one transaction, as RunBackendUnit tells; false
// once the backend cannot be had.
bool RunGroup(CBackendDB& backend, const std::vector<size_t>& group,
              const std::function<BackendOutcome(size_t)>& run,
              std::vector<BackendOutcome>& outcomes) {
    size_t start = 0;
    while (start < group.size()) {
        size_t at = start;
        BackendOutcome outcome = BackendOutcome::Done;
        bool committed = false;
        {
            CBackendTransaction transaction(backend);
            for (; at < group.size(); ++at) {
                outcome = run(group[at]);
                if (outcome != BackendOutcome::Done) break;
            }
            if (at == group.size()) committed = transaction.Commit();
        }
        const std::vector<size_t> before(group.begin() + static_cast<std::ptrdiff_t>(start),
                                         group.begin() + static_cast<std::ptrdiff_t>(at));
        if (at == group.size()) {
            if (committed) {
                for (size_t i : before) outcomes[i] = BackendOutcome::Done;
                return true;
            }
            // A refused commit names no statement: each on its own finds the one. A
            // commit that lost its connection refused nothing: the backend went away.
            if (!backend.IsConnected()) return false;
            if (before.size() == 1) {
                outcomes[before[0]] = BackendOutcome::Failed;
                return true;
            }
            for (size_t i : before) {
                if (!RunGroup(backend, {i}, run, outcomes)) return false;
            }
            return true;
        }
        outcomes[group[at]] = outcome;
        if (outcome == BackendOutcome::NotRun) return false;
        // Rolled back with the refused one: sent again, without it.
        if (!before.empty() && !RunGroup(backend, before, run, outcomes)) return false;
        start = at + 1;
    }
    return true;
}

}  // namespace

std::vector<BackendOutcome> RunBackendUnit(CBackendDB& backend, size_t count,
                                           const std::function<BackendOutcome(size_t)>& run) {
    std::vector<BackendOutcome> outcomes(count, BackendOutcome::NotRun);
    std::vector<size_t> all(count);
    for (size_t i = 0; i < count; ++i) all[i] = i;
    if (count > 0) RunGroup(backend, all, run, outcomes);
    return outcomes;
}

namespace {

// The unit's statements in batches, in one transaction: Done when it committed, NotRun
// when the backend went away, Failed when a statement or the commit was refused.
BackendOutcome RunInBatches(CBackendDB& backend, const std::vector<std::string>& texts) {
    CBackendTransaction transaction(backend);
    const BackendOutcome outcome = backend.ExecBackendBatch(texts);
    return outcome == BackendOutcome::Done ? transaction.CommitOutcome() : outcome;
}

}  // namespace

std::vector<BackendOutcome> RunBackendUnit(CBackendDB& backend,
                                           const std::vector<std::string>& texts,
                                           const std::function<BackendOutcome(size_t)>& run) {
    if (texts.size() > 1 && backend.TakesStatementBatches()) {
        const BackendOutcome outcome = RunInBatches(backend, texts);
        if (outcome != BackendOutcome::Failed) {
            return std::vector<BackendOutcome>(texts.size(), outcome);
        }
    }
    return RunBackendUnit(backend, texts.size(), run);
}

OdbcStatement CBackendDB::GetBackendStmt() {
    if (!m_connection.IsOpen() && !ConnectBackend()) return {};
    SQLHSTMT hstmt = nullptr;
    if (!SQLAllocStmtWithErrorInfo(m_connection.Get(), &hstmt)) {
        DisconnectBackend();
        return {};
    }
    return OdbcStatement(hstmt);
}

void CBackendDB::Observe(const std::string& sql) {
    MutexLock guard(m_observerLock);
    if (m_observer) m_observer(sql);
}

void CBackendDB::SetStatementObserver(std::function<void(const std::string&)> observer) {
    MutexLock guard(m_observerLock);
    m_observer = std::move(observer);
}

StatementResult CBackendDB::RunStatement(const std::string& sql, const RunOptions& options,
                                         const std::function<void(SQLHSTMT, SQLRETURN)>& onSuccess,
                                         Refused* refused) {
    RecursiveMutexLock guard(m_lock);
    OdbcStatement stmt = GetBackendStmt();
    if (!stmt) {
        CountNotRun();
        return {};
    }
    Observe(sql);
    const SQLRETURN rc = Odbc::ExecOn(stmt.Get(), sql);
    if (rc < 0) {
        // A broken constraint says nothing about the connection: it stays.
        const Refusal refusal = RefusalOf(SQL_HANDLE_STMT, stmt.Get());
        const bool broken = refusal == Refusal::Constraint || refusal == Refusal::Duplicate;
        if (refused) {
            refused->duplicate = refusal == Refusal::Duplicate;
            refused->lost = refusal == Refusal::Lost;
        }
        if (refusal == Refusal::Duplicate && options.quietDuplicate) return {true, rc};
        const bool answered = refusal != Refusal::Lost;
        if (answered) m_strLastRefusal = Odbc::Diagnostics(SQL_HANDLE_STMT, stmt.Get());
        // A refused row after the first of its run is only counted.
        if (!(answered && options.rowRefusals) || m_rowRefusals.Failed()) {
            const std::string message =
                "WP Error SQL: " + Odbc::LogText(sql) + (options.newLine ? "\n" : "");
            WriteErrorInfo(message);
            if (options.withDiagnostics) WriteSQLErrorInfo(m_connection.Get(), stmt.Get());
            ReportToMessageWindow(message);
        }
        stmt.Reset();
        if (!broken) DisconnectBackend();
        return {true, rc};
    }
    onSuccess(stmt.Get(), rc);
    return {true, rc};
}

void CBackendDB::CountNotRun() {
    if (!m_bUnreachable) return;
    ++m_nLostSinceLine;
    ++m_nLostInOutage;
    ++m_nLostTotal;
}

bool CBackendDB::TakesStatementBatches() {
    RecursiveMutexLock guard(m_lock);
    return m_bBatches;
}

BackendOutcome CBackendDB::RunBatch(const std::vector<std::string>& texts,
                                    const std::function<bool(SQLHSTMT)>& read) {
    RecursiveMutexLock guard(m_lock);
    OdbcStatement stmt = GetBackendStmt();
    if (!stmt) {
        for (size_t i = 0; i < texts.size(); ++i) CountNotRun();
        return BackendOutcome::NotRun;
    }
    std::string joined;
    for (const std::string& text : texts) {
        Observe(text);
        if (!joined.empty()) joined += ';';
        joined += text;
    }
    if (Odbc::ExecOn(stmt.Get(), joined) >= 0) {
        return read(stmt.Get()) ? BackendOutcome::Done : BackendOutcome::Failed;
    }
    if (RefusalOf(SQL_HANDLE_STMT, stmt.Get()) != Refusal::Lost) return BackendOutcome::Failed;
    stmt.Reset();
    DisconnectBackend();
    return BackendOutcome::NotRun;
}

BackendOutcome CBackendDB::ExecBackendBatch(const std::vector<std::string>& texts) {
    std::vector<std::string> batch;
    for (size_t i = 0; i < texts.size(); ++i) {
        if (!texts[i].empty()) batch.push_back(texts[i]);
        const bool last = i + 1 == texts.size();
        if (batch.empty() || (batch.size() < kStatementsPerBatch && !last)) continue;
        const BackendOutcome outcome = RunBatch(batch, [](SQLHSTMT) { return true; });
        if (outcome != BackendOutcome::Done) return outcome;
        batch.clear();
    }
    return BackendOutcome::Done;
}

BackendOutcome CBackendDB::BackendRowsExist(const std::vector<std::string>& queries,
                                            std::vector<bool>& exists) {
    exists.assign(queries.size(), false);
    return RunBatch(queries, [&](SQLHSTMT hstmt) {
        // One result set a query, in order.
        for (size_t i = 0; i < queries.size(); ++i) {
            if (i > 0 && !Odbc::Succeeded(SQLMoreResults(hstmt))) return false;
            exists[i] = Odbc::FetchRow(hstmt);
        }
        return true;
    });
}

bool CBackendDB::ExecBackendSQL(const std::string& sql) {
    return !RunStatement(sql, RunOptions{}, [](SQLHSTMT, SQLRETURN) {}).Failed();
}

BackendOutcome CBackendDB::ExecBackendRow(const std::string& sql) {
    RunOptions options;
    options.rowRefusals = true;
    Refused refused;
    const StatementResult result = RunStatement(
        sql, options, [](SQLHSTMT, SQLRETURN) {}, &refused);
    return OutcomeOf(result, refused.lost);
}

std::string CBackendDB::LastRefusal() {
    RecursiveMutexLock guard(m_lock);
    return m_strLastRefusal;
}

bool CBackendDB::IsConnected() {
    RecursiveMutexLock guard(m_lock);
    return m_connection.IsOpen();
}

BackendOutcome CBackendDB::InsertBackendRow(const std::string& sql) {
    RunOptions options;
    options.quietDuplicate = true;
    options.rowRefusals = true;
    Refused refused;
    const StatementResult result = RunStatement(
        sql, options, [](SQLHSTMT, SQLRETURN) {}, &refused);
    if (!result.bRan || refused.lost) return BackendOutcome::NotRun;
    if (!result.Failed()) return BackendOutcome::Done;
    return refused.duplicate ? BackendOutcome::AlreadyPresent : BackendOutcome::Failed;
}

bool CBackendDB::ReadFirstColumn(const std::string& sql, std::vector<std::string>& values) {
    RunOptions options;
    options.withDiagnostics = false;
    options.newLine = false;
    bool read = false;
    RunStatement(sql, options, [&](SQLHSTMT hstmt, SQLRETURN rc) {
        if (rc != SQL_SUCCESS) return;
        read = true;
        Odbc::ForEachRow(hstmt, [&](const OdbcRow& row) { values.push_back(row.Text(1)); });
    });
    return read;
}

bool CBackendDB::BackendRowExists(const std::string& sql, BackendOutcome* outcome) {
    bool exists = false;
    RunOptions options;
    options.withDiagnostics = false;
    options.newLine = false;
    Refused refused;
    const StatementResult result = RunStatement(
        sql, options,
        [&](SQLHSTMT hstmt, SQLRETURN rc) {
            if (rc != SQL_SUCCESS) return;
            exists = Odbc::FetchRow(hstmt);
        },
        &refused);
    if (outcome) *outcome = OutcomeOf(result, refused.lost);
    return exists;
}

bool CBackendDB::CheckPrefix(const std::string& prefix) {
    if (IsSchemaPrefix(prefix)) return true;
    if (!m_bPrefixRefused.exchange(true)) {
        const std::string message = "WP Error: the schema prefix [DATABASE] PRENAME \"" +
                                    Odbc::LogText(prefix) +
                                    "\" is not an SQL name; no backend row is written";
        WriteErrorInfo(message);
        ReportToMessageWindow(message);
    }
    return false;
}
