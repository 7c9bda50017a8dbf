#include "platform/OdbcHandles.h"

#include <odbcinst.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/OdbcIni.h"
#include "platform/System.h"

namespace Odbc {

namespace {

// The whole file; false when it is missing or cannot be read.
bool ReadFileText(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
    return !in.bad();
}

// SQLite counts every allocation of every connection in process-wide statistics kept
// under one mutex: with the station files and the backend written from two threads,
// the threads mostly wait for each other there (two threads stored fewer frames a
// second than one). Nothing reads the statistics, so they are turned off, which SQLite
// allows only before it first initialises: before the first driver is loaded. The
// library stays loaded for the process, so the setting is the one the SQLite driver
// finds. Where the driver carries its own copy of SQLite there is no shared library to
// find, and nothing changes.
void TurnOffSqliteStatistics() {
    constexpr int kConfigMemStatus = 9;  // SQLITE_CONFIG_MEMSTATUS
    static System::DynamicLibrary sqlite;
    std::string error;
    if (!sqlite.Open("libsqlite3.so.0", error)) return;
    using Config = int (*)(int, ...);
    if (auto config = reinterpret_cast<Config>(sqlite.Symbol("sqlite3_config"))) {
        config(kConfigMemStatus, 0);
    }
}

}  // namespace

SQLHENV Environment() {
    // Allocated once and kept for the life of the process: the driver manager's
    // connection handles hang off it.
    static SQLHENV env = [] {
        TurnOffSqliteStatistics();
        SQLHENV handle = nullptr;
        if (!Succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &handle))) return handle;
        SQLSetEnvAttr(handle, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        return handle;
    }();
    return env;
}

std::string Diagnostics(SQLSMALLINT handleType, SQLHANDLE handle) {
    std::string text;
    if (!handle) return text;
    for (SQLSMALLINT record = 1;; ++record) {
        SQLCHAR state[6] = {0};
        SQLINTEGER native = 0;
        SQLCHAR message[1024] = {0};
        SQLSMALLINT length = 0;
        const SQLRETURN rc = SQLGetDiagRec(handleType, handle, record, state, &native, message,
                                           sizeof message, &length);
        if (!Succeeded(rc)) break;
        text += reinterpret_cast<const char*>(state);
        text += ' ';
        text += std::to_string(native);
        text += ' ';
        text += reinterpret_cast<const char*>(message);
        text += '\n';
    }
    return text;
}

std::recursive_mutex& IniLock() {
    static std::recursive_mutex lock;
    return lock;
}

bool RegisterSystemDataSource(const std::string& driver,
                              const std::vector<std::string>& attributes) {
    // A line break in a value would write lines of its own into odbc.ini.
    if (OdbcIni::HasControlCharacter(driver)) return false;
    std::string list;
    OdbcIni::Pairs pairs;
    for (const std::string& attribute : attributes) {
        if (OdbcIni::HasControlCharacter(attribute)) return false;
        list += attribute;
        list += '\0';
        const size_t equals = attribute.find('=');
        if (equals != std::string::npos) {
            pairs.emplace_back(attribute.substr(0, equals), attribute.substr(equals + 1));
        }
    }
    list += '\0';
    const OdbcIni::DataSource source = OdbcIni::DataSourceOf(driver, pairs);
    if (!OdbcIni::CanWrite(source)) return false;
    std::lock_guard<std::recursive_mutex> guard(IniLock());
    // Each write replaces the whole file; one that would change nothing is left out.
    const std::string dir = System::OdbcFolder();
    if (!dir.empty()) {
        std::string text;
        if (ReadFileText(dir + "/odbc.ini", text) && OdbcIni::Holds(text, source)) return true;
    }
    return SQLConfigDataSource(nullptr, ODBC_ADD_SYS_DSN, driver.c_str(), list.c_str()) != 0;
}

std::string DataSourceValue(const std::string& source, const std::string& key) {
    char value[4096] = {0};
    const int length = SQLGetPrivateProfileString(source.c_str(), key.c_str(), "", value,
                                                  sizeof value, "odbc.ini");
    return length > 0 ? std::string(value, std::min<size_t>(length, sizeof value - 1)) : "";
}

OdbcStatement AllocStatement(SQLHDBC hdbc) {
    SQLHSTMT hstmt = nullptr;
    if (!hdbc || !Succeeded(SQLAllocHandle(SQL_HANDLE_STMT, hdbc, &hstmt))) return {};
    return OdbcStatement(hstmt);
}

SQLRETURN ExecDirect(SQLHDBC hdbc, const std::string& sql) {
    OdbcStatement stmt = AllocStatement(hdbc);
    if (!stmt) return SQL_ERROR;
    return ExecOn(stmt.Get(), sql);
}

