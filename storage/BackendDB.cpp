#include "storage/BackendDB.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <utility>
#include <vector>

#include "hostlib/VktBase.h"
#include "platform/BackendConnectionString.h"
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
// answers. PostgreSQL: class 08 (connection), class 53 (the server out of disk, memory
// or connections: its matter, not the row's), 57P01-57P03 (shut down, crashed,
// starting), 25006 (read-only transaction); the driver's own 08S01 for a dead link.
enum class Refusal { Other, Constraint, Duplicate, Lost };

// SQLSTATE class 53: the server is out of disk, memory or connections.
bool IsResourceState(const std::string& code) {
    return code.rfind("53", 0) == 0;
}

bool IsLostServerState(const std::string& code) {
    return code.rfind("08", 0) == 0 || IsResourceState(code) || code == "57P01" ||
           code == "57P02" || code == "57P03" || code == "25006";
}

// The SQLSTATE of the handle's first diagnostic record, or empty.
std::string StateOf(SQLSMALLINT handleType, SQLHANDLE handle) {
    SQLCHAR state[6] = {0};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (!Odbc::Succeeded(
            SQLGetDiagRec(handleType, handle, 1, state, &native, nullptr, 0, &length))) {
        return {};
    }
    return reinterpret_cast<const char*>(state);
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

// The product the connection reaches ("PostgreSQL", "SQLite"), or empty.
std::string ProductOf(SQLHDBC connection) {
    SQLCHAR name[64] = {0};
    SQLSMALLINT length = 0;
    if (!Odbc::Succeeded(SQLGetInfo(connection, SQL_DBMS_NAME, name, sizeof name, &length))) {
        return {};
    }
    return reinterpret_cast<const char*>(name);
}

// An SQLite backend in WAL mode with synchronous=NORMAL (its data source's SyncPragma)
// syncs its log only at checkpoints: a confirmation of rows written could then run
// ahead of what a power cut keeps. Every commit is synced, whatever the data source says.
void SyncEveryCommit(SQLHDBC connection, const std::string& product) {
    if (product == "SQLite") Odbc::ExecDirect(connection, "PRAGMA synchronous=FULL");
}

// The cluster and the timeline the server writes on: the timeline is the first part of
// the name of the WAL file being written (a checkpoint's timeline lags behind a
// promotion). Unknown when the server will not tell.
CServerIdentity ServerIdentityOf(SQLHDBC connection) {
    const auto text = Odbc::QueryText(
        connection,
        "SELECT system_identifier::text || ' ' || substr(pg_walfile_name(pg_current_wal_lsn()), 1, "
        "8) FROM pg_control_system()");
    CServerIdentity server;
    if (!text) return server;
    const size_t space = text->find(' ');
    if (space == std::string::npos) return server;
    server.systemId = text->substr(0, space);
    server.timeline = std::strtoll(text->c_str() + space + 1, nullptr, 16);
    return server;
}

// A statement costs the server about a tenth of a millisecond: a call takes as many as
// its round trip would run, so that the round trips stop being the cost.
size_t StatementsPerCallOver(std::chrono::steady_clock::duration roundTrip) {
    const auto tenths =
        std::chrono::duration_cast<std::chrono::microseconds>(roundTrip).count() / 100;
    return std::clamp<size_t>(static_cast<size_t>(std::max<long long>(tenths, 0)),
                              kStatementsPerBatch, kMostStatementsPerBatch);
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
    std::string error;
    const std::string connection = BackendConnection::ConnectionString(
        settings->m_strSource, settings->m_strUser, settings->m_strPassword,
        Odbc::DataSourceValue(settings->m_strSource, "pqopt"), error);
    if (connection.empty()) {
        NoteUnreachable(settings->m_strSource, error);
        return 0;
    }
    if (!m_connection.DriverConnect(connection, kLoginTimeoutSeconds)) {
        NoteUnreachable(settings->m_strSource, m_connection.LastError());
        return 0;
    }
    SQLSetConnectAttr(m_connection.Get(), SQL_ATTR_CONNECTION_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(kQueryTimeoutSeconds)), 0);
    const std::string product = ProductOf(m_connection.Get());
    // Whether the server takes several statements in one call (as one query).
    m_bBatches = product == "PostgreSQL";
    SyncEveryCommit(m_connection.Get(), product);
    if (!AcceptServer(error)) {
        CloseConnection();
        // An operator's matter: said at once, once an outage, whatever began it.
        if (!m_bServerRefusalSaid) {
            WriteErrorInfo("The backend data source " + settings->m_strSource +
                           " reached a server that takes no rows: " + error);
            m_bServerRefusalSaid = true;
        }
        NoteUnreachable(settings->m_strSource, error);
        return 0;
    }
    m_bServerRefusalSaid = false;
    NoteReachable(settings->m_strSource);
    // A transaction open on this thread goes on on the new connection.
    if (m_nTransactionDepth > 0) SetManualCommit(true);
    return 1;
}

