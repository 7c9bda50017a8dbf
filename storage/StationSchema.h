#pragma once

#include <cstdint>
#include <string>

// The station database file of an RTU: its place under the working directory and its
// tables, built from the catalogue's column sets.
namespace StationSchema {

// The folder of the station files, in the working directory.
constexpr const char* kFolder = "WPData";
// WP_<n>.MDB
std::string FileName(int32_t nRTUID);
// <working dir>/WPData/WP_<n>.MDB
std::string FilePath(const std::string& workingDir, int32_t nRTUID);
// The RTU of a station file's name WP_<n>.MDB; 0 for any other name.
int32_t RtuOfFileName(const std::string& name);

std::string CreateRTTower();  // 88 columns, TIME the primary key
std::string CreateHSTower();  // 37 columns, (TIME, TYPE) the primary key CSTRA
constexpr const char* kIndexRTTower = "CREATE INDEX IDXTM ON RTTOWER([TIME])";
constexpr const char* kIndexHSTower = "CREATE INDEX IDXTM ON HSTOWER([TIME])";

}  // namespace StationSchema
