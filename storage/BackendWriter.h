#pragma once

#include <vector>

#include "storage/BackendDB.h"
#include "storage/BackendTarget.h"
#include "hostlib/VktRecords.h"

// Tower rows of the backend database: a 10-minute row in FD_RUN_RTTOWER for every
// record and an hourly row in FD_RUN_TOWERHIS for records at full hours, each
// inserted or updated by tower id and time, with the target's settings, tower ids
// and backend connection. Storage (and export) threads; each statement takes the
// backend lock itself. With a schema prefix that is not an SQL name no statement is
// written. Each tells how its row ended: NotRun when the server could not be had.

// For tests: one row on its own, outside any transaction (the plug-in writes a
// record's rows together, below).
BackendOutcome TEST_SaveRTTower(const CBackendTarget& target, const CDataFrame& record);
BackendOutcome TEST_SaveTowerHis(const CBackendTarget& target, const CDataFrame& record);

// Both of a record's rows (the hourly one unless the wind-farm kind is 1) in one
// transaction, holding the backend lock throughout: either both are committed or
// neither, and a record that fails stays whole for a later try. The hourly row is not
// tried when the 10-minute row fails. Done only once committed.
BackendOutcome SaveTowerRecord(const CBackendTarget& target, const CDataFrame& record);

// Several records' rows in one transaction, as SaveTowerRecord does one record's,
// where the open connection's server takes statements in batches: Done once all are
// committed; NotRun when the server could not be had, and Failed when a row or the
// commit was refused, or the server takes no batches: then none is kept, and each
// record is to be written on its own (so that only a refused one fails).
BackendOutcome SaveTowerRecords(const CBackendTarget& target,
                                const std::vector<const CDataFrame*>& records);
