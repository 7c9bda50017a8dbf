#include "hostlib/HostDatabase.h"

#include <mutex>

#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "platform/System.h"

namespace {

OdbcConnection g_hostConnection GUARDED_BY(HostDatabase::g_statementLock);
std::string g_lastFailure GUARDED_BY(HostDatabase::g_statementLock);

}  // namespace

namespace HostDatabase {

RecursiveMutex g_statementLock;

std::string FilePath() {
    return System::CurrentDirectory() + "/VKTCOMM.MDB";
}

void Lock() {
    g_statementLock.Lock();
}
void Unlock() {
    g_statementLock.Unlock();
}

SQLHDBC Connection(bool mayCreate) {
    if (!g_hostConnection.IsOpen() &&
        !g_hostConnection.DriverConnect(Odbc::SqliteConnectionString(FilePath(), mayCreate),
                                        kLoginTimeoutSeconds)) {
        NoteFailure("Cannot open the host database " + FilePath(), g_hostConnection.LastError());
        return nullptr;
    }
    return g_hostConnection.Get();
}

void Close() {
    g_hostConnection.Close();
}

void NoteFailure(const std::string& what, const std::string& diagnostics) {
    std::string text = diagnostics;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    WriteErrorInfo(text.empty() ? what : what + ": " + text);
    g_lastFailure = text.empty() ? what : text;
}

}  // namespace HostDatabase

std::string VktHost::LastDatabaseError() {
    RecursiveMutexLock guard(HostDatabase::g_statementLock);
    return g_lastFailure;
}

// The statement lock passes to the caller here and comes back in UnLockHSTMT, which
// the analysis cannot follow across the two calls.
SQLHSTMT LockHSTMT() NO_THREAD_SAFETY_ANALYSIS {
    HostDatabase::Lock();
    SQLHDBC hdbc = HostDatabase::Connection();
    SQLHSTMT hstmt = nullptr;
    if (hdbc && !SQLAllocStmtWithErrorInfo(hdbc, &hstmt)) hstmt = nullptr;
    return hstmt;
}

void UnLockHSTMT(SQLHSTMT hstmt) NO_THREAD_SAFETY_ANALYSIS {
    if (hstmt) SQLFreeHandle(SQL_HANDLE_STMT, hstmt);
    HostDatabase::Unlock();
}

void CloseDB() {
    RecursiveMutexLock guard(HostDatabase::g_statementLock);
    HostDatabase::Close();
}

int ExecSQLStr(std::string strSQL) {
    RecursiveMutexLock guard(HostDatabase::g_statementLock);
    SQLHDBC hdbc = HostDatabase::Connection();
    if (!hdbc) return 0;
    OdbcStatement stmt = Odbc::AllocStatement(hdbc);
    if (!stmt) return 0;
    const SQLRETURN rc = Odbc::ExecOn(stmt.Get(), strSQL);
    if (rc == SQL_NO_DATA || Odbc::Succeeded(rc)) return 1;
    std::string diagnostics = Odbc::Diagnostics(SQL_HANDLE_STMT, stmt.Get());
    if (diagnostics.empty()) diagnostics = Odbc::Diagnostics(SQL_HANDLE_DBC, hdbc);
    HostDatabase::NoteFailure("Host database statement failed: " + strSQL, diagnostics);
    return 0;
}

bool ExecInTransaction(const std::function<bool(SQLHDBC)>& work) {
    RecursiveMutexLock guard(HostDatabase::g_statementLock);
    SQLHDBC hdbc = HostDatabase::Connection();
    if (!hdbc) return false;
    SQLSetConnectAttr(hdbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF),
                      0);
    const bool ok = work(hdbc);
    // A statement that failed inside may have closed the connection: the transaction went
    // with it, rolled back.
    if (!g_hostConnection.IsOpen() || g_hostConnection.Get() != hdbc) {
        return false;
    }
    const bool committed =
        Odbc::Succeeded(SQLEndTran(SQL_HANDLE_DBC, hdbc, ok ? SQL_COMMIT : SQL_ROLLBACK)) && ok;
    SQLSetConnectAttr(hdbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON),
                      0);
    return committed;
}

int OpenDatabase(std::string strSource, std::string strUser, std::string strPassword,
                 SQLHDBC* phdbc) {
    *phdbc = nullptr;
    OdbcConnection connection;
    if (!connection.Connect(strSource, strUser, strPassword, kLoginTimeoutSeconds)) {
        WriteErrorInfo("Cannot connect to the data source " + strSource + ": " +
                       connection.LastError());
        return 0;
    }
    SQLSetConnectAttr(connection.Get(), SQL_ATTR_CONNECTION_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(kQueryTimeoutSeconds)), 0);
    *phdbc = connection.Release();
    return 1;
}

void CloseDatabase(SQLHDBC* phdbc) {
    if (!phdbc || !*phdbc) return;
    SQLDisconnect(*phdbc);
    SQLFreeHandle(SQL_HANDLE_DBC, *phdbc);
    *phdbc = nullptr;
}

int SQLAllocStmtWithErrorInfo(SQLHDBC hdbc, SQLHSTMT* phstmt) {
    *phstmt = nullptr;
    if (!hdbc) return 0;
    if (!Odbc::Succeeded(SQLAllocHandle(SQL_HANDLE_STMT, hdbc, phstmt))) {
        WriteErrorInfo("Cannot allocate an ODBC statement");
        WriteSQLErrorInfo(hdbc, nullptr);
        *phstmt = nullptr;
        return 0;
    }
    SQLSetStmtAttr(*phstmt, SQL_ATTR_QUERY_TIMEOUT,
                   reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(kQueryTimeoutSeconds)), 0);
    return 1;
}

void SQLFreeStmtWithErrorInfo(SQLHDBC, SQLHSTMT hstmt) {
    if (hstmt) SQLFreeHandle(SQL_HANDLE_STMT, hstmt);
}
