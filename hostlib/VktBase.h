#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hostlib/VktRecords.h"
#include "platform/MessageLayer.h"
#include "platform/OdbcApi.h"

// The host base library as its plug-ins see it. Unless said otherwise every function
// may be called from any thread.

// --- type catalogue ------------------------------------------------------------

// The RTU type / data type, or null when the host does not have it.
VKTBASE_API std::unique_ptr<CRTUType> GetRTUType(int32_t nType);
VKTBASE_API std::unique_ptr<CDataType> GetDataType(int32_t nID);

constexpr int kObjRTUDef = 4;
constexpr int kObjRTUType = 9;
constexpr int kObjDataType = 10;

// Adds (or replaces) a type in the host catalogue: nMode 2, nKind 9 with a CRTUType
// or 10 with a CDataType. The object stays the caller's. Nonzero on success.
VKTBASE_API int SaveDBObj(int nMode, int nKind, const CObject& object);

// Fills `list` with new RTU definitions (nKind 4) read from the host database with
// the clause appended to the query: " WHERE TYPE=100", "WHERE TYPE=100",
// "ORDER BY ID ASC" or empty. Nonzero when the query ran.
VKTBASE_API int OutDBObj(int nKind, std::string strClause, CObList<CRTUDef>& list);

// Frees every object of the list.
template <typename T>
void DestroyObA(CObList<T>& list) {
    list.clear();
}

class VKTBASE_API CRTUDefRT {
public:
    // A copy of the RTU's definition owned by the caller, or null. Answered from
    // memory: cheap enough for the frame path.
    static std::unique_ptr<CRTUDef> GetRTUDefRT(int32_t nRTUID);
    // Every RTU definition, in RTU number order.
    static void OutRTRTU(CObList<CRTUDef>& list);
};

class VKTBASE_API CSysInfoRT {
public:
    static std::unique_ptr<CSysInfo> GetSysInfoRT();
};

// The stored sample of the measuring point at that time, or null. The flag selects
// the history kind (1: the backend writer's look-up, 0: the station writer's); both
// are answered from the host's sensor history.
VKTBASE_API std::unique_ptr<CSensorData> GetSensorDataByTime(int32_t nSensorID, DateTime time,
                                                             int nFlag);

// --- databases -------------------------------------------------------------------

constexpr int kLoginTimeoutSeconds = 10;
constexpr int kQueryTimeoutSeconds = 30;

// Connects to an ODBC data source. On success *phdbc holds the connection (nonzero
// returned); on failure it is null and the failure is written to the error log.
VKTBASE_API int OpenDatabase(std::string strSource, std::string strUser, std::string strPassword,
                             SQLHDBC* phdbc);
// Closes and frees the connection; *phdbc becomes null. A null handle is allowed.
VKTBASE_API void CloseDatabase(SQLHDBC* phdbc);
// A new statement on the connection with the query time-out set; nonzero on success.
VKTBASE_API int SQLAllocStmtWithErrorInfo(SQLHDBC hdbc, SQLHSTMT* phstmt);
VKTBASE_API void SQLFreeStmtWithErrorInfo(SQLHDBC hdbc, SQLHSTMT hstmt);

// A statement on the host communication database VKTCOMM.MDB, reserved for the
// caller until UnLockHSTMT; null when the database is unavailable (UnLockHSTMT must
// still be called, with null). The connection is opened on demand.
VKTBASE_API SQLHSTMT LockHSTMT();
VKTBASE_API void UnLockHSTMT(SQLHSTMT hstmt);
// Closes the library's connection to VKTCOMM.MDB; the next LockHSTMT reopens it.
VKTBASE_API void CloseDB();
// Runs a statement on VKTCOMM.MDB; nonzero on success.
VKTBASE_API int ExecSQLStr(std::string strSQL);
// Runs `work` on VKTCOMM.MDB's connection as one transaction, with no other statement of
// the process in between (LockHSTMT and ExecSQLStr on the same thread join it): committed
// when it returns true, rolled back otherwise, and by a kill part-way. True when
// committed; false when the database cannot be opened.
VKTBASE_API bool ExecInTransaction(const std::function<bool(SQLHDBC)>& work);

// Process-wide (re-entrant) lock around work on Access-type station databases.
VKTBASE_API void GlobalLockAccess();
VKTBASE_API void GlobalUnLockAccess();

// --- reporting -------------------------------------------------------------------

// Appends the text to the host's error log.
VKTBASE_API void WriteErrorInfo(std::string strText);
// Appends every ODBC diagnostic record of the statement (or connection) to the log.
VKTBASE_API void WriteSQLErrorInfo(SQLHDBC hdbc, SQLHSTMT hstmt);

class VKTBASE_API CVKTAcqThread {
public:
    // Shows the text in the host's message window.
    static void ReportMsg(int nKind, int nRTUID, const std::string& strRTU, int nCode, int nLevel,
                          const std::string& strMsg, WindowHandle hWnd);
};

