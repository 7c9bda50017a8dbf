#pragma once

#include <string>

// A demo host directory in a new temporary folder, made current, with its catalogue
// loaded; empty (and the reason on standard error) when it could not be made.
std::string MakeBenchHost();
// Closes the host and removes the folder.
void RemoveBenchHost(const std::string& dir);
