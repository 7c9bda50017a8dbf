#pragma once

#include <string>

// The insert heads of the export: the backend tables (under the prefix when it is not
// empty) with the station tables' value columns, in table order.
std::string GetOutRTInsert(const std::string& prefix);
std::string GetOutHisInsert(const std::string& prefix);
