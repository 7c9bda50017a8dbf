// The station database's side of the local data export: reading a range of rows and
// offering each to the backend.
#include "storage/LocalDataExport.h"

#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

#include "hostlib/VktBase.h"
#include "model/AssignmentMap.h"
#include "model/Catalogue.h"
#include "platform/OdbcQuery.h"
#include "storage/BackendDB.h"
#include "storage/BackendTarget.h"
#include "storage/TowerRow.h"
#include "storage/WPLocalDB.h"
#include "storage/WPSettings.h"

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

// The query of the times of the tower's rows of the table the backend has in
// (from, to].
std::string PresentQuery(const std::string& table, const std::string& tower, const DateTime& from,
                         const DateTime& to, const char* condition) {
    return "SELECT TIME FROM " + table + " WHERE TOWERID=" + tower + " AND TIME > " +
           TimeLiteral(from) + " AND TIME <= " + TimeLiteral(to) + condition;
}

std::set<double> TimesOf(const std::vector<std::string>& texts) {
    std::set<double> times;
    for (const std::string& text : texts) {
        const DateTime time = ParseDBTime(text);
        if (time.IsValid()) times.insert(time.GetOleDate());
    }
    return times;
}

}  // namespace

std::string GetOutRTInsert(const std::string& prefix) {
    std::string head = "INSERT INTO " + PrefixedTable(prefix, "FD_RUN_RTTOWER") + "(TOWERID,TIME,";
    for (const ColumnDef& column : TenMinuteColumns()) head += column.name + ",";
    head.back() = ')';
    return head;
}

std::string GetOutHisInsert(const std::string& prefix) {
    std::string head =
        "INSERT INTO " + PrefixedTable(prefix, "FD_RUN_TOWERHIS") + "(TOWERID,TIME,TYPE,";
    for (const ColumnDef& column : HourlyColumns()) head += column.name + ",";
    head.back() = ')';
    return head;
}

void CWPLocalDB::ReadStationRows(const std::string& query, const std::vector<bool>& isText,
                                 const std::function<void(const OdbcBoundRow&)>& copy) {
    OdbcStatement stmt = GetLocalStmt();
    if (!stmt) return;
    if (RunLocalStatement(stmt, query, "CSaveHisData Error SQL : ") != SQL_SUCCESS) return;
    OdbcBoundRow row;
    if (row.Bind(stmt.Get(), isText)) row.ForEach(copy);
}

namespace {

CExportTable TenMinuteExportTable() {
    CExportTable table{"RTTOWER", "FD_RUN_RTTOWER", "", &GetOutRTInsert, {}, nullptr};
    const size_t lastColumn = 1 + TenMinuteColumns().size();
    table.isText.assign(lastColumn + 1, false);
    table.isText[1] = true;  // TIME
    table.appendValues = [lastColumn](const OdbcBoundRow& row, std::string& values) {
        for (size_t column = 2; column <= lastColumn; ++column) {
            values += NumberText(row.Number(column));
            values += ',';
        }
    };
    return table;
}

CExportTable HourlyExportTable() {
    CExportTable table{"HSTOWER", "FD_RUN_TOWERHIS", " AND TYPE=1", &GetOutHisInsert, {}, nullptr};
    const std::vector<ColumnDef>& columns = HourlyColumns();
    // TIME, and each level's MAXTM, three columns on.
    table.isText.assign(3 + columns.size(), false);
    table.isText[1] = true;
    for (size_t k = 0; k < columns.size(); ++k) {
        table.isText[3 + k] = columns[k].kind == ColumnKind::Time;
    }
    table.appendValues = [&columns](const OdbcBoundRow& row, std::string& values) {
        // TYPE (column 2) is always 1 in the backend, whatever the station row holds.
        values += "1,";
        for (size_t k = 0; k < columns.size(); ++k) {
            values += columns[k].kind == ColumnKind::Time ? TimeValue(row.Text(3 + k))
                                                          : NumberText(row.Number(3 + k));
            values += ',';
        }
    };
    return table;
}

}  // namespace

void CWPLocalDB::OutLocalRange(const CBackendTarget& target, const DateTime& from,
                               const DateTime& to, CExportCounts& counts) {
    std::vector<CExportTable> tables{TenMinuteExportTable()};
    if (target.m_settings.Get()->WithHourlyRows()) tables.push_back(HourlyExportTable());
    ExportTables(target, tables, from, to, counts);
}

void CWPLocalDB::OutLocalRT(const CBackendTarget& target, const DateTime& from, const DateTime& to,
                            CExportCounts& counts) {
    ExportTables(target, {TenMinuteExportTable()}, from, to, counts);
}

void CWPLocalDB::OutLocalHis(const CBackendTarget& target, const DateTime& from, const DateTime& to,
                             CExportCounts& counts) {
    ExportTables(target, {HourlyExportTable()}, from, to, counts);
}

