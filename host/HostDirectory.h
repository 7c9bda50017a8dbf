#pragma once

#include <string>

#include "plugin/ConfigFile.h"

// A host working directory: VKTCOMM.MDB with the host catalogue, the ODBC set-up in
// odbc/ (drivers and the system data sources), and the backend database.
namespace HostDirectory {

struct BackendOptions {
    std::string product = "sqlite";  // "sqlite" (DIR/backend.db) or "postgresql"
    std::string pgHost = "127.0.0.1";
    int pgPort = 5432;
    std::string pgDatabase = "postgres";
    // TLS to the PostgreSQL server: libpq's sslmode (empty: the driver's default, no
    // TLS), the certificate of the CA that signed the server's certificate, and a client
    // certificate with its key. Given paths are stored absolute.
    std::string pgSslMode;
    std::string pgSslRootCert, pgSslCert, pgSslKey;
    // The backend's data source name: by default the one the plug-in looks for.
    std::string dataSource = ConfigFile::kDefaultSource;
    // On a host directory that exists: point its backend data source at this backend
    // (nothing else changes). Without it init changes nothing there.
    bool replace = false;
};

// Makes `dir` a host working directory; with `demo` it adds the demo RTUs. A folder it
// makes is for its owner and group only, and so is odbc/odbc.ini. A host directory that
// exists is left as it is unless `backend.replace` asks for another backend data
// source. Takes the directory's lock meanwhile. Writes what went wrong to `error` and
// returns false on failure.
bool Init(const std::string& dir, bool demo, const BackendOptions& backend, std::string& error);

// Points unixODBC at dir/odbc and makes `dir` the current directory. Call before any
// ODBC use and before the plug-in is loaded. The superuser is refused a directory of
// another user (WritableFiles::CheckNotForeignSuperuser) before anything is written.
bool Enter(const std::string& dir, std::string& error);

// Checks what a run needs of the host directory, the current one after Enter, before
// anything connects to it: VKTCOMM.MDB present and an SQLite file; every file and
// folder a host writes writable by this process (WritableFiles); odbc/odbcinst.ini naming an
// SQLite3 driver library that is there. Names the first fault and its path in `error`.
bool CheckReady(std::string& error);

// Absolute form of a path.
std::string Absolute(const std::string& path);
// An input named on the command line, made absolute before Enter changes the current
// directory; empty and "-" (standard input) stay as they are.
std::string InputPath(const std::string& path);

// The text with each control character shown as an escape ("\n", "\x7F"), so that the
// message naming it stays one line.
std::string Printable(const std::string& text);

// Places the process clock at --now ("YYYY-MM-DD HH:MM[:SS]"; empty: leaves it); false
// with `error` for another text.
bool PlaceClock(const std::string& now, std::string& error);

}  // namespace HostDirectory
