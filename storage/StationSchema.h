#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/OdbcApi.h"

// The tables of an RTU's station database file (its name: hostlib/StationFiles.h), the
// only place that makes them. The tower tables are built from the
// catalogue's column sets; the others are kept for the backend writing (confirmed
// time, refill ranges, refused rows), which relies on them being there.
namespace StationSchema {

std::string CreateRTTower();  // 88 columns, TIME the primary key
std::string CreateHSTower();  // 37 columns, (TIME, TYPE) the primary key CSTRA
constexpr const char* kIndexRTTower = "CREATE INDEX IDXTM ON RTTOWER([TIME])";
constexpr const char* kIndexHSTower = "CREATE INDEX IDXTM ON HSTOWER([TIME])";

constexpr const char* kConfirmed = "CONFIRMED";
constexpr const char* kRefill = "REFILL";
constexpr const char* kQuarantine = "QUARANTINE";
// The longest refusal reason QUARANTINE keeps.
constexpr size_t kReasonLength = 200;
std::string CreateConfirmed();   // "CREATE TABLE IF NOT EXISTS CONFIRMED (UPTO DATETIME)"
std::string CreateRefill();      // "CREATE TABLE IF NOT EXISTS REFILL (FROMTIME ..., TOTIME ...)"
std::string CreateQuarantine();  // "CREATE TABLE IF NOT EXISTS QUARANTINE (TIME, HOURLY, ...)"

enum class TablesCheck { Ready, NotADatabase, Unknown };
// On opening a station file: runs the creation texts of the tables the file lacks
// (a file of an earlier installation, or one left by a kill between its creation and
// its tables), each tower table with its index. Each text on its own: one that fails
// (on SQLite the second IDXTM, whose name is already taken in the file) does not keep
// the next from running. Unknown when the file's tables could not be read.
TablesCheck MakeMissingTables(SQLHDBC hdbc);

}  // namespace StationSchema