void CWPLocalDB::ExportTables(const CBackendTarget& target, const std::vector<CExportTable>& tables,
                              const DateTime& from, const DateTime& to, CExportCounts& counts) {
    const std::string prefix = target.m_settings.Get()->m_strPreName;
    if (!target.m_backend.CheckPrefix(prefix)) return;
    const std::string tower = std::to_string(target.m_assignments.TowerIDOf(m_nRTUID));
    // The tables' present rows in one call where the server takes batches.
    std::vector<std::string> queries;
    for (const CExportTable& table : tables) {
        queries.push_back(PresentQuery(PrefixedTable(prefix, table.backendTable), tower, from, to,
                                       table.backendCondition));
    }
    std::vector<std::vector<std::string>> presentTexts;
    target.m_backend.ReadFirstColumns(queries, presentTexts);
    // Read first, then write: the storage thread needs the Access lock for every station
    // row, and a slow or hung backend must never hold it up. A unit is one station-day
    // of every table.
    std::vector<std::string> inserts;
    for (size_t t = 0; t < tables.size(); ++t) {
        const CExportTable& table = tables[t];
        const std::string head = table.head(prefix);
        const std::set<double> present = TimesOf(presentTexts[t]);
        AccessGuard guard;
        ReadStationRows(RangeQuery(table.stationTable, from, to), table.isText,
                        [&](const OdbcBoundRow& row) {
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
                            inserts.push_back(head + values);
                        });
    }
    // One transaction for the unit: one commit instead of one per row.
    const std::vector<BackendOutcome> outcomes =
        RunBackendUnit(target.m_backend, inserts,
                       [&](size_t i) { return target.m_backend.InsertBackendRow(inserts[i]); });
    for (BackendOutcome outcome : outcomes) Count(outcome, counts);
}

namespace {

// One station row as the refill writes it: its time and the columns it has values
// for. A NULL and the missing value stay out: the station file's columns default to
// the missing value for what a frame lacks (and RAIN between full hours), where the
// live writer leaves the backend's column NULL.
struct RefillRow {
    DateTime time;
    std::vector<ColumnValue> values;
};

// The station table's value columns after TIME (and TYPE for the hourly table).
struct RefillTable {
    const char* stationTable;
    const char* backendTable;
    bool hourly;
    const std::vector<ColumnDef>& columns;
    size_t firstColumn;  // 1-based column of the first value column
};

std::vector<RefillRow> ReadRefillRows(CWPLocalDB& station, const RefillTable& table,
                                      const DateTime& from, const DateTime& to,
                                      CExportCounts& counts) {
    std::vector<bool> isText(table.firstColumn + table.columns.size(), false);
    isText[1] = true;
    for (size_t k = 0; k < table.columns.size(); ++k) {
        isText[table.firstColumn + k] = table.columns[k].kind == ColumnKind::Time;
    }
    std::vector<RefillRow> rows;
    AccessGuard guard;
    station.ReadStationRows(
        RangeQuery(table.stationTable, from, to), isText, [&](const OdbcBoundRow& row) {
            RefillRow read{ParseDBTime(row.Text(1)), {}};
            if (!read.time.IsValid()) {
                ++counts.m_nUnreadable;
                return;
            }
            for (size_t k = 0; k < table.columns.size(); ++k) {
                const size_t column = table.firstColumn + k;
                const bool time = table.columns[k].kind == ColumnKind::Time;
                if (row.IsNull(column) || (!time && row.Number(column) == kMissingValue)) continue;
                const std::string value =
                    time ? TimeValue(row.Text(column)) : NumberText(row.Number(column));
                if (value != "NULL") {
                    read.values.push_back({table.columns[k].name, value});
                }
            }
            rows.push_back(std::move(read));
        });
    return rows;
}

// The statement that inserts the row, or fills the NULL columns of the one the backend
// has: a value there came from the live writer or the rainfall recalculation, newer
// than the station row or worked out from more, and stays. Empty when there is
// nothing to fill.
std::string RefillStatement(const RefillTable& table, const std::string& name,
                            const std::string& tower, const RefillRow& row, bool present) {
    const std::string key = tower + "," + TimeLiteral(row.time) + "," + (table.hourly ? "1," : "");
    if (!present) {
        return InsertStatement(
            "INSERT INTO " + name + (table.hourly ? "(TOWERID,TIME,TYPE," : "(TOWERID,TIME,"),
            " VALUES(" + key, row.values);
    }
    std::string assignments;
    for (const ColumnValue& value : row.values) {
        assignments += value.column + "=COALESCE(" + value.column + "," + value.value + "),";
    }
    if (assignments.empty()) return {};
    assignments.pop_back();
    return "UPDATE " + name + " SET " + assignments + " WHERE TOWERID=" + tower +
           " AND TIME=" + TimeLiteral(row.time) + (table.hourly ? " AND TYPE=1" : "");
}

}  // namespace

namespace {

// One table's rows of one chunk, and which of them the backend has.
struct RefillPart {
    CRefillChunk* chunk;
    const RefillTable* table;
    std::string tower, name;
    std::vector<RefillRow> rows;
    std::set<double> present;

