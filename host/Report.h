#pragma once

#include <string>

// What the plug-in stored under a host directory: rows per backend table, rows per
// station file, the reverse-isolation files; one stored row or file of each.
namespace Report {

// Prints the report to standard output; `dir` is the host directory.
int Print(const std::string& dir);

}  // namespace Report
