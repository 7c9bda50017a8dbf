#pragma once

#include <sql.h>

#include <functional>
#include <memory>
#include <string>

#include "storage/DeleteMyDeadData.h"
#include "storage/WPDBThread.h"

// Sees the text of every station statement before it is sent; for tests. Set it
// while no statement runs.
void SetStationStatementObserver(std::function<void(const std::string&)> observer);

// The station database of one tower: the file WPData/WP_<n>.MDB under the working
// directory (an SQLite file), registered as the system data source WP_<n>, with the
// tables RTTOWER (10-minute rows) and HSTOWER (hourly rows). Every statement runs
// under the host's Access lock; the connection is opened on first use and after
// every failure.
class CWPLocalDB {
public:
    static constexpr const char* kPassword = "QUBFAX";
    static constexpr const char* kDriver = "SQLite3";

    CWPLocalDB(int32_t nRTUID, std::string workingDir,
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
    // registers the data source; false when the file cannot be created. Without the
    // Access lock only before the workers use the object.
    bool CreateLocalDB();
    // The following expect the Access lock held by the caller.
    bool OpenLocalDB();
    void CloseLocalDB();
    // A new statement, opening the connection when closed; null on failure.
    SQLHSTMT GetLocalStmt();
    SQLHDBC Connection() const { return m_hDbc; }

    // These take the Access lock themselves, one lock period per statement.
    bool ExecLocalSQL(const std::string& sql);
    bool LocalRowExists(const DateTime& time, bool bRTTower);
    bool SaveLocalData(const CTowerRecord& record);
    bool SaveLocalRT(const CTowerRecord& record);
    bool UpdateLocalRT(const CTowerRecord& record);
    bool SaveLocalHis(const CTowerRecord& record);
    bool UpdateLocalHis(const CTowerRecord& record);
    // Deletes the rows before today's midnight minus [LOCALDATA] DATALEN × 365 days.
    void DeleteDeadData();

    // The retention thread, once started (for observation).
    const CDeleteMyDeadData* RetentionThread() const { return m_pDeleteThread.get(); }

    const int32_t m_nRTUID;

private:
    void RegisterDataSource();
    void StartRetentionThread();
    bool UpdateRow(const CTowerRecord& record, bool bRTTower);
    // Runs the text on the statement; a rejected one is reported with the prefix, its
    // statement freed and the connection closed. The caller holds the Access lock.
    SQLRETURN RunLocalStatement(SQLHSTMT hstmt, const std::string& sql, const char* errorPrefix);

    const std::string m_strWorkingDir;
    const int m_nRetentionPollMs;
    SQLHDBC m_hDbc = nullptr;                            // guarded by the Access lock
    std::unique_ptr<CDeleteMyDeadData> m_pDeleteThread;  // guarded by the Access lock
};
