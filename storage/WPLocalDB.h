#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hostlib/VktRecords.h"
#include "platform/OdbcApi.h"
#include "platform/OdbcHandles.h"
#include "platform/System.h"
#include "storage/AccessGuard.h"
#include "storage/DeleteMyDeadData.h"
#include "storage/FailureLog.h"
#include "storage/Quarantine.h"

class CWPSettingsStore;
struct CBackendTarget;
class OdbcBoundRow;

// What an export copied into the backend.
struct CExportCounts {
    long m_nCopied = 0;      // rows inserted
    long m_nPresent = 0;     // rows the backend already had (refused as duplicates)
    long m_nFailed = 0;      // rows refused otherwise, or not run for want of a connection
    long m_nUnreadable = 0;  // rows skipped for a TIME that does not read
    // The refill's rows the backend answered and refused (counted in m_nFailed too).
    std::vector<CRefusedRow> m_refused;
};

// The station database of one tower: the file WPData/WP_<n>.MDB under the working
// directory (an SQLite file), registered as the system data source WP_<n>, with the
// tables of StationSchema: RTTOWER (10-minute rows), HSTOWER (hourly rows) and those
// of the backend writing. Every statement runs under the host's Access lock; the
// connection is opened on first use and after every failure, and made anew when the
// file was deleted or replaced while open. Each open makes the tables the file lacks,
// and a file that is not an SQLite database is moved aside and made anew. A run of failing
// statements is logged by its first failure, a count a minute and a line when writing works again.
class CWPLocalDB {
public:
    static constexpr const char* kPassword = "QUBFAX";
    static constexpr const char* kDriver = "SQLite3";

    // `settings` outlives the object.
    CWPLocalDB(int32_t nRTUID, std::string workingDir, const CWPSettingsStore& settings,
               int retentionPollMs = CDeleteMyDeadData::kPollIntervalMs);
    // Stops the retention thread, then closes the connection. Call without the
    // Access lock held.
    virtual ~CWPLocalDB();
    CWPLocalDB(const CWPLocalDB&) = delete;
    CWPLocalDB& operator=(const CWPLocalDB&) = delete;

    std::string FilePath() const;        // <working dir>/WPData/WP_<n>.MDB
    std::string DataSourceName() const;  // WP_<n>

    bool LocalDBExists() const;
    // Creates a missing file with its tables (starting the retention thread) and
    // registers the data source; false when the file cannot be created. A file that
    // is not an SQLite database is first moved aside to <file>.damaged-YYYYMMDDHHMMSS
    // (with its -wal and -shm), with one line in the error log.
    bool CreateLocalDB() REQUIRES(g_accessLock);
    // The following expect the Access lock held by the caller.
    // Connects, after CreateLocalDB, and makes the tables the file lacks (a file left
    // by a kill between its creation and its tables).
    bool OpenLocalDB() REQUIRES(g_accessLock);
    void CloseLocalDB() REQUIRES(g_accessLock);
    // A new statement, opening the connection when closed; empty on failure.
    OdbcStatement GetLocalStmt() REQUIRES(g_accessLock);
    SQLHDBC Connection() const REQUIRES(g_accessLock) { return m_hDbc; }

    // These take the Access lock themselves, one lock period per statement.
    bool ExecLocalSQL(const std::string& sql);
    bool LocalRowExists(const DateTime& time, bool bRTTower);
    // For tests: SaveLocalRT, then SaveLocalHis (the storage thread takes them apart).
    bool TEST_SaveLocalData(const CDataFrame& record);
    bool SaveLocalRT(const CDataFrame& record);
    bool UpdateLocalRT(const CDataFrame& record);
    bool SaveLocalHis(const CDataFrame& record);
    bool UpdateLocalHis(const CDataFrame& record);
    // Runs the statements in one transaction (all or none); takes the Access lock. A
    // statement that changes nothing is no failure; a failure closes the connection.
    bool ExecLocalTransaction(const std::vector<std::string>& texts);
    // Runs a query and returns the first `columns` columns of every row as text (empty
    // for NULL); empty when the file is missing or the query fails (no table, say).
    // Takes the Access lock.
    std::vector<std::vector<std::string>> QueryTexts(const std::string& query, int columns);
    // Makes the committed rows survive a power loss: the file's write-ahead log is
    // synced and copied into it (a commit alone is not synced). Takes the Access lock.
    bool MakeDurable();
    // Deletes the rows before today's midnight minus [LOCALDATA] DATALEN × 365 days.
    // A DATALEN below 1 (also one that was not a whole number) deletes nothing and
    // says so in the error log. A deletion that empties a table that held rows (the
    // clock jumped ahead?) is logged with its count and the cut-off.
    void DeleteDeadData();

