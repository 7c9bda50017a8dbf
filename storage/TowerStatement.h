#pragma once

#include <string>
#include <vector>

#include "platform/DateTime.h"
#include "storage/TowerRow.h"

// The statements of the backend's tower tables, one home for the live writer, the
// export and the refill: FD_RUN_RTTOWER holds the ten-minute rows, FD_RUN_TOWERHIS
// the hourly rows of TYPE 1. A row is keyed by its tower id and time (and TYPE).

constexpr int kHourlyType = 1;

// The set's backend table, under the prefix when it is not empty.
std::string TowerTableName(const std::string& prefix, RowSet set);

// "INSERT INTO name(TOWERID,TIME," (and "TYPE," for the hourly table): the head that
// InsertStatement completes.
std::string TowerInsertHead(const std::string& name, RowSet set);
// " VALUES(tower,time," (and "1,"), the key values that InsertStatement completes.
std::string TowerKeyValues(int towerID, const DateTime& time, RowSet set);
// " AND TYPE=1" for the hourly table; empty for the ten-minute table.
std::string TowerTypeCondition(RowSet set);

// The insert of the row's columns.
std::string TowerInsert(const std::string& name, int towerID, const DateTime& time, RowSet set,
                        const std::vector<ColumnValue>& values);
// "UPDATE name SET …" of the row with the key, from "COLUMN=expression," pairs each
// followed by a comma; empty when there are none, and then no statement is run.
std::string TowerUpdate(const std::string& name, int towerID, const DateTime& time, RowSet set,
                        std::string assignments);

// The query that finds the row with the key.
std::string TowerExistsQuery(const std::string& name, int towerID, const DateTime& time,
                             RowSet set);
// The query of the times of the tower's rows in (from, to].
std::string TowerPresentQuery(const std::string& name, int towerID, const DateTime& from,
                              const DateTime& to, RowSet set);
