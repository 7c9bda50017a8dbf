// The station database's side of the local data export: reading a range of rows and
// offering each to the backend.
#include "storage/LocalDataExport.h"

#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

#include "hostlib/VktBase.h"
#include "model/Catalogue.h"
#include "storage/TowerRow.h"
#include "storage/WPContext.h"
#include "storage/WPLocalDB.h"

// A fetched row, bound once per query: one call per row, not one per column. Value
// columns arrive as numbers (NULL as 0), time columns as text; a text wider than a
// date-time is cut.
class BoundRow {
public:
    // `isText` tells per column (1-based, index 0 unused) whether it is bound as text.
    bool Bind(SQLHSTMT hstmt, const std::vector<bool>& isText) {
        SQLSMALLINT columns = 0;
        if (!SQL_SUCCEEDED(SQLNumResultCols(hstmt, &columns)) || columns <= 0) return false;
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
            if (!SQL_SUCCEEDED(rc)) return false;
        }
        return true;
    }
    // 1-based; empty for NULL and for a column the query does not have.
    std::string Text(size_t column) const {
        if (IsNull(column)) return {};
        return std::string(&m_texts[(column - 1) * kWidth]);
    }
    double Number(size_t column) const { return IsNull(column) ? 0.0 : m_numbers[column - 1]; }

private:
    bool IsNull(size_t column) const {
        return column < 1 || column > m_nColumns || m_indicators[column - 1] == SQL_NULL_DATA;
    }

    static constexpr size_t kWidth = 64;
    size_t m_nColumns = 0;
    std::vector<char> m_texts;
    std::vector<double> m_numbers;
    std::vector<SQLLEN> m_indicators;
};

namespace {

// A time column goes back as a time literal only when it reads as one: the text
// never reaches the statement itself.
std::string TimeValue(const std::string& text) {
    const DateTime time = ParseDBTime(text);
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

// The times of the tower's rows the backend already holds in (from, to]: those rows
// are counted as present and not offered again, so a repeated export sends nothing.
std::set<double> PresentTimes(CBackendDB& backend, const std::string& table,
                              const std::string& tower, const DateTime& from, const DateTime& to,
                              const char* condition) {
    std::vector<std::string> texts;
    backend.ReadFirstColumn("SELECT TIME FROM " + table + " WHERE TOWERID=" + tower +
                                " AND TIME > " + TimeLiteral(from) +
                                " AND TIME <= " + TimeLiteral(to) + condition,
                            texts);
    std::set<double> times;
    for (const std::string& text : texts) {
        const DateTime time = ParseDBTime(text);
        if (time.IsValid()) times.insert(time.GetOleDate());
    }
    return times;
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

void CWPLocalDB::ExportTable(const std::string& query, const std::vector<bool>& isText,
                             const std::function<void(const BoundRow&)>& copy) {
    OdbcStatement stmt = GetLocalStmt();
    if (!stmt) return;
    if (RunLocalStatement(stmt, query, "CSaveHisData Error SQL : ") != SQL_SUCCESS) return;
    BoundRow row;
    if (!row.Bind(stmt.Get(), isText)) return;
    while (Odbc::Succeeded(SQLFetch(stmt.Get()))) copy(row);
}

void CWPLocalDB::OutLocalRange(CWPContext& context, const DateTime& from, const DateTime& to,
                               CExportCounts& counts) {
    OutLocalRT(context, from, to, counts);
    if (context.m_settings.Get()->m_nType != 1) OutLocalHis(context, from, to, counts);
}

void CWPLocalDB::OutLocalRT(CWPContext& context, const DateTime& from, const DateTime& to,
                            CExportCounts& counts) {
    CExportTable table{"RTTOWER", "FD_RUN_RTTOWER", "", &GetOutRTInsert, {}, nullptr};
    const size_t lastColumn = 1 + TenMinuteColumns().size();
    table.isText.assign(lastColumn + 1, false);
    table.isText[1] = true;  // TIME
    table.appendValues = [lastColumn](const BoundRow& row, std::string& values) {
        for (size_t column = 2; column <= lastColumn; ++column) {
            values += NumberText(row.Number(column));
            values += ',';
        }
    };
    ExportRange(context, table, from, to, counts);
}

void CWPLocalDB::OutLocalHis(CWPContext& context, const DateTime& from, const DateTime& to,
                             CExportCounts& counts) {
    CExportTable table{"HSTOWER", "FD_RUN_TOWERHIS", " AND TYPE=1", &GetOutHisInsert, {}, nullptr};
    const std::vector<ColumnDef>& columns = HourlyColumns();
    // TIME, and each level's MAXTM, three columns on.
    table.isText.assign(3 + columns.size(), false);
    table.isText[1] = true;
    for (size_t k = 0; k < columns.size(); ++k) {
        table.isText[3 + k] = columns[k].kind == ColumnKind::Time;
    }
    table.appendValues = [&columns](const BoundRow& row, std::string& values) {
        // TYPE (column 2) is always 1 in the backend, whatever the station row holds.
        values += "1,";
        for (size_t k = 0; k < columns.size(); ++k) {
            values += columns[k].kind == ColumnKind::Time ? TimeValue(row.Text(3 + k))
                                                          : NumberText(row.Number(3 + k));
            values += ',';
        }
    };
    ExportRange(context, table, from, to, counts);
}

void CWPLocalDB::ExportRange(CWPContext& context, const CExportTable& table, const DateTime& from,
                             const DateTime& to, CExportCounts& counts) {
    const std::string prefix = context.m_settings.Get()->m_strPreName;
    if (!context.m_backend.CheckPrefix(prefix)) return;
    const std::string head = table.head(prefix);
    const std::string tower = std::to_string(context.m_assignments.TowerIDOf(m_nRTUID));
    const std::set<double> present =
        PresentTimes(context.m_backend, TableName(prefix, table.backendTable), tower, from, to,
                     table.backendCondition);
    AccessGuard guard;
    ExportTable(RangeQuery(table.stationTable, from, to), table.isText, [&](const BoundRow& row) {
        const DateTime time = ParseDBTime(row.Text(1));
        if (!time.IsValid()) {
            ++counts.m_nUnreadable;
            return;
        }
        if (present.count(time.GetOleDate())) {
            ++counts.m_nPresent;
            return;
        }
        std::string values = " VALUES(" + tower + "," + TimeLiteral(time) + ",";
        table.appendValues(row, values);
        values.back() = ')';
        Count(context.m_backend.InsertBackendRow(head + values), counts);
    });
}
