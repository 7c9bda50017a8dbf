#pragma once

// What the setup libraries' ConfigDSN does, on every system: adds (replacing) or removes
// one data source in the odbc.ini of the driver manager's folder (ODBCSYSINI).
namespace DataSourceWriter {

enum class Change { kAdd, kRemove };

// The data source is the one that `attributes` ("KEY=value\0…\0\0") name with DSN=;
// `driver` is its driver (unused for kRemove). The whole new file is written beside
// odbc.ini and renamed over it (System::WriteFileWhole, kill point "odbc-ini-write"):
// other sections and comments stay byte for byte, and a kill or a full disk leaves the
// old file whole. False, with odbc.ini as it was, when there is no ODBC folder, no
// data source name, a value with a control character, a file that cannot be read or a
// new file that cannot be written.
bool Apply(Change change, const char* driver, const char* attributes);

}  // namespace DataSourceWriter
