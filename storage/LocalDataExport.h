#pragma once

#include <string>
#include <vector>

#include "storage/TowerRow.h"
#include "storage/WPLocalDB.h"

// Copying a station's rows into the backend: the export, which inserts what the
// backend lacks, and the refill, which also completes the rows it has.

// The insert heads of the export: the backend tables (under the prefix when it is not
// empty) with the station tables' value columns, in table order.
std::string GetOutRTInsert(const std::string& prefix);
std::string GetOutHisInsert(const std::string& prefix);

// Copies the station's rows of the sets' tables with from < TIME ≤ to that the backend
// does not have yet, as one unit (one transaction), under the station's tower id.
void ExportStationRows(CWPLocalDB& station, const CBackendTarget& target,
                       const std::vector<RowSet>& sets, const DateTime& from, const DateTime& to,
                       CExportCounts& counts);
// ExportStationRows of every table the backend takes.
void ExportStationRange(CWPLocalDB& station, const CBackendTarget& target, const DateTime& from,
                        const DateTime& to, CExportCounts& counts);

// A stretch of one station's rows to refill, and what the refill did with them.
struct CRefillChunk {
    CWPLocalDB* station;
    DateTime from, to;  // from < TIME <= to
    CExportCounts counts;
};

// CWPLocalDB::RefillRange for several chunks (stations and ranges) at once: their rows
// in one transaction, the backend's present rows read in one call, the statements in
// the server's batches, so that a catch-up over a long round trip costs a few round
// trips per step instead of a dozen per tower-day. False when the backend could not be
// had: every chunk stays to do.
bool RefillChunks(const CBackendTarget& target, std::vector<CRefillChunk>& chunks);
