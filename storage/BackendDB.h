#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "platform/DateTime.h"
#include "platform/Mutex.h"
#include "platform/OdbcHandles.h"
#include "platform/OdbcQuery.h"
#include "platform/SqlText.h"
#include "storage/BackendServer.h"
#include "storage/FailureLog.h"

class CWPSettingsStore;
class CBackendTransaction;

// Statements in one call of a batch near the server: past a few dozen a longer query
// costs the server more than the round trips it saves. Over a long round trip the
// round trips cost more: a call then takes more statements, up to the most.
constexpr size_t kStatementsPerBatch = 20;
constexpr size_t kMostStatementsPerBatch = 500;
// Station-days of rows in one transaction of a refill or export over a server that
// takes batches: about two thousand rows, a second or two of the backend lock even
// over a long round trip, and a few round trips where one station-day took several.
constexpr int kTowerDaysPerTransaction = 12;

// How a backend row statement ended.
enum class BackendOutcome {
    Done,  // run
    // no connection could be had, or the server went away or took no writes (a standby)
    // while it ran: the row is as unknown as before
    NotRun,
    AlreadyPresent,  // refused as a duplicate key: the row is there
    Failed,          // refused otherwise, reported
};

// Whether the row is in the backend: run, or there already.
inline bool IsWritten(BackendOutcome outcome) {
    return outcome == BackendOutcome::Done || outcome == BackendOutcome::AlreadyPresent;
}

// The plug-in's one connection to the backend database (data source, user and
// password from the settings) and the statement runners every backend user goes
// through. The backend lock is re-entrant; a thread that also needs the Access lock
// takes that one first. Lives in the plug-in's context; any thread. Statements run
// autocommitted, one commit each, unless a CBackendTransaction is open.
class CBackendDB {
public:
    explicit CBackendDB(const CWPSettingsStore& settings);
    ~CBackendDB();
    CBackendDB(const CBackendDB&) = delete;
    CBackendDB& operator=(const CBackendDB&) = delete;

    // Held from statement allocation until the statement is freed.
    RecursiveMutex& BackendLock() RETURN_CAPABILITY(m_lock) { return m_lock; }

    // Opens the connection; takes the backend lock. Nonzero on success. While the
    // data source cannot be reached the error log gets one line when it goes away,
    // at most one a minute while it stays away, and one when it answers again.
    int ConnectBackend();
    // Closes the connection (the next statement reopens it); takes the backend lock.
    // What an open transaction ran on it is rolled back first.
    void DisconnectBackend();
    // A new statement on the connection, opening it when closed; empty when that fails.
    // The caller holds the backend lock until the statement is gone.
    OdbcStatement GetBackendStmt() REQUIRES(m_lock);
    // The open connection, or null.
    SQLHDBC BackendConnection() REQUIRES(m_lock) { return m_connection.Get(); }

    // A statement the driver rejects is written to the error log with the driver's
    // diagnostics, shown in the host's message window ("WP Error SQL: " and the text) and
    // drops the connection, unless it broke a constraint (the connection is sound then);
    // what an open transaction ran goes with the connection. One that met a server gone
    // away or taking no writes is no statement's fault: it drops the connection, and the
    // outage's lines in the error log tell it.
    //
    // For tests and benches only (the plug-in runs its statements through the runners
    // below): runs a statement that returns no rows; takes the backend lock; false when
    // it was rejected. Without a connection nothing runs and the result is true.
    bool TEST_ExecBackendSQL(const std::string& sql);
    // Runs an insert of a row that may be there already: a refusal for a duplicate key
    // is no error (AlreadyPresent); other refusals are reported as above
    // (Failed), except that one from a server that went away or takes no writes is
    // NotRun.
    BackendOutcome InsertBackendRow(const std::string& sql);
    // Runs a statement that returns no rows, reported as above, and tells how it ended
    // (as InsertBackendRow, but a duplicate key is Failed).
    // The rows these two run are many alike: a table that refuses one refuses many. Their
    // refusals are logged as a run: the first since the start in full (the
    // statement and the diagnostics), the others counted, a line a minute at most.
    BackendOutcome ExecBackendRow(const std::string& sql);
    // The diagnostics of the last statement the backend refused (empty before any);
    // takes the backend lock: held across the statement, it names that statement's.
    std::string LastRefusal();
    // Why the last statement that met a server going away did not run, when the server
    // said ("backend full: …" for a server out of disk, memory or connections); empty
    // otherwise. Takes the backend lock.
    std::string LossReason();
    // Whether a connection is open now; takes the backend lock.
    bool IsConnected();
    // Runs a query and tells whether it yields a row; takes the backend lock. A rejected
    // query is reported as above (without the diagnostics) and counts as no row;
    // `outcome`, when given, tells whether the query ran (NotRun as InsertBackendRow).
    bool BackendRowExists(const std::string& sql, BackendOutcome* outcome = nullptr);

