#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The measurement catalogue: which data id becomes which column of the tower tables,
// and the two column sets every store and every tower-table statement is built from.
// Built once at start-up, before the workers start; read without a lock afterwards.

constexpr int kLevels = 7;
// A column for which a record brought no value reads this in the station tables.
constexpr double kMissingValue = -99.0;
// Ids below this belong to the 10-minute set, ids from it up to the hourly set.
constexpr int32_t kFirstHourlyID = 9000;
constexpr int32_t kCycleID = 100;  // rain counter, column CYCLE
constexpr int32_t kRainID = 101;   // hourly rainfall, derived from the counter
// Hourly extremes from this id up carry their own time in the column of id + 700.
constexpr int32_t kFirstExtremeID = 9300;
constexpr int32_t kExtremeTimeOffset = 700;

// Fills the catalogue with its 119 entries (rebuilding it when called again).
void BuildCatalogue();
// Empties the catalogue.
void FreeCatalogue();
// The column name of the id, or the empty text for an id the catalogue lacks.
std::string GetColumnName(int32_t nDataID);
// The same, from a table of its own that needs no BuildCatalogue: for the host, which
// knows the ids without running the catalogue's workers.
std::string ColumnOfDataId(int32_t nDataID);
// For tests: the ids the catalogue holds.
size_t CatalogueSize();

enum class ColumnKind { Value, Time };

struct ColumnDef {
    std::string name;
    ColumnKind kind;
};

// The 87 value columns of the 10-minute tables, in table order.
const std::vector<ColumnDef>& TenMinuteColumns();
// The 35 value columns of the hourly tables, in table order (MAXTM columns are times).
const std::vector<ColumnDef>& HourlyColumns();
