#include "platform/OdbcQuery.h"

#include <cstdlib>

#include "platform/TextNumber.h"

std::string OdbcRow::Text(SQLUSMALLINT column) const {
    std::string value;
    char buffer[512];
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN rc =
            SQLGetData(m_hstmt, column, SQL_C_CHAR, buffer, sizeof buffer, &indicator);
        if (rc == SQL_NO_DATA || !Odbc::Succeeded(rc) || indicator == SQL_NULL_DATA) break;
        // A piece that does not fill the buffer is the last; a full one holds its
        // terminating zero in the last byte.
        const size_t available = indicator == SQL_NO_TOTAL || indicator >= SQLLEN(sizeof buffer)
                                     ? sizeof buffer - 1
                                     : static_cast<size_t>(indicator);
        value.append(buffer, available);
        if (rc == SQL_SUCCESS) break;
    }
    return value;
}

std::optional<int> OdbcRow::Int(SQLUSMALLINT column) const {
    return ReadWholeNumber(Text(column));
}

std::optional<double> OdbcRow::Number(SQLUSMALLINT column) const {
    const std::string text = Text(column);
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str()) return std::nullopt;
    return value;
}

namespace Odbc {

bool FetchRow(SQLHSTMT hstmt) {
    return Succeeded(SQLFetch(hstmt));
}

std::optional<std::string> QueryText(SQLHDBC hdbc, const std::string& sql) {
    std::optional<std::string> text;
    Query(hdbc, sql, [&](const OdbcRow& row) {
        if (!text) text = row.Text(1);
    });
    return text;
}

}  // namespace Odbc

bool OdbcBoundRow::Bind(SQLHSTMT hstmt, const std::vector<bool>& isText) {
    m_hstmt = nullptr;
    SQLSMALLINT columns = 0;
    if (!Odbc::Succeeded(SQLNumResultCols(hstmt, &columns)) || columns <= 0) return false;
    m_nColumns = static_cast<size_t>(columns);
    m_texts.assign(m_nColumns * kWidth, 0);
    m_numbers.assign(m_nColumns, 0.0);
    m_indicators.assign(m_nColumns, SQL_NULL_DATA);
    for (size_t i = 0; i < m_nColumns; ++i) {
        const auto column = static_cast<SQLUSMALLINT>(i + 1);
        const bool text = i + 1 < isText.size() && isText[i + 1];
        const SQLRETURN rc =
            text ? SQLBindCol(hstmt, column, SQL_C_CHAR, &m_texts[i * kWidth], kWidth,
                              &m_indicators[i])
                 : SQLBindCol(hstmt, column, SQL_C_DOUBLE, &m_numbers[i], 0, &m_indicators[i]);
        if (!Odbc::Succeeded(rc)) return false;
    }
    m_hstmt = hstmt;
    return true;
}

std::string OdbcBoundRow::Text(size_t column) const {
    if (IsNull(column)) return {};
    return std::string(&m_texts[(column - 1) * kWidth]);
}
