#include "storage/BackendWriter.h"

#include <string>

#include "hostlib/VktBase.h"
#include "model/AssignmentMap.h"
#include "model/Catalogue.h"
#include "platform/System.h"
#include "storage/BackendDB.h"
#include "storage/TowerRow.h"
#include "storage/TowerStatement.h"
#include "storage/WPSettings.h"

namespace {

std::vector<ColumnValue> RowValues(const CDataFrame& record, RowSet set,
                                   const CWPSettings& settings) {
    return TowerRowValues(record, set, RowRules{!settings.m_bSaveErrorData, true, 1});
}

// The statement that stores the row, by whether the backend has it.
std::string SaveText(const CDataFrame& record, RowSet set, const CWPSettings& settings, int towerID,
                     const std::vector<ColumnValue>& values, bool exists) {
    const std::string name = TowerTableName(settings.m_strPreName, set);
    return exists ? TowerUpdate(name, towerID, record.m_tTime, set, Assignments(values))
                  : TowerInsert(name, towerID, record.m_tTime, set, values);
}

// A row's values come first: the rain counter's sample may be looked up in the host's
// database, which no one should wait for while the backend lock is held. One settings
// set and one tower id serve the query and the statement after it. A query that could
// not run ends the row there: the insert would only wait for the same unreachable
// server again.
BackendOutcome SaveRow(CBackendDB& backend, const CDataFrame& record, RowSet set,
                       const CWPSettings& settings, int towerID,
                       const std::vector<ColumnValue>& values) {
    BackendOutcome queried = BackendOutcome::Done;
    const bool exists = backend.BackendRowExists(
        TowerExistsQuery(TowerTableName(settings.m_strPreName, set), towerID, record.m_tTime, set),
        &queried);
    if (queried != BackendOutcome::Done) return queried;
    const std::string text = SaveText(record, set, settings, towerID, values, exists);
    return text.empty() ? BackendOutcome::Done : backend.ExecBackendRow(text);
}

BackendOutcome SaveRow(const CBackendTarget& target, const CDataFrame& record, RowSet set) {
    const auto settings = target.m_settings.Get();
    if (!target.m_backend.CheckPrefix(settings->m_strPreName)) return BackendOutcome::Failed;
    const int towerID = target.m_assignments.TowerIDOf(record.m_nRTUID);
    return SaveRow(target.m_backend, record, set, *settings, towerID,
                   RowValues(record, set, *settings));
}

}  // namespace

BackendOutcome TEST_SaveRTTower(const CBackendTarget& target, const CDataFrame& record) {
    return SaveRow(target, record, RowSet::TenMinute);
}

BackendOutcome TEST_SaveTowerHis(const CBackendTarget& target, const CDataFrame& record) {
    if (!IsFullHour(record.m_tTime)) return BackendOutcome::Done;
    return SaveRow(target, record, RowSet::Hourly);
}

