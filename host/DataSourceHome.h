#pragma once

#include <set>
#include <string>

// The SQLite data sources of a host directory name files inside it (its backend.db and
// the station files under WPData/). A directory that was moved or copied still names
// the files of its former place; those names are re-pointed here before anything
// connects, so that a copy never writes into the original.
namespace DataSourceHome {

// Re-points, in the data source file `odbcIni`, every Database= that names a file of
// the host directory at another place to the same file under `hostDir`. `note` gets
// one line naming the old and the new place when something was re-pointed. False,
// with `error` saying how to fix it, when a backend file named elsewhere is missing
// here (a new empty backend would take the rows) or the file cannot be written.
// `formerPlaces` gets the places the data sources named.
bool Repoint(const std::string& odbcIni, const std::string& hostDir, std::string& note,
             std::string& error, std::set<std::string>* formerPlaces = nullptr);

// The same for the isolation folder, [TXT] DIR of the configuration file `configFile`:
// a folder at or under one of `formerPlaces` is re-pointed to the same folder under
// `hostDir` (the host directory itself is saved empty, its default), with one line in
// `note`. False, with `error`, when the file cannot be written.
bool RepointIsolationFolder(const std::string& configFile, const std::string& hostDir,
                            const std::set<std::string>& formerPlaces, std::string& note,
                            std::string& error);

}  // namespace DataSourceHome
