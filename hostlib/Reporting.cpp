// Error log, message window, the Access lock and small helpers of the base library.
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "platform/ErrorLog.h"
#include "platform/Mutex.h"
#include "platform/OdbcHandles.h"

namespace {

Mutex g_windowLock;
VktHost::MessageWindow g_messageWindow GUARDED_BY(g_windowLock);

std::recursive_mutex& AccessLock() {
    static std::recursive_mutex lock;
    return lock;
}

}  // namespace

void WriteErrorInfo(std::string strText) {
    ErrorLog::Append(strText);
}

void WriteSQLErrorInfo(SQLHDBC hdbc, SQLHSTMT hstmt) {
    std::string text = hstmt ? Odbc::Diagnostics(SQL_HANDLE_STMT, hstmt) : std::string();
    if (text.empty() && hdbc) text = Odbc::Diagnostics(SQL_HANDLE_DBC, hdbc);
    if (!text.empty()) ErrorLog::Append(text);
}

void CVKTAcqThread::ReportMsg(int, int, const std::string&, int, int, const std::string& strMsg,
                              WindowHandle) {
    MutexLock guard(g_windowLock);
    if (g_messageWindow) {
        g_messageWindow(strMsg);
    } else {
        std::printf("%s%s", strMsg.c_str(), !strMsg.empty() && strMsg.back() == '\n' ? "" : "\n");
        std::fflush(stdout);
    }
}

void VktHost::SetMessageWindow(MessageWindow window) {
    MutexLock guard(g_windowLock);
    g_messageWindow = std::move(window);
}

void GlobalLockAccess() {
    AccessLock().lock();
}
void GlobalUnLockAccess() {
    AccessLock().unlock();
}

int GetIDFromNameID(const std::string& strText) {
    const size_t open = strText.rfind('(');
    if (open == std::string::npos) return 0;
    return std::atoi(strText.c_str() + open + 1);
}
