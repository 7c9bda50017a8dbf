#pragma once

#include <string>

#include "platform/OdbcHandles.h"

// The library's own connection to VKTCOMM.MDB, shared by LockHSTMT, ExecSQLStr and
// the host side. Internal to the base library.
namespace HostDatabase {

// "VKTCOMM.MDB" in the current directory, as an absolute path.
std::string FilePath();

// The statement lock: held between LockHSTMT and UnLockHSTMT.
void Lock();
void Unlock();
// Opens the connection when closed; the caller holds the lock. Null on failure. Only
// the making of a host directory may create a missing VKTCOMM.MDB.
SQLHDBC Connection(bool mayCreate = false);
void Close();  // the caller holds the lock

// Writes the failure and its diagnostics to the error log and keeps it for
// VktHost::LastDatabaseError; the caller holds the lock.
void NoteFailure(const std::string& what, const std::string& diagnostics);

}  // namespace HostDatabase