namespace {

// A record's rows, their values worked out before the backend lock is taken.
struct RecordRows {
    const CDataFrame& record;
    int towerID;
    std::vector<ColumnValue> tenMinute;
    bool withHourlyRow;  // at a full hour, unless the wind-farm kind is 1
    std::vector<ColumnValue> hourly;
};

RecordRows RowsOf(const CBackendTarget& target, const CWPSettings& settings,
                  const CDataFrame& record) {
    const bool hourly = settings.WithHourlyRows() && IsFullHour(record.m_tTime);
    return {record, target.m_assignments.TowerIDOf(record.m_nRTUID),
            RowValues(record, RowSet::TenMinute, settings), hourly,
            hourly ? RowValues(record, RowSet::Hourly, settings) : std::vector<ColumnValue>{}};
}

// The record's rows, one statement at a time, in the transaction open on the thread.
BackendOutcome SaveRows(CBackendDB& backend, const RecordRows& rows, const CWPSettings& settings) {
    BackendOutcome outcome =
        SaveRow(backend, rows.record, RowSet::TenMinute, settings, rows.towerID, rows.tenMinute);
    if (IsWritten(outcome) && settings.WithHourlyRows()) {
        // A kill here must leave neither row: the transaction is not committed yet.
        System::KillPoint("backend-between");
        if (rows.withHourlyRow) {
            outcome =
                SaveRow(backend, rows.record, RowSet::Hourly, settings, rows.towerID, rows.hourly);
        }
    }
    return outcome;
}

// The records' rows in the transaction open on the thread, with the server's batches:
// every existence query in one call, then the inserts and updates. The same
// statements as one record at a time; a key twice among the records fails the insert
// of the second, and the caller repeats them one by one.
BackendOutcome SaveRowsInBatches(CBackendDB& backend, const std::vector<RecordRows>& records,
                                 const CWPSettings& settings) {
    const std::string& prefix = settings.m_strPreName;
    std::vector<std::string> queries;
    for (const RecordRows& rows : records) {
        queries.push_back(TowerExistsQuery(TowerTableName(prefix, RowSet::TenMinute), rows.towerID,
                                           rows.record.m_tTime, RowSet::TenMinute));
        if (rows.withHourlyRow) {
            queries.push_back(TowerExistsQuery(TowerTableName(prefix, RowSet::Hourly), rows.towerID,
                                               rows.record.m_tTime, RowSet::Hourly));
        }
    }
    std::vector<bool> exists;
    BackendOutcome outcome = backend.BackendRowsExist(queries, exists);
    if (outcome != BackendOutcome::Done) return outcome;
    std::vector<std::string> statements;
    size_t query = 0;
    for (const RecordRows& rows : records) {
        statements.push_back(SaveText(rows.record, RowSet::TenMinute, settings, rows.towerID,
                                      rows.tenMinute, exists[query++]));
        if (rows.withHourlyRow) {
            statements.push_back(SaveText(rows.record, RowSet::Hourly, settings, rows.towerID,
                                          rows.hourly, exists[query++]));
        }
    }
    outcome = backend.ExecBackendBatch(statements);
    if (outcome != BackendOutcome::Done || !settings.WithHourlyRows()) return outcome;
    // As often as one record at a time passes it, and as before the commit.
    for (size_t i = 0; i < records.size(); ++i) System::KillPoint("backend-between");
    return outcome;
}

// Commits the transaction when the records' rows are written; the outcome after the commit,
// or the rows' own when they were not written (the transaction then rolls back).
BackendOutcome CommitIfWritten(CBackendTransaction& transaction, BackendOutcome outcome) {
    return IsWritten(outcome) ? transaction.CommitOutcome() : outcome;
}

}  // namespace

BackendOutcome SaveTowerRecord(const CBackendTarget& target, const CDataFrame& record) {
    const auto settings = target.m_settings.Get();
    if (!target.m_backend.CheckPrefix(settings->m_strPreName)) return BackendOutcome::Failed;
    const RecordRows rows = RowsOf(target, *settings, record);
    CBackendTransaction transaction(target.m_backend);
    return CommitIfWritten(transaction, SaveRows(target.m_backend, rows, *settings));
}

BackendOutcome SaveTowerRecords(const CBackendTarget& target,
                                const std::vector<const CDataFrame*>& records) {
    const auto settings = target.m_settings.Get();
    if (!target.m_backend.CheckPrefix(settings->m_strPreName)) return BackendOutcome::Failed;
    std::vector<RecordRows> all;
    all.reserve(records.size());
    for (const CDataFrame* record : records) all.push_back(RowsOf(target, *settings, *record));
    CBackendDB& backend = target.m_backend;
    CBackendTransaction transaction(backend);
    // One statement at a time a refused row would be reported here and again when
    // each record is written on its own.
    if (!backend.TakesStatementBatches()) return BackendOutcome::Failed;
    return CommitIfWritten(transaction, SaveRowsInBatches(backend, all, *settings));
}
