#include "bench/RawInserts.h"

#include <chrono>

#include "hostlib/VktBase.h"
#include "platform/OdbcHandles.h"
#include "storage/BackendDB.h"

namespace {

// The texts as they go in calls: one each, or kStatementsPerBatch joined.
std::vector<std::string> Calls(const std::vector<std::string>& texts, RawMode mode) {
    if (mode != RawMode::Batches) return texts;
    std::vector<std::string> calls;
    for (size_t i = 0; i < texts.size(); ++i) {
        if (i % kStatementsPerBatch == 0) {
            calls.push_back(texts[i]);
        } else {
            calls.back() += ';' + texts[i];
        }
    }
    return calls;
}

}  // namespace

double RawInsertRate(const std::string& source, int tower, const std::vector<std::string>& texts,
                     RawMode mode) {
    OdbcConnection connection;
    if (!connection.Connect(source, "fd", "wendol", kLoginTimeoutSeconds)) return 0;
    for (const char* table : {"FD_RUN_RTTOWER", "FD_RUN_TOWERHIS"}) {
        Odbc::ExecDirect(connection.Get(), std::string("DELETE FROM ") + table +
                                               " WHERE TOWERID=" + std::to_string(tower));
    }
    const bool inTransactions = mode != RawMode::Single;
    if (inTransactions) {
        SQLSetConnectAttr(connection.Get(), SQL_ATTR_AUTOCOMMIT,
                          reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
    }
    const std::vector<std::string> calls = Calls(texts, mode);
    const size_t perCall = mode == RawMode::Batches ? kStatementsPerBatch : 1;
    const size_t callsPerTransaction = kRawStatementsPerTransaction / perCall;
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < calls.size(); ++i) {
        if (!Odbc::Succeeded(Odbc::ExecDirect(connection.Get(), calls[i]))) return 0;
        const bool lastOfTransaction = (i + 1) % callsPerTransaction == 0 || i + 1 == calls.size();
        if (inTransactions && lastOfTransaction) {
            SQLEndTran(SQL_HANDLE_DBC, connection.Get(), SQL_COMMIT);
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return static_cast<double>(texts.size()) / seconds;
}
