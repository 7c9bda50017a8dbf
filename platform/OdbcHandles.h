#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Api.h"
#include "platform/OdbcApi.h"

// Owning wrappers of ODBC handles: each frees its handle on every path.
template <SQLSMALLINT HandleType>
class OdbcHandle {
public:
    OdbcHandle() = default;
    explicit OdbcHandle(SQLHANDLE handle) : m_handle(handle) {}
    OdbcHandle(const OdbcHandle&) = delete;
    OdbcHandle& operator=(const OdbcHandle&) = delete;
    OdbcHandle(OdbcHandle&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    OdbcHandle& operator=(OdbcHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            m_handle = std::exchange(other.m_handle, nullptr);
        }
        return *this;
    }
    ~OdbcHandle() { Reset(); }

    SQLHANDLE Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    SQLHANDLE Release() { return std::exchange(m_handle, nullptr); }
    void Reset() {
        if (m_handle) SQLFreeHandle(HandleType, std::exchange(m_handle, nullptr));
    }

private:
    SQLHANDLE m_handle = nullptr;
};

using OdbcStatement = OdbcHandle<SQL_HANDLE_STMT>;

// A connection that disconnects before it frees its handle.
class VKTBASE_API OdbcConnection {
public:
    OdbcConnection() = default;
    OdbcConnection(OdbcConnection&& other) noexcept
        : m_hdbc(std::exchange(other.m_hdbc, nullptr)),
          m_bConnected(std::exchange(other.m_bConnected, false)) {}
    OdbcConnection& operator=(OdbcConnection&& other) noexcept;
    OdbcConnection(const OdbcConnection&) = delete;
    OdbcConnection& operator=(const OdbcConnection&) = delete;
    ~OdbcConnection() { Close(); }

    // Connects with a full connection string ("DRIVER=…;Database=…").
    bool DriverConnect(const std::string& connectionString, int loginTimeoutSeconds);
    // Connects by data source name, user and password.
    bool Connect(const std::string& source, const std::string& user, const std::string& password,
                 int loginTimeoutSeconds);
    void Close();

    SQLHDBC Get() const { return m_hdbc; }
    SQLHDBC Release();
    bool IsOpen() const { return m_bConnected; }
    // The diagnostics of the last failed connect, one record a line.
    const std::string& LastError() const { return m_strLastError; }

private:
    bool Allocate(int loginTimeoutSeconds);
    // Keeps the connection when the connect succeeded, else its diagnostics.
    bool Finish(SQLRETURN rc);

    SQLHDBC m_hdbc = nullptr;
    bool m_bConnected = false;
    std::string m_strLastError;
};

namespace Odbc {

// The process's one ODBC environment (ODBC 3), made on first use.
VKTBASE_API SQLHENV Environment();

// Every diagnostic record of the handle as "SQLSTATE native message" lines.
VKTBASE_API std::string Diagnostics(SQLSMALLINT handleType, SQLHANDLE handle);

// A new statement on the connection, or an empty handle.
VKTBASE_API OdbcStatement AllocStatement(SQLHDBC hdbc);

// Runs a statement that returns no rows; returns the ODBC return code.
VKTBASE_API SQLRETURN ExecDirect(SQLHDBC hdbc, const std::string& sql);
// Runs the text on the statement (SQLExecDirect with a buffer of the text's own size:
// nothing is cut); returns the ODBC return code.
VKTBASE_API SQLRETURN ExecOn(SQLHSTMT hstmt, const std::string& sql);

// Serialises this process's writers of odbc.ini (data source registration), so that
// one's look at the file and its replacement are not crossed by another's. Readers
// (connects) do not take it: the file is only ever replaced whole. A leaf lock: nothing
// else is taken while it is held.
VKTBASE_API std::recursive_mutex& IniLock();

// Registers (or rewrites) a system data source through the ODBC installer:
// SQLConfigDataSource(no window, ODBC_ADD_SYS_DSN, driver, attributes), unless
// odbc.ini already holds it as given (the driver and each key with its value, names
// compared without regard to case, and no other key): then the file is not touched.
// Each attribute is "KEY=value", DSN naming the data source. False, with nothing
// written, for a control character (a line break) in the driver or an attribute, or a
// data source that one section cannot hold (see OdbcIni::CanWrite); false too when
// the installer fails. Takes IniLock.
VKTBASE_API bool RegisterSystemDataSource(const std::string& driver,
                                          const std::vector<std::string>& attributes);

// The value of `key` in data source `source` as the driver manager reads it (the
// user's odbc.ini before the system's); empty when there is none.
VKTBASE_API std::string DataSourceValue(const std::string& source, const std::string& key);

// SQL_SUCCESS or SQL_SUCCESS_WITH_INFO: the one test of a return code used here.
inline bool Succeeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

}  // namespace Odbc

// What running one statement came to: whether it was sent to the driver at all, and
// the driver's return code when it was.
struct StatementResult {
    bool bRan = false;
    SQLRETURN nCode = SQL_ERROR;

    bool Failed() const { return bRan && nCode < 0; }
};

namespace Odbc {

// A connection string for an SQLite file through the SQLite3 driver, with write-ahead
// logging and a bounded wait for another connection's lock. The SQLite driver reads
// its Database attribute up to the next ";" and does not understand braces, so the
// file is named as an SQLite URI ("file:" and the path, each byte outside a safe set
// percent-encoded): any path reaches it whole. Unless `mayCreate`, a missing file
// fails the connect instead of being made empty.
VKTBASE_API std::string SqliteConnectionString(const std::string& file, bool mayCreate = true);
// The file as the SQLite URI the driver is given.
VKTBASE_API std::string SqliteFileUri(const std::string& file);

// A statement text for a log line: whole up to about 2,000 characters, else cut there
// (at a character boundary) with its full length noted.
VKTBASE_API std::string LogText(const std::string& sql);

}  // namespace Odbc