    // Whether several statements may go to the open connection's server in one call:
    // PostgreSQL's driver sends them as one query, one round trip; SQLite's takes one
    // statement a call. False without a connection: the first statement opens one.
    bool TakesStatementBatches();
    // Statements a call of ExecBackendBatch takes: kStatementsPerBatch, more where the
    // connection's round trip (timed at connect) is long.
    size_t StatementsPerCall();
    // Sends `texts` (statements that return no rows; an empty one is none) in calls of
    // StatementsPerCall(), each seen by the observer as it is; takes the backend lock.
    // Meant for an open transaction, and a server that TakesStatementBatches. Done
    // when every one ran; NotRun when no connection could be had or the server went
    // away or takes no writes (the connection is dropped); Failed when one was refused,
    // which is not reported: the caller rolls back and sends them one at a time, so
    // that the refused one is found and reported as ExecBackendRow does.
    BackendOutcome ExecBackendBatch(const std::vector<std::string>& texts);
    // Runs `queries` in one call, and tells for each whether it yields a row; the
    // outcome as ExecBackendBatch's.
    BackendOutcome BackendRowsExist(const std::vector<std::string>& queries,
                                    std::vector<bool>& exists);

    // Runs a query and appends the first column of every row, as text; takes the
    // backend lock. A rejected query is reported like BackendRowExists; false then,
    // and when no connection could be had.
    bool ReadFirstColumn(const std::string& sql, std::vector<std::string>& values);
    // ReadFirstColumn for each query, `values[i]` for query i: in one call where the
    // server takes batches. False when no connection could be had or the server went
    // away; a query the server rejects is run again on its own and reported.
    bool ReadFirstColumns(const std::vector<std::string>& queries,
                          std::vector<std::vector<std::string>>& values);
    // Runs `queries` in one call and hands every row of query i to `visit(i, row)`;
    // takes the backend lock. The outcome as ExecBackendBatch's; Failed, with nothing
    // run, too where the server takes no batches.
    BackendOutcome ReadQueries(const std::vector<std::string>& queries,
                               const std::function<void(size_t, const OdbcRow&)>& visit);

    // Whether the schema prefix may be pasted into a statement: empty, an SQL
    // identifier, or two joined by a dot. The first refusal of the context's life is
    // written to the error log and the message window.
    bool CheckPrefix(const std::string& prefix);

    // Keeps which server the rows were written on in `path`, and reads what it kept.
    // Before the first connection.
    void RememberServerIn(const std::string& path);
    // After a connection to another server or history than the rows were written on
    // (CBackendServer), true once, with the time from which station rows are to be
    // compared with the backend again.
    bool TakeLookBack(DateTime& from);

    // For tests: sees the text of every statement the runners send, before it is sent.
    void SetStatementObserver(std::function<void(const std::string&)> observer)
        EXCLUDES(m_observerLock);

    // For tests: statements not run because the data source could not be reached,
    // since start.
    long LostStatementCount() const { return m_nLostTotal.load(); }

private:
    friend class CBackendTransaction;

    // Runs `sql` on a fresh statement; reports and disconnects when it is rejected
    // (unless it broke a constraint). Hands the live statement to `onSuccess` before
    // freeing it; `refused`, when given, tells why it was rejected.
    struct RunOptions {
        bool withDiagnostics = true;  // the driver's diagnostics go to the error log
        bool newLine = true;          // the reported text ends in a new line
        bool quietDuplicate = false;  // a duplicate key is not reported
        bool rowRefusals = false;     // refusals logged as a run (m_rowRefusals)
    };
    struct Refused {
        bool duplicate = false;  // a duplicate key: the row is there
        bool lost = false;       // the server went away or takes no writes: not run
    };
    StatementResult RunStatement(const std::string& sql, const RunOptions& options,
                                 const std::function<void(SQLHSTMT, SQLRETURN)>& onSuccess,
                                 Refused* refused = nullptr);
    // The first line of an outage says why (`wentAway`: the server went away under a
    // statement, else a connect failed); then a line a minute at most.
    void NoteUnreachable(const std::string& source, const std::string& text, bool wentAway = false)
        REQUIRES(m_lock);
    // A statement or commit met a server that went away or takes no writes: not run.
    void NoteWentAway(SQLSMALLINT handleType, SQLHANDLE handle) REQUIRES(m_lock);
    void NoteReachable(const std::string& source) REQUIRES(m_lock);
    // Whether rows may be written to the open connection's server (CBackendServer);
    // `reason` says why not.
    bool AcceptServer(std::string& reason) REQUIRES(m_lock);
    // A statement not run for want of a connection, for the outage's log lines.
    void CountNotRun() REQUIRES(m_lock);
    // Sends `texts` joined in one call; `read` walks what the call returned.
    BackendOutcome RunBatch(const std::vector<std::string>& texts,
                            const std::function<bool(SQLHSTMT)>& read);
    void Observe(const std::string& sql) EXCLUDES(m_observerLock);
    // Rolls back what an open transaction ran on the connection, then closes it.
    void CloseConnection() REQUIRES(m_lock);
    // Autocommit off (true) or on again on the open connection; false when the driver
    // refuses.
    bool SetManualCommit(bool manual) REQUIRES(m_lock);
    void BeginTransaction() REQUIRES(m_lock);
    bool CommitTransaction() REQUIRES(m_lock);
    void EndTransaction(bool committed) REQUIRES(m_lock);

