// The station database's side of the local data export: reading a range of rows and
// offering each to the backend.
#include "storage/LocalDataExport.h"

#include <cstdio>
#include <cstdlib>

#include "hostlib/VktBase.h"
#include "model/Catalogue.h"
#include "storage/TowerRow.h"
#include "storage/WPContext.h"
#include "storage/WPLocalDB.h"

namespace {

constexpr size_t kColumnBuffer = 3000;

std::string Column(SQLHSTMT hstmt, SQLUSMALLINT column) {
    char buffer[kColumnBuffer] = {0};
    SQLLEN indicator = 0;
    const SQLRETURN rc = SQLGetData(hstmt, column, SQL_C_CHAR, buffer, sizeof buffer, &indicator);
    if (!SQL_SUCCEEDED(rc) || indicator == SQL_NULL_DATA) return {};
    buffer[kColumnBuffer - 1] = 0;
    return buffer;
}

// A leading decimal number; an empty text or none at all gives 0.
std::string NumberColumn(SQLHSTMT hstmt, SQLUSMALLINT column) {
    return NumberText(std::strtod(Column(hstmt, column).c_str(), nullptr));
}

// A time column goes back as a time literal only when it reads as one: the text
// never reaches the statement itself.
std::string TimeColumn(SQLHSTMT hstmt, SQLUSMALLINT column) {
    const DateTime time = ParseDBTime(Column(hstmt, column));
    return time.IsValid() ? TimeLiteral(time) : "NULL";
}

std::string RangeQuery(const char* table, const DateTime& from, const DateTime& to) {
    return std::string("SELECT * FROM ") + table + " WHERE TIME > " + TimeLiteral(from) +
           " AND TIME <= " + TimeLiteral(to) + " ORDER BY TIME ASC";
}

void Count(BackendOutcome outcome, CExportCounts& counts) {
    switch (outcome) {
        case BackendOutcome::Done:
            ++counts.m_nCopied;
            break;
        case BackendOutcome::AlreadyPresent:
            ++counts.m_nPresent;
            break;
        case BackendOutcome::NotRun:
        case BackendOutcome::Failed:
            ++counts.m_nFailed;
            break;
    }
}

std::string TableName(const std::string& prefix, const char* table) {
    return prefix.empty() ? std::string(table) : prefix + "." + table;
}

}  // namespace

std::string GetOutRTInsert(const std::string& prefix) {
    std::string head = "INSERT INTO " + TableName(prefix, "FD_RUN_RTTOWER") + "(TOWERID,TIME,";
    for (const ColumnDef& column : TenMinuteColumns()) head += column.name + ",";
    head.back() = ')';
    return head;
}

std::string GetOutHisInsert(const std::string& prefix) {
    std::string head =
        "INSERT INTO " + TableName(prefix, "FD_RUN_TOWERHIS") + "(TOWERID,TIME,TYPE,";
    for (const ColumnDef& column : HourlyColumns()) head += column.name + ",";
    head.back() = ')';
    return head;
}

void CWPLocalDB::ExportTable(const std::string& query, const std::function<void(SQLHSTMT)>& copy) {
    OdbcStatement stmt = GetLocalStmt();
    if (!stmt) return;
    if (RunLocalStatement(stmt, query, "CSaveHisData Error SQL : ") != SQL_SUCCESS) return;
    while (Odbc::Succeeded(SQLFetch(stmt.Get()))) copy(stmt.Get());
}

void CWPLocalDB::OutLocalRange(CWPContext& context, const DateTime& from, const DateTime& to,
                               CExportCounts& counts) {
    OutLocalRT(context, from, to, counts);
    if (context.m_settings.Get()->m_nType != 1) OutLocalHis(context, from, to, counts);
}

void CWPLocalDB::OutLocalRT(CWPContext& context, const DateTime& from, const DateTime& to,
                            CExportCounts& counts) {
    const std::string prefix = context.m_settings.Get()->m_strPreName;
    if (!context.m_backend.CheckPrefix(prefix)) return;
    const std::string head = GetOutRTInsert(prefix);
    const std::string tower = std::to_string(context.m_assignments.TowerIDOf(m_nRTUID));
    const SQLUSMALLINT lastColumn = static_cast<SQLUSMALLINT>(1 + TenMinuteColumns().size());
    AccessGuard guard;
    ExportTable(RangeQuery("RTTOWER", from, to), [&](SQLHSTMT hstmt) {
        const DateTime time = ParseDBTime(Column(hstmt, 1));
        if (!time.IsValid()) {
            ++counts.m_nUnreadable;
            return;
        }
        std::string values = " VALUES(" + tower + "," + TimeLiteral(time) + ",";
        for (SQLUSMALLINT column = 2; column <= lastColumn; ++column) {
            values += NumberColumn(hstmt, column) + ",";
        }
        values.back() = ')';
        Count(context.m_backend.InsertBackendRow(head + values), counts);
    });
}

void CWPLocalDB::OutLocalHis(CWPContext& context, const DateTime& from, const DateTime& to,
                             CExportCounts& counts) {
    const std::string prefix = context.m_settings.Get()->m_strPreName;
    if (!context.m_backend.CheckPrefix(prefix)) return;
    const std::string head = GetOutHisInsert(prefix);
    const std::string tower = std::to_string(context.m_assignments.TowerIDOf(m_nRTUID));
    const std::vector<ColumnDef>& columns = HourlyColumns();
    AccessGuard guard;
    ExportTable(RangeQuery("HSTOWER", from, to), [&](SQLHSTMT hstmt) {
        const DateTime time = ParseDBTime(Column(hstmt, 1));
        if (!time.IsValid()) {
            ++counts.m_nUnreadable;
            return;
        }
        // TYPE (column 2) is always 1 in the backend, whatever the station row holds.
        std::string values = " VALUES(" + tower + "," + TimeLiteral(time) + ",1,";
        for (size_t k = 0; k < columns.size(); ++k) {
            const auto column = static_cast<SQLUSMALLINT>(3 + k);
            values += (columns[k].kind == ColumnKind::Time ? TimeColumn(hstmt, column)
                                                           : NumberColumn(hstmt, column)) +
                      ",";
        }
        values.back() = ')';
        Count(context.m_backend.InsertBackendRow(head + values), counts);
    });
}
