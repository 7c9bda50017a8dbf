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
#include "storage/TowerStatement.h"
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

// A station tower table as the export and the refill read it: its value columns after
// TIME (and TYPE for the hourly table), each under the backend's column of its name.
struct StationTable {
    RowSet set;
    const char* name;  // RTTOWER or HSTOWER
    const std::vector<ColumnDef>& columns;
    size_t firstColumn;  // 1-based column of the first value column

    std::vector<bool> IsText() const {
        std::vector<bool> isText(firstColumn + columns.size(), false);
        isText[1] = true;  // TIME
        for (size_t k = 0; k < columns.size(); ++k) {
            isText[firstColumn + k] = columns[k].kind == ColumnKind::Time;
        }
        return isText;
    }
    // The value text of column k; "NULL" for a time that does not read.
    std::string ValueText(const OdbcBoundRow& row, size_t k) const {
        const size_t column = firstColumn + k;
        return columns[k].kind == ColumnKind::Time ? TimeValue(row.Text(column))
                                                   : NumberText(row.Number(column));
    }
};

StationTable StationTableOf(RowSet set) {
    if (set == RowSet::Hourly) return {set, "HSTOWER", HourlyColumns(), 3};
    return {set, "RTTOWER", TenMinuteColumns(), 2};
}

// The sets the backend takes: the hourly table unless [DATABASE] TYPE is 1.
std::vector<RowSet> BackendSets(const CWPSettings& settings) {
    if (settings.WithHourlyRows()) return {RowSet::TenMinute, RowSet::Hourly};
    return {RowSet::TenMinute};
}

std::set<double> TimesOf(const std::vector<std::string>& texts) {
    std::set<double> times;
    for (const std::string& text : texts) {
        const DateTime time = ParseDBTime(text);
        if (time.IsValid()) times.insert(time.GetOleDate());
    }
    return times;
}

std::string ExportInsertHead(const std::string& prefix, RowSet set) {
    std::string head = TowerInsertHead(TowerTableName(prefix, set), set);
    for (const ColumnDef& column : StationTableOf(set).columns) head += column.name + ",";
    head.back() = ')';
    return head;
}

}  // namespace

std::string GetOutRTInsert(const std::string& prefix) {
    return ExportInsertHead(prefix, RowSet::TenMinute);
}

std::string GetOutHisInsert(const std::string& prefix) {
    return ExportInsertHead(prefix, RowSet::Hourly);
}

void ExportStationRows(CWPLocalDB& station, const CBackendTarget& target,
                       const std::vector<RowSet>& sets, const DateTime& from, const DateTime& to,
                       CExportCounts& counts) {
    const std::string prefix = target.m_settings.Get()->m_strPreName;
    if (!target.m_backend.CheckPrefix(prefix)) return;
    const int tower = target.m_assignments.TowerIDOf(station.m_nRTUID);
    // The tables' present rows in one call where the server takes batches.
    std::vector<std::string> queries;
    for (RowSet set : sets) {
        queries.push_back(TowerPresentQuery(TowerTableName(prefix, set), tower, from, to, set));
    }
    std::vector<std::vector<std::string>> presentTexts;
    target.m_backend.ReadFirstColumns(queries, presentTexts);
    // Read first, then write: the storage thread needs the Access lock for every station
    // row, and a slow or hung backend must never hold it up. A unit is one station-day
    // of every table.
    std::vector<std::string> inserts;
    for (size_t t = 0; t < sets.size(); ++t) {
        const StationTable table = StationTableOf(sets[t]);
        const std::string head = ExportInsertHead(prefix, table.set);
        const std::set<double> present = TimesOf(presentTexts[t]);
        AccessGuard guard;
        station.ReadStationRows(RangeQuery(table.name, from, to), table.IsText(),
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
                                    // The hourly key's TYPE is always 1 in the backend, whatever
                                    // the station row holds.
                                    std::string values = TowerKeyValues(tower, time, table.set);
                                    for (size_t k = 0; k < table.columns.size(); ++k) {
                                        values += table.ValueText(row, k);
                                        values += ',';
                                    }
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

void ExportStationRange(CWPLocalDB& station, const CBackendTarget& target, const DateTime& from,
                        const DateTime& to, CExportCounts& counts) {
    ExportStationRows(station, target, BackendSets(*target.m_settings.Get()), from, to, counts);
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

std::vector<RefillRow> ReadRefillRows(CWPLocalDB& station, const StationTable& table,
                                      const DateTime& from, const DateTime& to,
                                      CExportCounts& counts) {
    std::vector<RefillRow> rows;
    AccessGuard guard;
    station.ReadStationRows(
        RangeQuery(table.name, from, to), table.IsText(), [&](const OdbcBoundRow& row) {
            RefillRow read{ParseDBTime(row.Text(1)), {}};
            if (!read.time.IsValid()) {
                ++counts.m_nUnreadable;
                return;
            }
            for (size_t k = 0; k < table.columns.size(); ++k) {
                const size_t column = table.firstColumn + k;
                const bool time = table.columns[k].kind == ColumnKind::Time;
                if (row.IsNull(column) || (!time && row.Number(column) == kMissingValue)) continue;
                const std::string value = table.ValueText(row, k);
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
std::string RefillStatement(RowSet set, const std::string& name, int tower, const RefillRow& row,
                            bool present) {
    if (!present) return TowerInsert(name, tower, row.time, set, row.values);
    std::string assignments;
    for (const ColumnValue& value : row.values) {
        assignments += value.column + "=COALESCE(" + value.column + "," + value.value + "),";
    }
    return TowerUpdate(name, tower, row.time, set, std::move(assignments));
}

// One table's rows of one chunk, and which of them the backend has.
struct RefillPart {
    CRefillChunk* chunk;
    RowSet set;
    int tower;
    std::string name;
    std::vector<RefillRow> rows;
    std::set<double> present;

    bool There(size_t row) const { return present.count(rows[row].time.GetOleDate()) > 0; }
};

// Each chunk's station rows of each table, with the query of which of them the backend
// has. Read first, then write: the Access lock is not held while the backend answers.
std::vector<RefillPart> ReadRefillParts(const CBackendTarget& target, const std::string& prefix,
                                        const std::vector<RowSet>& sets,
                                        std::vector<CRefillChunk>& chunks,
                                        std::vector<std::string>& queries) {
    std::vector<RefillPart> parts;
    for (CRefillChunk& chunk : chunks) {
        const int tower = target.m_assignments.TowerIDOf(chunk.station->m_nRTUID);
        for (RowSet set : sets) {
            std::vector<RefillRow> rows = ReadRefillRows(*chunk.station, StationTableOf(set),
                                                         chunk.from, chunk.to, chunk.counts);
            if (rows.empty()) continue;
            const std::string name = TowerTableName(prefix, set);
            queries.push_back(TowerPresentQuery(name, tower, chunk.from, chunk.to, set));
            parts.push_back({&chunk, set, tower, name, std::move(rows), {}});
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
                {part->rows[row].time, part->set == RowSet::Hourly,
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
    std::vector<std::string> queries;
    std::vector<RefillPart> parts =
        ReadRefillParts(target, prefix, BackendSets(*settings), chunks, queries);
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
                RefillStatement(part.set, part.name, part.tower, part.rows[i], part.There(i)));
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
