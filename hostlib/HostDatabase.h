#pragma once

#include <string>

#include "platform/Mutex.h"
#include "platform/OdbcHandles.h"

// The library's own connection to VKTCOMM.MDB, shared by LockHSTMT, ExecSQLStr and
// the host side. Internal to the base library.
namespace HostDatabase {

// "VKTCOMM.MDB" in the current directory, as an absolute path.
std::string FilePath();

// The statement lock (re-entrant): held between LockHSTMT and UnLockHSTMT.
extern RecursiveMutex g_statementLock;
void Lock() ACQUIRE(g_statementLock);
void Unlock() RELEASE(g_statementLock);
// Opens the connection when closed. Null on failure. Only the making of a host
// directory may create a missing VKTCOMM.MDB.
SQLHDBC Connection(bool mayCreate = false) REQUIRES(g_statementLock);
void Close() REQUIRES(g_statementLock);

// Writes the failure and its diagnostics to the error log and keeps it for
// VktHost::LastDatabaseError.
void NoteFailure(const std::string& what, const std::string& diagnostics) REQUIRES(g_statementLock);

}  // namespace HostDatabase