    const CWPSettingsStore& m_settings;
    RecursiveMutex m_lock;
    OdbcConnection m_connection GUARDED_BY(m_lock);
    // Outage bookkeeping: whether the last connect failed, when the last line about it
    // was written, and how many statements were lost since that line.
    bool m_bUnreachable GUARDED_BY(m_lock) = false;
    std::string m_strLastRefusal GUARDED_BY(m_lock);
    std::string m_strLossReason GUARDED_BY(m_lock);
    CFailureLog m_rowRefusals GUARDED_BY(m_lock){"Backend rows refused"};
    DateTime m_tLastOutageLine GUARDED_BY(m_lock);
    long m_nLostSinceLine GUARDED_BY(m_lock) = 0;
    long m_nLostInOutage GUARDED_BY(m_lock) = 0;
    std::atomic<long> m_nLostTotal{0};
    std::atomic<bool> m_bPrefixRefused{false};
    // Transactions open on the lock's owner (an inner one joins the outermost); whether
    // the connection runs with autocommit off; whether the outermost transaction lost
    // statements (its connection closed, or an inner one ended without a commit).
    int m_nTransactionDepth GUARDED_BY(m_lock) = 0;
    bool m_bManualCommit GUARDED_BY(m_lock) = false;
    bool m_bTransactionLost GUARDED_BY(m_lock) = false;
    // Whether the open connection's server takes several statements in one call.
    bool m_bBatches GUARDED_BY(m_lock) = false;
    size_t m_nStatementsPerCall GUARDED_BY(m_lock) = kStatementsPerBatch;
    CBackendServer m_server GUARDED_BY(m_lock);
    bool m_bServerRefusalSaid GUARDED_BY(m_lock) = false;
    DateTime m_tLookBackFrom GUARDED_BY(m_lock) = DateTime::Invalid();
    std::atomic<bool> m_bLookBackDue{false};
    Mutex m_observerLock;
    std::function<void(const std::string&)> m_observer GUARDED_BY(m_observerLock);
};

// One transaction on the backend connection: the statements the runners send while it
// is open are kept together or not at all. It holds the backend lock for its whole
// life, so no other thread's statement can fall into it. Autocommit is turned off on
// the open connection, or on the one the first statement opens, and on again when the
// transaction ends, whatever ended it: a refusal, a lost connection, an early return.
// One opened while another is open on the same thread joins that one.
class SCOPED_CAPABILITY CBackendTransaction {
public:
    explicit CBackendTransaction(CBackendDB& backend) ACQUIRE(backend.BackendLock());
    // Rolls back what was not committed, turns autocommit on again (or, when the driver
    // refuses, closes the connection) and lets the backend lock go. An inner transaction
    // ended without a commit makes the outermost one fail its commit.
    ~CBackendTransaction() RELEASE();
    CBackendTransaction(const CBackendTransaction&) = delete;
    CBackendTransaction& operator=(const CBackendTransaction&) = delete;

    // Commits what ran since the start or the last commit. False, with all of it rolled
    // back, when its connection was closed in between (a rejected statement drops it)
    // or the driver refused the commit (reported as a rejected statement is; the
    // connection is kept unless it cannot even roll back). An inner transaction commits
    // nothing itself and tells whether the outermost one is still whole. Statements
    // after a commit begin the next transaction.
    bool Commit();
    // Commit() as an outcome: Done, or for a failed commit NotRun when the connection is
    // gone (the backend went away: nothing was refused) and Failed when it is kept.
    BackendOutcome CommitOutcome();

private:
    CBackendDB& m_backend;
    bool m_bCommitted = false;
};

// Runs a unit of `count` statements in one transaction: `run(i)` sends statement i
// through one of CBackendDB's runners and tells how it ended. A statement that does
// not run (Failed, AlreadyPresent) takes no other with it: the transaction is rolled
// back, the statements that ran before it are sent again in a transaction of their
// own, and the unit goes on after it. When a commit is refused, its statements are
// sent again one per transaction. Once the backend cannot be had (NotRun, or a commit
// that lost its connection) the unit stops: nothing after the last commit is kept, and
// those statements stay NotRun.
// Returns each statement's outcome: Done only for a committed one.
std::vector<BackendOutcome> RunBackendUnit(CBackendDB& backend, size_t count,
                                           const std::function<BackendOutcome(size_t)>& run);
// The same for a unit whose statement i is `texts[i]` (empty: none). Where the server
// takes statements in batches, the unit is first sent in batches in one transaction:
// when that commits, every statement is Done; when one is refused, the unit goes one
// statement at a time through `run` as above.
std::vector<BackendOutcome> RunBackendUnit(CBackendDB& backend,
                                           const std::vector<std::string>& texts,
                                           const std::function<BackendOutcome(size_t)>& run);
