#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The limit a benchmark compares a path against: its insert statements sent straight
// through ODBC, with none of the plug-in's work around them.
constexpr size_t kRawStatementsPerTransaction = 1000;

// How the raw statements are sent.
enum class RawMode {
    Single,        // each with its own commit
    Transactions,  // one commit per kRawStatementsPerTransaction and one at the end
    // as Transactions, and kStatementsPerBatch of them joined in one call: the limit
    // for these texts where the server takes batches
    Batches,
};

// Statements per second for `texts`, sent in order on a new connection to `source`
// (as the backend's user) after the rows of tower `tower` are deleted from both
// backend tables. 0 when the connection fails or the driver refuses a call (SQLite's
// takes one statement a call).
double RawInsertRate(const std::string& source, int tower, const std::vector<std::string>& texts,
                     RawMode mode);