SQLRETURN ExecOn(SQLHSTMT hstmt, const std::string& sql) {
    std::vector<SQLCHAR> text(sql.begin(), sql.end());
    text.push_back(0);
    return SQLExecDirect(hstmt, text.data(), SQL_NTS);
}

}  // namespace Odbc

OdbcConnection& OdbcConnection::operator=(OdbcConnection&& other) noexcept {
    if (this != &other) {
        Close();
        m_hdbc = std::exchange(other.m_hdbc, nullptr);
        m_bConnected = std::exchange(other.m_bConnected, false);
    }
    return *this;
}

bool OdbcConnection::Allocate(int loginTimeoutSeconds) {
    Close();
    m_strLastError.clear();
    SQLHENV env = Odbc::Environment();
    if (!env || !Odbc::Succeeded(SQLAllocHandle(SQL_HANDLE_DBC, env, &m_hdbc))) {
        m_hdbc = nullptr;
        m_strLastError = "cannot allocate an ODBC connection handle";
        return false;
    }
    SQLSetConnectAttr(m_hdbc, SQL_ATTR_LOGIN_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(loginTimeoutSeconds)), 0);
    return true;
}

bool OdbcConnection::DriverConnect(const std::string& connectionString, int loginTimeoutSeconds) {
    if (!Allocate(loginTimeoutSeconds)) return false;
    std::vector<SQLCHAR> text(connectionString.begin(), connectionString.end());
    text.push_back(0);
    SQLCHAR out[1024];
    SQLSMALLINT outLength = 0;
    // No ini lock: odbc.ini is only ever replaced whole, so the driver manager reads the
    // old file or the new one, and a connect that waits for a silent server holds up no
    // one else.
    const SQLRETURN rc = SQLDriverConnect(m_hdbc, nullptr, text.data(), SQL_NTS, out, sizeof out,
                                          &outLength, SQL_DRIVER_NOPROMPT);
    return Finish(rc);
}

bool OdbcConnection::Connect(const std::string& source, const std::string& user,
                             const std::string& password, int loginTimeoutSeconds) {
    if (!Allocate(loginTimeoutSeconds)) return false;
    std::vector<SQLCHAR> dsn(source.begin(), source.end()), uid(user.begin(), user.end()),
        pwd(password.begin(), password.end());
    dsn.push_back(0);
    uid.push_back(0);
    pwd.push_back(0);
    const SQLRETURN rc =
        SQLConnect(m_hdbc, dsn.data(), SQL_NTS, uid.data(), SQL_NTS, pwd.data(), SQL_NTS);
    return Finish(rc);
}

bool OdbcConnection::Finish(SQLRETURN rc) {
    m_bConnected = Odbc::Succeeded(rc);
    if (!m_bConnected) {
        m_strLastError = Odbc::Diagnostics(SQL_HANDLE_DBC, m_hdbc);
        Close();
    }
    return m_bConnected;
}

void OdbcConnection::Close() {
    if (!m_hdbc) return;
    if (m_bConnected) SQLDisconnect(m_hdbc);
    SQLFreeHandle(SQL_HANDLE_DBC, m_hdbc);
    m_hdbc = nullptr;
    m_bConnected = false;
}

SQLHDBC OdbcConnection::Release() {
    m_bConnected = false;
    return std::exchange(m_hdbc, nullptr);
}

namespace Odbc {

namespace {

constexpr size_t kLogTextLimit = 2000;

bool IsUriSafe(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' ||
           c == '.' || c == '_' || c == '-' || c == '~';
}

}  // namespace

std::string SqliteFileUri(const std::string& file) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string uri = "file:";
    for (unsigned char c : file) {
        if (IsUriSafe(c)) {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            uri += kHex[c >> 4];
            uri += kHex[c & 0x0F];
        }
    }
    return uri;
}

std::string SqliteConnectionString(const std::string& file, bool mayCreate) {
    return "DRIVER={SQLite3};Database=" + SqliteFileUri(System::DriverPath(file)) +
           ";JournalMode=WAL;SyncPragma=NORMAL;Timeout=10000" + (mayCreate ? "" : ";NoCreat=1");
}

std::string LogText(const std::string& sql) {
    if (sql.size() <= kLogTextLimit) return sql;
    size_t cut = kLogTextLimit;
    // Step back over UTF-8 continuation bytes so that no character is split.
    while (cut > 0 && (static_cast<unsigned char>(sql[cut]) & 0xC0) == 0x80) --cut;
    return sql.substr(0, cut) + "… (statement of " + std::to_string(sql.size()) +
           " characters, cut)";
}

}  // namespace Odbc