bool CBackendDB::AcceptServer(std::string& reason) {
    m_nStatementsPerCall = kStatementsPerBatch;
    // Only PostgreSQL has servers that fail over.
    if (!m_bBatches) return true;
    const auto asked = std::chrono::steady_clock::now();
    const CServerIdentity seen = ServerIdentityOf(m_connection.Get());
    m_nStatementsPerCall = StatementsPerCallOver(std::chrono::steady_clock::now() - asked);
    const CServerIdentity before = m_server.Remembered();
    DateTime from;
    switch (m_server.Check(seen, ProcessClock::Now(), from)) {
        case ServerVerdict::Same:
            return true;
        case ServerVerdict::Changed:
            if (!m_tLookBackFrom.IsValid() || from < m_tLookBackFrom) m_tLookBackFrom = from;
            m_bLookBackDue = true;
            WriteErrorInfo("The backend is another server now (system " + seen.systemId +
                           ", timeline " + std::to_string(seen.timeline) +
                           "; the rows were written on system " + before.systemId + ", timeline " +
                           std::to_string(before.timeline) + "): the station rows after " +
                           from.Format() + " are compared with it again");
            return true;
        case ServerVerdict::Outdated:
            reason = "the server is on timeline " + std::to_string(seen.timeline) +
                     ", older than timeline " + std::to_string(before.timeline) +
                     " the rows were written on: a former primary that was not fenced after "
                     "a failover; no row is written there (stop it, and name the current "
                     "primary in the data source)";
            return false;
    }
    return true;
}

void CBackendDB::RememberServerIn(const std::string& path) {
    RecursiveMutexLock guard(m_lock);
    m_server.Load(path);
}

bool CBackendDB::TakeLookBack(DateTime& from) {
    // Asked at every pass of the writer: the lock only when there is something, so that
    // a statement hung on another thread holds up no idle writer.
    if (!m_bLookBackDue.exchange(false)) return false;
    RecursiveMutexLock guard(m_lock);
    from = std::exchange(m_tLookBackFrom, DateTime::Invalid());
    return from.IsValid();
}

namespace {

// The driver's diagnostics on one line: an outage's line stays one line of the log.
std::string OneLine(const std::string& text) {
    std::string line;
    bool lineBreak = false, space = false;
    for (char c : text) {
        if (c == '\n' || c == '\r') {
            lineBreak = !line.empty();
        } else if (c == '\t' || c == ' ') {
            space = !line.empty();
        } else {
            // The driver's lines are sentences of their own ("Connection refused" then
            // "Is the server running …?"): kept apart.
            if (lineBreak) {
                line += std::string(".;:,").find(line.back()) == std::string::npos ? "; " : " ";
            } else if (space) {
                line += ' ';
            }
            lineBreak = space = false;
            line += c;
        }
    }
    return line;
}

}  // namespace

void CBackendDB::NoteUnreachable(const std::string& source, const std::string& text,
                                 bool wentAway) {
    const std::string diagnostics = OneLine(text);
    const DateTime now = ProcessClock::Now();
    if (!m_bUnreachable) {
        m_bUnreachable = true;
        m_tLastOutageLine = now;
        m_nLostSinceLine = 0;
        m_nLostInOutage = 0;
        WriteErrorInfo((wentAway ? "The backend data source " + source + " went away"
                                 : "Cannot connect to the backend data source " + source) +
                       "; backend rows are not written until it answers: " + diagnostics);
        return;
    }
    if ((now - m_tLastOutageLine).GetTotalSeconds() < kOutageLineSeconds) return;
    WriteErrorInfo("The backend data source " + source + " is still unreachable (" + diagnostics +
                   "); " + std::to_string(m_nLostSinceLine) +
                   " statements not run since the last line (their rows wait in the station "
                   "files for the refill)");
    m_tLastOutageLine = now;
    m_nLostSinceLine = 0;
}

void CBackendDB::NoteWentAway(SQLSMALLINT handleType, SQLHANDLE handle) {
    const std::string diagnostics = Odbc::Diagnostics(handleType, handle);
    m_strLossReason =
        IsResourceState(StateOf(handleType, handle)) ? "backend full: " + OneLine(diagnostics) : "";
    NoteUnreachable(m_settings.Get()->m_strSource, diagnostics, true);
    CountNotRun();
}