// The number in brackets of a list text "%s(%d)", or 0.
VKTBASE_API int GetIDFromNameID(const std::string& strText);

// --- batch jobs -------------------------------------------------------------------

// What a batch job of a plug-in has done so far.
struct CJobSummary {
    int nUnits = 0;          // units done
    bool bComplete = false;  // the last job ran to its end
    bool bBusy = false;      // a job is running
    long nCopied = 0;        // export: rows inserted
    long nPresent = 0;       // export: rows the backend already had
    // Export: rows refused or not sent. Rainfall: backend reads and updates that
    // failed or could not run.
    long nFailed = 0;
};

// The job a worker was handed last, by its host or by the plug-in's own dialog.
struct CJobOrder {
    long nNumber = 0;  // jobs handed to the worker since the plug-in started; 0: none
    std::vector<int32_t> stations;
    DateTime from;
    DateTime to;
    int nUnits = 0;  // stations × day steps of the range
};

// The batch jobs a plug-in offers its host beside its exports, so that a host without
// the plug-in's dialogs (a terminal) can start them through the same job parameters
// and busy flags. Kinds: 0 the local data export, 1 the period rainfall recalculation.
// Every call on the host's user-interface thread, between VKTLibInit and VKTLibExit.
class VKTBASE_API CPluginJobs {
public:
    static constexpr int kExport = 0;
    static constexpr int kRainfall = 1;

    virtual ~CPluginJobs() = default;
    // Hands the job to the worker as the dialog does; the worker posts 3024 after each
    // unit and 3026 at the end to `progress`. Returns the job's number of units, or -1
    // when the job's busy flag is set or the worker does not run.
    virtual int StartJob(int nKind, const std::vector<int32_t>& stations, const DateTime& from,
                         const DateTime& to, WindowHandle progress) = 0;
    // The stop button: posts the stop request 3025 to the worker's thread queue.
    virtual void RequestStop(int nKind) = 0;
    virtual CJobSummary Summary(int nKind) = 0;
    // Whether the worker has taken up the job handed over last; it may wait a while
    // before it takes jobs.
    virtual bool JobStarted(int) { return true; }
    // Rows each station's units of the running or last job have read so far; a station
    // without an entry read none.
    virtual std::map<int32_t, long> RowsRead(int) { return {}; }
    // The job handed over last, whoever started it (nNumber 0 before any).
    virtual CJobOrder LastOrder(int) { return {}; }
    // Renders the plug-in's dialogs at a known state (filled lists, the progress bar at
    // 37.5 %) to DIR/4000.png … 4003.png, for review. Needs the host's Qt application;
    // false when there is none or a file cannot be written.
    virtual bool RenderDialogs(const std::string& dir) = 0;
};

// The plug-in offers its jobs in VKTLibInit and withdraws them (null) in VKTLibExit.
VKTBASE_API void OfferPluginJobs(CPluginJobs* jobs);

// --- health figures ---------------------------------------------------------------

// How one store of a plug-in is doing since VKTLibInit.
struct CStoreHealth {
    long nQueued = 0;                              // records waiting for the store
    long nWritten = 0;                             // rows (or files) written
    long nFailed = 0;                              // statements (or files) that failed
    DateTime tLastSuccess = DateTime::Invalid();   // before the first success
    DateTime tOutageSince = DateTime::Invalid();   // while the store answers
    DateTime tStalledSince = DateTime::Invalid();  // while no statement hangs
    std::string strOutageReason;                   // what the outage is, when it is known
    long nNotRun = 0;  // writes not run for an outage (the store went away): no refusal
};

// The figures a plug-in publishes for its host's status view.
struct CPluginHealth {
    CStoreHealth backend;            // the backend database
    CStoreHealth station;            // the station database files
    CStoreHealth isolation;          // the reverse-isolation files
    long nFramesDropped = 0;         // frames given up unstored (queue bounds, shut-down)
    long nRefillPending = 0;         // time ranges still to copy back into the backend
    long nRowsRefilled = 0;          // rows copied back so far
    long nRowsRefused = 0;           // rows the backend refused, kept in the quarantine now
    long nRowsRetried = 0;           // quarantined rows handed back to the refill at the start
    long nSpoolDamaged = 0;          // damaged records passed over in the frame spool
    long nRowsPresent = 0;           // rows a refill found in the backend already
    bool bSpoolUnavailable = false;  // frames were queued in memory only, not on disk
};

// Offered by the plug-in in VKTLibInit, withdrawn (null) in VKTLibExit. Health() is
// called on the host's user-interface thread and does not block on a store.
class VKTBASE_API CPluginHealthSource {
public:
    virtual ~CPluginHealthSource() = default;
    virtual CPluginHealth Health() = 0;
};
VKTBASE_API void OfferPluginHealth(CPluginHealthSource* source);
// The figures as the stopped workers left them (what waits for the next start, what
// was given up), recorded by VKTLibExit for the host's last word.
VKTBASE_API void RecordFinalPluginHealth(const CPluginHealth& health);
