#pragma once

#include <sql.h>

#include <functional>
#include <mutex>
#include <string>

#include "platform/DateTime.h"

// The plug-in's one connection to the backend database (data source, user and
// password from the settings) and the statement runners every backend user goes
// through. The backend lock is re-entrant; a thread that also needs the Access
// lock takes that one first.

// The backend lock: held from statement allocation until the statement is freed.
std::recursive_mutex& BackendLock();

// Opens the connection; takes the backend lock. Nonzero on success.
int ConnectBackend();
// Closes the connection (the next statement reopens it); takes the backend lock.
void DisconnectBackend();
// A new statement on the connection, opening it when closed; null when that fails.
// The caller holds the backend lock and frees the statement.
SQLHSTMT GetBackendStmt();
// The open connection, or null; the caller holds the backend lock.
SQLHDBC BackendConnection();

// Runs a statement that returns no rows; takes the backend lock. A statement the
// driver rejects is written to the error log with the driver's diagnostics, shown
// in the host's message window ("WP Error SQL: " and the text) and drops the
// connection; the result is then false. Without a connection nothing runs and the
// result is true.
bool ExecBackendSQL(const std::string& sql);

// Runs a query and tells whether it yields a row; takes the backend lock. A rejected
// query is reported like ExecBackendSQL (without the diagnostics) and counts as no row.
bool BackendRowExists(const std::string& sql);

// Reads "YYYY-MM-DD HH:MM:SS" (digits after the seconds ignored) as a driver returns
// a date-time column in character form. A text that is not such a time, or names no
// real date, gives an invalid date-time.
DateTime ParseDBTime(const std::string& text);

// Sees the text of every statement the runners send, before it is sent; for tests.
// Set it while no statement runs.
void SetBackendStatementObserver(std::function<void(const std::string&)> observer);
