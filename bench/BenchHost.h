#pragma once

#include <string>
#include <vector>

#include "host/HostDirectory.h"

// A demo host directory in a new temporary folder, made current, with its catalogue
// loaded; empty (and the reason on standard error) when it could not be made.
std::string MakeBenchHost(const HostDirectory::BackendOptions& backend = {});

// The backends a backend benchmark measures: the embedded SQLite file, and the
// PostgreSQL server of VKT_PG_PORT when there is one (data source DAVADPG).
std::vector<HostDirectory::BackendOptions> BenchBackends();
// Closes the host and removes the folder.
void RemoveBenchHost(const std::string& dir);
