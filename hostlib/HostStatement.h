#pragma once

#include "hostlib/VktBase.h"

// The statement on VKTCOMM.MDB that LockHSTMT reserves, held for the guard's scope:
// UnLockHSTMT runs on every way out, also when no statement could be had. Null (false)
// when the database is unavailable. Close the connection (CloseDB) only after the
// guard is gone: closing it frees the statement the guard still holds.
class HostStatement {
public:
    HostStatement() : m_hstmt(LockHSTMT()) {}
    ~HostStatement() { UnLockHSTMT(m_hstmt); }
    HostStatement(const HostStatement&) = delete;
    HostStatement& operator=(const HostStatement&) = delete;

    SQLHSTMT Get() const { return m_hstmt; }
    explicit operator bool() const { return m_hstmt != nullptr; }

private:
    SQLHSTMT m_hstmt;
};
