#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The limit a benchmark compares a path against: its insert statements sent straight
// through ODBC, with none of the plug-in's work around them.
constexpr size_t kRawStatementsPerTransaction = 1000;

// Statements per second for `texts`, sent in order on a new connection to `source`
// (as the backend's user) after the rows of tower `tower` are deleted from both
// backend tables: each with its own commit, or, `inTransactions`, with one commit per
// kRawStatementsPerTransaction and one at the end. 0 when the connection fails.
double RawInsertRate(const std::string& source, int tower, const std::vector<std::string>& texts,
                     bool inTransactions);
