#pragma once

#include <string>

// The tables of a station database file, built from the catalogue's column sets.
namespace StationSchema {

std::string CreateRTTower();  // 88 columns, TIME the primary key
std::string CreateHSTower();  // 37 columns, (TIME, TYPE) the primary key CSTRA
constexpr const char* kIndexRTTower = "CREATE INDEX IDXTM ON RTTOWER([TIME])";
constexpr const char* kIndexHSTower = "CREATE INDEX IDXTM ON HSTOWER([TIME])";

}  // namespace StationSchema
