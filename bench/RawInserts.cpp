#include "bench/RawInserts.h"

#include <chrono>

#include "hostlib/VktBase.h"
#include "platform/OdbcHandles.h"

double RawInsertRate(const std::string& source, int tower, const std::vector<std::string>& texts,
                     bool inTransactions) {
    OdbcConnection connection;
    if (!connection.Connect(source, "fd", "wendol", kLoginTimeoutSeconds)) return 0;
    for (const char* table : {"FD_RUN_RTTOWER", "FD_RUN_TOWERHIS"}) {
        Odbc::ExecDirect(connection.Get(), std::string("DELETE FROM ") + table +
                                               " WHERE TOWERID=" + std::to_string(tower));
    }
    if (inTransactions) {
        SQLSetConnectAttr(connection.Get(), SQL_ATTR_AUTOCOMMIT,
                          reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
    }
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < texts.size(); ++i) {
        Odbc::ExecDirect(connection.Get(), texts[i]);
        const bool lastOfTransaction =
            (i + 1) % kRawStatementsPerTransaction == 0 || i + 1 == texts.size();
        if (inTransactions && lastOfTransaction) {
            SQLEndTran(SQL_HANDLE_DBC, connection.Get(), SQL_COMMIT);
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return static_cast<double>(texts.size()) / seconds;
}