    // Copies the rows with from < TIME ≤ to into the backend: RTTOWER always, HSTOWER
    // unless [DATABASE] TYPE is 1; under the RTU's tower id and the backend writer's
    // prefix rule. Each table's rows are read under the Access lock, then written
    // without it, each row under the backend lock. Export thread.
    void OutLocalRange(const CBackendTarget& target, const DateTime& from, const DateTime& to,
                       CExportCounts& counts);
    void OutLocalRT(const CBackendTarget& target, const DateTime& from, const DateTime& to,
                    CExportCounts& counts);
    void OutLocalHis(const CBackendTarget& target, const DateTime& from, const DateTime& to,
                     CExportCounts& counts);

    // Copies the rows with from < TIME ≤ to into the backend by the live writer's rule:
    // a row the backend lacks is inserted, one it has is completed with the station
    // row's values. The station rows are read under the Access lock, then written
    // without it. False when the backend could not be had (the range stays to do).
    bool RefillRange(const CBackendTarget& target, const DateTime& from, const DateTime& to,
                     CExportCounts& counts);
    // Runs a query on the station file and hands every row, bound by `isText`, to `read`.
    void ReadStationRows(const std::string& query, const std::vector<bool>& isText,
                         const std::function<void(const OdbcBoundRow&)>& read)
        REQUIRES(g_accessLock);

    // Statements that failed or could not run for want of a connection, since start.
    // Any thread.
    long FailedStatementCount() const { return m_nFailedStatements.load(); }
    // For tests: the passes of the retention thread, -1 while it is not started.
    long RetentionPassCount();
    // For tests: sees the text of every statement before it is sent.
    void SetStatementObserver(std::function<void(const std::string&)> observer);

    const int32_t m_nRTUID;

private:
    // False when odbc.ini cannot take it (a full disk): the first of a run is logged.
    bool RegisterDataSource() REQUIRES(g_accessLock);
    // Connecting creates the file; then the tables. Holds the kill point
    // "station-create" between the two.
    void CreateTables();
    // CreateLocalDB, then the connection by data source name; a failure is counted.
    bool ConnectLocalDB() REQUIRES(g_accessLock);
    // Renames the file (and its -wal and -shm) aside and logs both names; false
    // (logged as a station failure) when it cannot.
    bool MoveDamagedAside() REQUIRES(g_accessLock);
    // Runs a statement that changes rows; `rows`, when given, gets how many it changed.
    bool ExecLocalHeld(const std::string& sql, long* rows) REQUIRES(g_accessLock);
    // Whether the table holds no row (false when that cannot be read).
    bool TableIsEmpty(const char* table) REQUIRES(g_accessLock);
    void StartRetentionThread() REQUIRES(g_accessLock);
    // True when the file at the path is no longer the one the connection has open.
    bool OpenFileWasReplaced() REQUIRES(g_accessLock);
    void RememberOpenFile() REQUIRES(g_accessLock);
    bool UpdateRow(const CDataFrame& record, bool bRTTower);
    // Runs the text on the statement; a rejected one closes the connection and, when
    // it starts a run of failures, is reported with the prefix (later ones are
    // counted). The caller holds the Access lock.
    SQLRETURN RunLocalStatement(OdbcStatement& stmt, const std::string& sql,
                                const char* errorPrefix) REQUIRES(g_accessLock);

    const std::string m_strWorkingDir;
    const CWPSettingsStore& m_settings;
    std::atomic<long> m_nFailedStatements{0};
    const int m_nRetentionPollMs;
    SQLHDBC m_hDbc GUARDED_BY(g_accessLock) = nullptr;
    // The device and inode of the file the connection has open.
    System::FileIdentity m_openFile GUARDED_BY(g_accessLock);
    std::unique_ptr<CDeleteMyDeadData> m_pDeleteThread GUARDED_BY(g_accessLock);
    std::function<void(const std::string&)> m_observer GUARDED_BY(g_accessLock);
    // The run of failing statements and connects, for the error log.
    CFailureLog m_failures GUARDED_BY(g_accessLock);
    bool m_bUnregistered GUARDED_BY(g_accessLock) = false;  // the last registration failed
};
