#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/Api.h"
#include "platform/OdbcHandles.h"

// Reading what a statement returns: the row at hand read column by column with typed
// reads, every row walked by one loop, or the rows fetched into bound buffers. Columns
// are numbered from 1, as ODBC numbers them.

// The current row of a statement, read on demand (SQLGetData): each column once, in
// increasing order, as ODBC allows. Valid while the statement stays on that row.
class VKTBASE_API OdbcRow {
public:
    explicit OdbcRow(SQLHSTMT hstmt) : m_hstmt(hstmt) {}

    // The column as text, however long; empty for NULL and for a column that cannot
    // be read.
    std::string Text(SQLUSMALLINT column) const;
    // The column as a whole number (an optional sign and digits, within an int);
    // nothing for NULL or any other text.
    std::optional<int> Int(SQLUSMALLINT column) const;
    // The column as a number (its text read as strtod reads it: "5.3", "1e+20", "-99");
    // nothing for NULL or a text that does not begin with a number.
    std::optional<double> Number(SQLUSMALLINT column) const;

    SQLHSTMT Handle() const { return m_hstmt; }

private:
    SQLHSTMT m_hstmt;
};

namespace Odbc {

// Moves the statement to its next row; false at the end of the rows and when the
// fetch fails.
VKTBASE_API bool FetchRow(SQLHSTMT hstmt);

// Hands every row of the statement's result to `visit(const OdbcRow&)`, in order,
// until the rows end or a fetch fails. Returns how many rows were visited.
template <typename Visit>
long ForEachRow(SQLHSTMT hstmt, Visit&& visit) {
    long rows = 0;
    while (FetchRow(hstmt)) {
        const OdbcRow row(hstmt);
        visit(row);
        ++rows;
    }
    return rows;
}

// Runs the text on the statement and, when it ran, hands its rows to `visit` as
// ForEachRow does. Returns the statement's return code.
template <typename Visit>
SQLRETURN QueryOn(SQLHSTMT hstmt, const std::string& sql, Visit&& visit) {
    const SQLRETURN rc = ExecOn(hstmt, sql);
    if (Succeeded(rc)) ForEachRow(hstmt, visit);
    return rc;
}

// Runs the text on a new statement of the connection, its rows handed to `visit` as
// QueryOn does; the statement is freed before it returns. SQL_ERROR when no statement
// could be had.
template <typename Visit>
SQLRETURN Query(SQLHDBC hdbc, const std::string& sql, Visit&& visit) {
    OdbcStatement stmt = AllocStatement(hdbc);
    if (!stmt) return SQL_ERROR;
    return QueryOn(stmt.Get(), sql, visit);
}

// The first column of the first row of the query as text; nothing when the query
// fails or returns no row (an empty text for NULL).
VKTBASE_API std::optional<std::string> QueryText(SQLHDBC hdbc, const std::string& sql);

}  // namespace Odbc

// The rows of a statement fetched into buffers bound once per query: one driver call
// a row instead of one a column, for long runs of rows. Each column is bound as a
// number (NULL reads 0) or as text (cut at 63 bytes: room for a date-time).
class VKTBASE_API OdbcBoundRow {
public:
    // Binds every column of the statement's result; `isText` tells per column
    // (1-based, index 0 unused) whether it is bound as text. False when the statement
    // has no result or a column cannot be bound.
    bool Bind(SQLHSTMT hstmt, const std::vector<bool>& isText);
    // Fetches each row into the buffers and hands this object to `visit(const
    // OdbcBoundRow&)`, until the rows end or a fetch fails. Returns the rows visited.
    template <typename Visit>
    long ForEach(Visit&& visit) {
        long rows = 0;
        while (m_hstmt && Odbc::FetchRow(m_hstmt)) {
            visit(static_cast<const OdbcBoundRow&>(*this));
            ++rows;
        }
        return rows;
    }

    // 1-based; empty for NULL and for a column the query does not have.
    std::string Text(size_t column) const;
    // 1-based; 0 for NULL and for a column the query does not have.
    double Number(size_t column) const { return IsNull(column) ? 0.0 : m_numbers[column - 1]; }
    bool IsNull(size_t column) const {
        return column < 1 || column > m_nColumns || m_indicators[column - 1] == SQL_NULL_DATA;
    }

private:
    static constexpr size_t kWidth = 64;
    SQLHSTMT m_hstmt = nullptr;
    size_t m_nColumns = 0;
    std::vector<char> m_texts;
    std::vector<double> m_numbers;
    std::vector<SQLLEN> m_indicators;
};
