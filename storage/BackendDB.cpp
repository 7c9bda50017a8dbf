#include "storage/BackendDB.h"

#include <cstdlib>
#include <vector>

#include "hostlib/VktBase.h"
#include "storage/WPSettings.h"

namespace {

SQLHDBC g_hBackend = nullptr;  // guarded by BackendLock()
std::function<void(const std::string&)> g_observer;

void Observe(const std::string& sql) {
    if (g_observer) g_observer(sql);
}

void Report(const std::string& message) {
    CVKTAcqThread::ReportMsg(2, 0, "", 0, 1, message, MessageLayer::GetThreadMainWindow());
}

// A buffer of the text's own size: no statement is cut or overflows.
std::vector<SQLCHAR> Buffer(const std::string& sql) {
    std::vector<SQLCHAR> buffer(sql.begin(), sql.end());
    buffer.push_back(0);
    return buffer;
}

// Runs `sql` on a fresh statement; reports and disconnects when it is rejected.
// Returns the execution code (SQL_ERROR when no statement could be had) and hands
// the live statement to `onSuccess` before freeing it.
template <typename OnSuccess>
SQLRETURN RunStatement(const std::string& sql, bool withDiagnostics, bool newLine,
                       OnSuccess onSuccess, bool& ran) {
    std::lock_guard<std::recursive_mutex> guard(BackendLock());
    ran = false;
    SQLHSTMT hstmt = GetBackendStmt();
    if (!hstmt) return SQL_ERROR;
    ran = true;
    Observe(sql);
    std::vector<SQLCHAR> buffer = Buffer(sql);
    const SQLRETURN rc = SQLExecDirect(hstmt, buffer.data(), SQL_NTS);
    if (rc < 0) {
        const std::string message = "WP Error SQL: " + sql + (newLine ? "\n" : "");
        WriteErrorInfo(message);
        if (withDiagnostics) WriteSQLErrorInfo(g_hBackend, hstmt);
        Report(message);
        SQLFreeStmtWithErrorInfo(g_hBackend, hstmt);
        DisconnectBackend();
        return rc;
    }
    onSuccess(hstmt, rc);
    SQLFreeStmtWithErrorInfo(g_hBackend, hstmt);
    return rc;
}

bool TakeField(std::string& rest, char separator, int& value) {
    const size_t at = rest.find(separator);
    if (at == std::string::npos || at == 0) return false;
    value = std::atoi(rest.substr(0, at).c_str());
    rest.erase(0, at + 1);
    return true;
}

}  // namespace

std::recursive_mutex& BackendLock() {
    static std::recursive_mutex lock;
    return lock;
}

int ConnectBackend() {
    std::lock_guard<std::recursive_mutex> guard(BackendLock());
    const auto settings = WPSettings::Get();
    return OpenDatabase(settings->m_strSource, settings->m_strUser, settings->m_strPassword,
                        &g_hBackend);
}

void DisconnectBackend() {
    std::lock_guard<std::recursive_mutex> guard(BackendLock());
    CloseDatabase(&g_hBackend);
}

SQLHDBC BackendConnection() {
    return g_hBackend;
}

SQLHSTMT GetBackendStmt() {
    if (!g_hBackend && !ConnectBackend()) return nullptr;
    SQLHSTMT hstmt = nullptr;
    if (!SQLAllocStmtWithErrorInfo(g_hBackend, &hstmt)) DisconnectBackend();
    return hstmt;
}

bool ExecBackendSQL(const std::string& sql) {
    bool ran = false;
    const SQLRETURN rc = RunStatement(
        sql, true, true, [](SQLHSTMT, SQLRETURN) {}, ran);
    return !ran || rc >= 0;
}

bool BackendRowExists(const std::string& sql) {
    bool exists = false;
    bool ran = false;
    RunStatement(
        sql, false, false,
        [&](SQLHSTMT hstmt, SQLRETURN rc) {
            if (rc != SQL_SUCCESS) return;
            const SQLRETURN fetched = SQLFetch(hstmt);
            exists = fetched == SQL_SUCCESS || fetched == SQL_SUCCESS_WITH_INFO;
        },
        ran);
    return exists;
}

DateTime ParseDBTime(const std::string& text) {
    std::string rest = text;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    if (!TakeField(rest, '-', year) || !TakeField(rest, '-', month) || !TakeField(rest, ' ', day) ||
        !TakeField(rest, ':', hour) || !TakeField(rest, ':', minute) || rest.empty()) {
        return DateTime::Invalid();
    }
    const int second = std::atoi(rest.c_str());
    // The date-time itself refuses impossible fields (month 13, 30 February, 24:00).
    return DateTime(year, month, day, hour, minute, second);
}

void SetBackendStatementObserver(std::function<void(const std::string&)> observer) {
    std::lock_guard<std::recursive_mutex> guard(BackendLock());
    g_observer = std::move(observer);
}