    bool There(size_t row) const { return present.count(rows[row].time.GetOleDate()) > 0; }
};

}  // namespace

namespace {

// Each chunk's station rows of each table, with the query of which of them the backend
// has. Read first, then write: the Access lock is not held while the backend answers.
std::vector<RefillPart> ReadRefillParts(const CBackendTarget& target, const std::string& prefix,
                                        const std::vector<RefillTable>& tables,
                                        std::vector<CRefillChunk>& chunks,
                                        std::vector<std::string>& queries) {
    std::vector<RefillPart> parts;
    for (CRefillChunk& chunk : chunks) {
        const std::string tower =
            std::to_string(target.m_assignments.TowerIDOf(chunk.station->m_nRTUID));
        for (const RefillTable& table : tables) {
            std::vector<RefillRow> rows =
                ReadRefillRows(*chunk.station, table, chunk.from, chunk.to, chunk.counts);
            if (rows.empty()) continue;
            const std::string name = PrefixedTable(prefix, table.backendTable);
            queries.push_back(
                PresentQuery(name, tower, chunk.from, chunk.to, table.hourly ? " AND TYPE=1" : ""));
            parts.push_back({&chunk, &table, tower, name, std::move(rows), {}});
        }
    }
    return parts;
}

// Every part's rows counted into its chunk by how their statements ended; false when
// the server went away (nothing is counted then: the ranges stay to do).
bool CountRefillOutcomes(const std::vector<std::pair<RefillPart*, size_t>>& rowOf,
                         const std::vector<BackendOutcome>& outcomes,
                         const std::vector<std::string>& reasons) {
    for (size_t i = 0; i < outcomes.size(); ++i) {
        if (outcomes[i] == BackendOutcome::NotRun) return false;
        const auto& [part, row] = rowOf[i];
        CExportCounts& counts = part->chunk->counts;
        if (outcomes[i] == BackendOutcome::Failed) {
            // A refused commit names no statement and has no reason of its own.
            counts.m_refused.push_back(
                {part->rows[row].time, part->table->hourly,
                 reasons[i].empty() ? "the backend refused the commit" : reasons[i]});
        }
        Count(part->There(row) && outcomes[i] == BackendOutcome::Done
                  ? BackendOutcome::AlreadyPresent
                  : outcomes[i],
              counts);
    }
    return true;
}

}  // namespace

bool RefillChunks(const CBackendTarget& target, std::vector<CRefillChunk>& chunks) {
    const auto settings = target.m_settings.Get();
    const std::string& prefix = settings->m_strPreName;
    // Nothing can be written: the ranges stay until the prefix is mended.
    if (!target.m_backend.CheckPrefix(prefix)) return false;
    std::vector<RefillTable> tables{{"RTTOWER", "FD_RUN_RTTOWER", false, TenMinuteColumns(), 2}};
    if (settings->WithHourlyRows()) {
        tables.push_back({"HSTOWER", "FD_RUN_TOWERHIS", true, HourlyColumns(), 3});
    }
    std::vector<std::string> queries;
    std::vector<RefillPart> parts = ReadRefillParts(target, prefix, tables, chunks, queries);
    if (parts.empty()) return true;
    std::vector<std::vector<std::string>> present;
    if (!target.m_backend.ReadFirstColumns(queries, present)) return false;
    // Every part's statements in one unit: one transaction, in the server's batches; a
    // server that goes away takes all of them back, and the ranges stay to do.
    std::vector<std::string> statements;
    std::vector<std::pair<RefillPart*, size_t>> rowOf;
    for (size_t p = 0; p < parts.size(); ++p) {
        RefillPart& part = parts[p];
        part.present = TimesOf(present[p]);
        for (size_t i = 0; i < part.rows.size(); ++i) {
            statements.push_back(
                RefillStatement(*part.table, part.name, part.tower, part.rows[i], part.There(i)));
            rowOf.emplace_back(&part, i);
        }
    }
    // A refused row's reason is read while the unit still holds the backend lock.
    std::vector<std::string> reasons(statements.size());
    const std::vector<BackendOutcome> outcomes =
        RunBackendUnit(target.m_backend, statements, [&](size_t i) {
            if (statements[i].empty()) return BackendOutcome::Done;
            const BackendOutcome outcome = target.m_backend.ExecBackendRow(statements[i]);
            if (outcome == BackendOutcome::Failed) reasons[i] = target.m_backend.LastRefusal();
            return outcome;
        });
    return CountRefillOutcomes(rowOf, outcomes, reasons);
}

bool CWPLocalDB::RefillRange(const CBackendTarget& target, const DateTime& from, const DateTime& to,
                             CExportCounts& counts) {
    std::vector<CRefillChunk> chunk{{this, from, to, std::move(counts)}};
    const bool refilled = RefillChunks(target, chunk);
    counts = std::move(chunk.front().counts);
    return refilled;
}