std::string CBackendDB::LossReason() {
    RecursiveMutexLock guard(m_lock);
    return m_strLossReason;
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
    const bool lost = RefusalOf(SQL_HANDLE_DBC, m_connection.Get()) == Refusal::Lost;
    if (lost) {
        NoteWentAway(SQL_HANDLE_DBC, m_connection.Get());
    } else {
        const std::string message = "WP Error SQL: the backend refused to commit a transaction";
        WriteErrorInfo(message + ": " + Odbc::Diagnostics(SQL_HANDLE_DBC, m_connection.Get()));
        ReportToMessageWindow(message);
    }
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
bool RunStatementGroup(CBackendDB& backend, const std::vector<size_t>& group,
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
                if (!RunStatementGroup(backend, {i}, run, outcomes)) return false;
            }
            return true;
        }
        outcomes[group[at]] = outcome;
        if (outcome == BackendOutcome::NotRun) return false;
        // Rolled back with the refused one: sent again, without it.
        if (!before.empty() && !RunStatementGroup(backend, before, run, outcomes)) return false;
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
    if (count > 0) RunStatementGroup(backend, all, run, outcomes);
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
        if (refusal == Refusal::Lost) {
            // Not the statement's fault: the error log has the outage's lines; the
            // message window hears of the statement that met it.
            if (refused) refused->lost = true;
            if (!m_bUnreachable) {
                ReportToMessageWindow("WP Error SQL: " + Odbc::LogText(sql) +
                                      (options.newLine ? "\n" : ""));
            }
            NoteWentAway(SQL_HANDLE_STMT, stmt.Get());
            stmt.Reset();
            DisconnectBackend();
            return {true, rc};
        }
        const bool broken = refusal == Refusal::Constraint || refusal == Refusal::Duplicate;
        if (refused) refused->duplicate = refusal == Refusal::Duplicate;
        if (refusal == Refusal::Duplicate && options.quietDuplicate) return {true, rc};
        m_strLastRefusal = Odbc::Diagnostics(SQL_HANDLE_STMT, stmt.Get());
        // A refused row after the first of its run is only counted.
        if (!options.rowRefusals || m_rowRefusals.Failed()) {
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
    NoteWentAway(SQL_HANDLE_STMT, stmt.Get());
    stmt.Reset();
    DisconnectBackend();
    return BackendOutcome::NotRun;
}

BackendOutcome CBackendDB::ExecBackendBatch(const std::vector<std::string>& texts) {
    std::vector<std::string> batch;
    for (size_t i = 0; i < texts.size(); ++i) {
        if (!texts[i].empty()) batch.push_back(texts[i]);
        const bool last = i + 1 == texts.size();
        if (batch.empty() || (batch.size() < StatementsPerCall() && !last)) continue;
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

bool CBackendDB::TEST_ExecBackendSQL(const std::string& sql) {
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

size_t CBackendDB::StatementsPerCall() {
    RecursiveMutexLock guard(m_lock);
    return m_nStatementsPerCall;
}

BackendOutcome CBackendDB::ReadQueries(const std::vector<std::string>& queries,
                                       const std::function<void(size_t, const OdbcRow&)>& visit) {
    RecursiveMutexLock guard(m_lock);
    if (!m_connection.IsOpen() && !ConnectBackend()) {
        CountNotRun();
        return BackendOutcome::NotRun;
    }
    if (!m_bBatches) return BackendOutcome::Failed;
    return RunBatch(queries, [&](SQLHSTMT hstmt) {
        for (size_t i = 0; i < queries.size(); ++i) {
            if (i > 0 && !Odbc::Succeeded(SQLMoreResults(hstmt))) return false;
            Odbc::ForEachRow(hstmt, [&](const OdbcRow& row) { visit(i, row); });
        }
        return true;
    });
}

bool CBackendDB::ReadFirstColumns(const std::vector<std::string>& queries,
                                  std::vector<std::vector<std::string>>& values) {
    RecursiveMutexLock guard(m_lock);
    values.assign(queries.size(), {});
    const BackendOutcome outcome = ReadQueries(
        queries, [&](size_t i, const OdbcRow& row) { values[i].push_back(row.Text(1)); });
    if (outcome != BackendOutcome::Failed) return outcome == BackendOutcome::Done;
    // One at a time: a rejected query is reported and reads as no rows.
    values.assign(queries.size(), {});
    for (size_t i = 0; i < queries.size(); ++i) {
        ReadFirstColumn(queries[i], values[i]);
        if (!m_connection.IsOpen()) return false;
    }
    return true;
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
