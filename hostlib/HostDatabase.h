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
// Opens the connection when closed; the caller holds the lock. Null on failure.
SQLHDBC Connection();
void Close();  // the caller holds the lock

}  // namespace HostDatabase
