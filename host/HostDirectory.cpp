#include "host/HostDirectory.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string_view>

#include "host/BackendSql.h"
#include "host/DataSourceHome.h"
#include "host/DirectoryLock.h"
#include "host/FrameFile.h"
#include "host/InstallLayout.h"
#include "host/Settings.h"
#include "host/WritableFiles.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "platform/Clock.h"
#include "platform/IniFile.h"
#include "platform/OdbcHandles.h"
#include "platform/OdbcIni.h"
#include "platform/System.h"

namespace fs = std::filesystem;

namespace HostDirectory {

namespace {

const char* const kDriverDirs[] = {
    "/usr/lib/x86_64-linux-gnu/odbc",
    "/usr/lib/i386-linux-gnu/odbc",
    "/usr/lib/aarch64-linux-gnu/odbc",
    "/usr/lib/odbc",
    "/usr/lib64",
    "/usr/local/lib",
};

// The driver library of the system's odbcinst.ini entry, as an absolute path. A host
// that runs under an emulation of another system names the folder of the drivers built
// for it in VKT_ODBC_DRIVER_DIR.
std::string DriverLibrary(const std::string& section, const std::string& fallbackName) {
    if (const char* dir = std::getenv("VKT_ODBC_DRIVER_DIR")) {
        return (fs::path(dir) / fallbackName).generic_string();
    }
    std::ifstream in("/etc/odbcinst.ini");
    std::string line, current, library = fallbackName;
    while (std::getline(in, line)) {
        if (!line.empty() && line.front() == '[') {
            current = line.substr(1, line.find(']') - 1);
        } else if (current == section && line.rfind("Driver=", 0) == 0) {
            library = line.substr(7);
        }
    }
    if (!library.empty() && library.front() == '/') return library;
    for (const char* dir : kDriverDirs) {
        const fs::path candidate = fs::path(dir) / library;
        if (fs::exists(candidate)) return candidate.string();
    }
    return library;
}

// Replaced whole: a host already running there reads the old file or the new one.
bool WriteFile(const fs::path& path, const std::string& text, std::string& error, int mode = -1) {
    if (System::WriteFileWhole(path.string(), text, nullptr, mode)) return true;
    error = "cannot write " + path.string() + ": " + std::strerror(errno);
    return false;
}

}  // namespace

std::string Printable(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char c : path) {
        if (c == '\n') {
            text += "\\n";
        } else if (c == '\t') {
            text += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            text += "\\x";
            text += kHex[c >> 4];
            text += kHex[c & 0x0F];
        } else {
            text += static_cast<char>(c);
        }
    }
    return text;
}

namespace {

// The host directory's path ends up in odbc.ini (data source files) and in the
// driver manager's environment, where a line break would start lines of its own.
bool UsablePath(const std::string& absolute, std::string& error) {
    if (!OdbcIni::HasControlCharacter(absolute)) return true;
    error =
        "the host directory's path holds a control character (a line break, a tab or "
        "another byte below 0x20, or 0x7F), which the ODBC files cannot hold: " +
        Printable(absolute);
    return false;
}

// Our setup library among the host's libraries, or VKT_ODBC_SETUP.
std::string SetupLibrary(const std::string& fallback) {
    if (const char* path = std::getenv("VKT_ODBC_SETUP")) return path;
    const std::string setup = InstallLayout::HostLibrary("vktodbcsetup");
    std::error_code ec;
    return fs::exists(setup, ec) ? setup : fallback;
}

std::string OdbcInstIni() {
    const std::string sqlite = DriverLibrary("SQLite3", "libsqlite3odbc.so");
    const std::string pg = DriverLibrary("PostgreSQL ANSI", "psqlodbca.so");
    // DontDLClose keeps a driver loaded between connections: no reload per reconnect.
    return "[SQLite3]\nDescription=SQLite3 ODBC Driver\nDriver=" + sqlite +
           "\nSetup=" + SetupLibrary(sqlite) +
           "\nUsageCount=1\nDontDLClose=1\n\n[PostgreSQL ANSI]\n"
           "Description=PostgreSQL ODBC driver (ANSI)\nDriver=" +
           pg + "\nUsageCount=1\nDontDLClose=1\n";
}

// One server name or address of a host list: letters, digits and ". - _ :" (names,
// IPv4 and IPv6 addresses). Anything else could end the odbc.ini line or the driver's
// list, or smuggle in an attribute of its own.
bool IsServerName(const std::string& name) {
    if (name.empty() || name.size() > 253) return false;
    for (unsigned char c : name) {
        if (!std::isalnum(c) && c != '.' && c != '-' && c != '_' && c != ':') return false;
    }
    return true;
}

// What the PostgreSQL data source is made of: a server or a comma-separated list of
// them (tried in order, the one that takes writes kept), one port, a database name
// that stays on its line.
bool CheckPostgresOptions(const BackendOptions& backend, std::string& error) {
    size_t start = 0;
    for (;;) {
        const size_t comma = backend.pgHost.find(',', start);
        const std::string name = backend.pgHost.substr(start, comma - start);
        if (!IsServerName(name)) {
            error =
                "--pg-host takes server names or addresses separated by commas (H1,H2), "
                "each of letters, digits and \".-_:\": " +
                Printable(backend.pgHost);
            return false;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (backend.pgPort < 1 || backend.pgPort > 65535) {
        error =
            "--pg-port must be a port number from 1 to 65535: " + std::to_string(backend.pgPort);
        return false;
    }
    if (backend.pgDatabase.empty() || OdbcIni::HasControlCharacter(backend.pgDatabase)) {
        error = "--pg-database must be a name without control characters: " +
                Printable(backend.pgDatabase);
        return false;
    }
    return true;
}

constexpr const char* kSslModes[] = {"disable", "allow",     "prefer",
                                     "require", "verify-ca", "verify-full"};

// A TLS file of the data source: a readable file whose path can stay as it is in
// odbc.ini and in the connection string the plug-in makes of it, where a ";" or a brace
// would end the value. A client key must be its owner's alone (root's: readable by its
// group at most), as libpq will not use it otherwise.
bool CheckTlsFile(const std::string& option, const std::string& path, bool isKey,
                  std::string& error) {
    if (OdbcIni::HasControlCharacter(path) || path.find_first_of(";{}") != std::string::npos) {
        error = option +
                " must name a file whose path holds no control character, \";\", \"{\" or "
                "\"}\", which the data source cannot hold: " +
                Printable(path);
        return false;
    }
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::is_regular_file(status)) {
        error = option + " " + path + (fs::exists(status) ? " is not a file" : " does not exist");
        return false;
    }
    if (!System::CanRead(path)) {
        error = option + ": cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
#ifndef _WIN32
    if (isKey) {
        const bool byRoot = System::OwnerOf(fs::canonical(path, ec).string()) == "root";
        const fs::perms others =
            byRoot ? fs::perms::group_write | fs::perms::group_exec | fs::perms::others_all
                   : fs::perms::group_all | fs::perms::others_all;
        if ((status.permissions() & others) != fs::perms::none) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o",
                          static_cast<unsigned>(status.permissions() & fs::perms::all));
            error = option + " " + path + " may be used by others than its owner (mode " + mode +
                    "), and libpq refuses such a key: chmod 600 " + path;
            return false;
        }
    }
#endif
    return true;
}

// TLS to the server: one of libpq's modes, and files only with a mode that makes TLS
// connections. A mode that checks the server's certificate names the CA that signed
// it (else libpq would look for one in the home folder of whoever runs the host); a
// client certificate comes with its key.
bool CheckTlsOptions(const BackendOptions& backend, std::string& error) {
    const bool files =
        !backend.pgSslRootCert.empty() || !backend.pgSslCert.empty() || !backend.pgSslKey.empty();
    if (backend.pgSslMode.empty() && !files) return true;
    if (backend.product != "postgresql") {
        error =
            "--pg-sslmode, --pg-sslrootcert, --pg-sslcert and --pg-sslkey are for --backend "
            "postgresql";
        return false;
    }
    if (!backend.pgSslMode.empty() && std::find(std::begin(kSslModes), std::end(kSslModes),
                                                backend.pgSslMode) == std::end(kSslModes)) {
        error = "--pg-sslmode must be disable, allow, prefer, require, verify-ca or verify-full: " +
                Printable(backend.pgSslMode);
        return false;
    }
    if (files && (backend.pgSslMode.empty() || backend.pgSslMode == "disable")) {
        error =
            "--pg-sslrootcert, --pg-sslcert and --pg-sslkey need a --pg-sslmode that makes TLS "
            "connections (verify-full checks the server's certificate and name)";
        return false;
    }
    if (backend.pgSslMode.rfind("verify-", 0) == 0 && backend.pgSslRootCert.empty()) {
        error = "--pg-sslmode " + backend.pgSslMode +
                " needs --pg-sslrootcert FILE, the certificate of the CA that signed the "
                "server's certificate";
        return false;
    }
    if (backend.pgSslCert.empty() != backend.pgSslKey.empty()) {
        error = "--pg-sslcert and --pg-sslkey go together: the client certificate and its key";
        return false;
    }
    return (backend.pgSslRootCert.empty() ||
            CheckTlsFile("--pg-sslrootcert", backend.pgSslRootCert, false, error)) &&
           (backend.pgSslCert.empty() ||
            CheckTlsFile("--pg-sslcert", backend.pgSslCert, false, error)) &&
           (backend.pgSslKey.empty() || CheckTlsFile("--pg-sslkey", backend.pgSslKey, true, error));
}

// A value of libpq's options (pqopt): as it is when it holds nothing that would end it
// or be read as a quote, else in single quotes with \ and ' escaped.
std::string LibpqValue(const std::string& text) {
    const std::string_view plain = "/._-+,:@~%";
    bool quote = text.empty();
    for (unsigned char c : text) {
        if (!std::isalnum(c) && c < 0x80 && plain.find(static_cast<char>(c)) == plain.npos) {
            quote = true;
        }
    }
    if (!quote) return text;
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\\' || c == '\'') quoted += '\\';
        quoted += c;
    }
    return quoted + "'";
}

// The TLS files as libpq's options of the data source; empty without any.
std::string TlsFileOptions(const BackendOptions& backend) {
    std::string options;
    const std::pair<const char*, const std::string*> files[] = {
        {"sslrootcert", &backend.pgSslRootCert},
        {"sslcert", &backend.pgSslCert},
        {"sslkey", &backend.pgSslKey},
    };
    for (const auto& [key, path] : files) {
        if (path->empty()) continue;
        options += (options.empty() ? "" : " ") + std::string(key) + "=" + LibpqValue(*path);
    }
    return options;
}

OdbcIni::DataSource BackendDataSource(const std::string& dir, const BackendOptions& backend) {
    if (backend.product == "postgresql") {
        OdbcIni::DataSource source{backend.dataSource,
                                   {{"Driver", "PostgreSQL ANSI"},
                                    {"Servername", backend.pgHost},
                                    {"Port", std::to_string(backend.pgPort)},
                                    {"Database", backend.pgDatabase}}};
        // The driver's own key: it refuses an sslmode among libpq's options.
        if (!backend.pgSslMode.empty()) source.keys.emplace_back("SSLmode", backend.pgSslMode);
        const std::string files = TlsFileOptions(backend);
        if (!files.empty()) source.keys.emplace_back("pqopt", files);
        return source;
    }
    return {backend.dataSource,
            {{"Driver", "SQLite3"},
             {"Database", System::DriverPath(dir + "/backend.db")},
             {"JournalMode", "WAL"},
             {"SyncPragma", "FULL"},
             {"Timeout", "10000"}}};
}

// Runs each ";"-terminated statement of the script on the connection.
bool RunScript(SQLHDBC hdbc, const std::string& script, std::string& error) {
    std::istringstream in(script);
    std::string statement;
    while (std::getline(in, statement, ';')) {
        if (statement.find_first_not_of(" \n\r\t") == std::string::npos) continue;
        const SQLRETURN rc = Odbc::ExecDirect(hdbc, statement);
        if (!Odbc::Succeeded(rc) && rc != SQL_NO_DATA) {
            error = "backend table script failed: " + statement;
            return false;
        }
    }
    return true;
}

bool CreateSqliteBackend(const std::string& dir, std::string& error) {
    const fs::path file = fs::path(dir) / "backend.db";
    if (fs::exists(file)) return true;
    OdbcConnection connection;
    if (!connection.DriverConnect(Odbc::SqliteConnectionString(file.string()),
                                  kLoginTimeoutSeconds)) {
        error = "cannot create " + file.string() + ": " + connection.LastError();
        return false;
    }
    return RunScript(connection.Get(), BackendSql::kSqlite, error);
}

constexpr const char* kCatalogue = "VKTCOMM.MDB";
constexpr const char* kDataSources = "odbc/odbc.ini";
constexpr fs::perms kPrivateFolder =
    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec;
constexpr int kPrivateFileMode = 0600;

// A new file for the owner alone; one that is there keeps its mode, which an
// administrator may have opened to the service's group.
bool WritePrivateFile(const fs::path& path, const std::string& text, std::string& error) {
    std::error_code ec;
    return WriteFile(path, text, error, fs::exists(path, ec) ? -1 : kPrivateFileMode);
}

// Where a data source of odbc.ini points, in a few words.
std::string DescribeDataSource(const std::string& odbcIni, const std::string& name) {
    const std::string driver = IniFile::GetString(odbcIni, name.c_str(), "Driver", "");
    if (driver.empty()) return "nothing";
    if (driver == "SQLite3") {
        return "the SQLite file " + IniFile::GetString(odbcIni, name.c_str(), "Database", "");
    }
    const std::string tls = IniFile::GetString(odbcIni, name.c_str(), "SSLmode", "");
    return "the PostgreSQL database " + IniFile::GetString(odbcIni, name.c_str(), "Database", "") +
           " on " + IniFile::GetString(odbcIni, name.c_str(), "Servername", "") + ":" +
           IniFile::GetString(odbcIni, name.c_str(), "Port", "") +
           (tls.empty() ? "" : " (sslmode " + tls + ")");
}

std::string ReadWholeText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A host directory keeps its catalogue, station files and settings; only an operator
// who names it gets another backend data source, and nothing else changes.
bool ReplaceBackend(const std::string& dir, bool demo, const BackendOptions& backend,
                    std::string& error) {
    if (!backend.replace || demo) {
        error = dir + " is a host directory already, and init changed nothing: " +
                (demo ? "--demo is for a new one; vkthost rtu add adds RTUs"
                      : "--replace-backend points its backend data source " + backend.dataSource +
                            " elsewhere, vkthost settings changes its settings");
        return false;
    }
    if (!Enter(dir, error) || !CheckReady(error)) return false;
    DirectoryLock lock;
    if (!lock.Take(dir, error)) return false;
    const std::string odbcIni = dir + "/" + kDataSources;
    const std::string was = DescribeDataSource(odbcIni, backend.dataSource);
    const std::string text =
        OdbcIni::WithDataSource(ReadWholeText(odbcIni), BackendDataSource(dir, backend));
    if (!WritePrivateFile(odbcIni, text, error)) return false;
    if (backend.product == "sqlite" && !CreateSqliteBackend(dir, error)) return false;
    std::printf("backend data source %s replaced: it named %s, it names %s now\n",
                backend.dataSource.c_str(), was.c_str(),
                DescribeDataSource(odbcIni, backend.dataSource).c_str());
    return true;
}

void AddDemoRTUs() {
    struct Demo {
        int id;
        const char* name;
        int type;
        const char* remark;
    };
    const Demo demos[] = {
        {1, "T1", 100, "OUTPUTID:5 north ridge tower"},
        {2, "T2", 100, "OUTPUTID:6 valley tower"},
        {3, "T3", 100, "coastal tower"},
        {12, "T12", 101, "outputid:17 mobile tower"},
        {40, "RAIN40", 102, "rain gauge, not a tower"},
    };
    for (const Demo& demo : demos) {
        CRTUDef def;
        def.m_nID = def.m_nRTUID = demo.id;
        def.m_strName = demo.name;
        def.m_nType = demo.type;
        def.m_strRemark = demo.remark;
        VktHost::AddRTU(def);
    }
}

// The database's header, not its name, tells an SQLite file; an empty file is an empty
// database to SQLite and is left to the query to judge.
bool ReadableSqliteFile(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read the host catalogue " + path + ": " + std::strerror(errno);
        return false;
    }
    static constexpr char kHeader[] = "SQLite format 3";  // with its NUL: 16 bytes
    char header[sizeof kHeader] = {};
    in.read(header, sizeof header);
    if (in.gcount() == 0) return true;
    if (in.gcount() != static_cast<std::streamsize>(sizeof header) ||
        std::memcmp(header, kHeader, sizeof header) != 0) {
        error = "the host catalogue " + path + " is not an SQLite database";
        return false;
    }
    return true;
}

// The driver manager reports a broken entry only as a library it cannot load; naming
// the file that holds the entry says where to mend it.
bool SqliteDriverPresent(const std::string& odbcinst, std::string& error) {
    if (!System::CanRead(odbcinst)) {
        error = "cannot read the ODBC driver list " + odbcinst + ": " + std::strerror(errno);
        return false;
    }
    const std::string library = IniFile::GetString(odbcinst, "SQLite3", "Driver", "");
    if (library.empty()) {
        error = "the ODBC driver list " + odbcinst + " names no SQLite3 driver library";
        return false;
    }
    // A bare name is looked up by the dynamic loader; only a path can be checked here.
    std::error_code ec;
    if (library.find('/') != std::string::npos && !fs::is_regular_file(library, ec)) {
        error =
            "the SQLite3 driver library " + library + " named in " + odbcinst + " does not exist";
        return false;
    }
    return true;
}

}  // namespace

std::string Absolute(const std::string& path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

std::string InputPath(const std::string& path) {
    return path.empty() || path == "-" ? path : Absolute(path);
}

bool PlaceClock(const std::string& now, std::string& error) {
    if (now.empty()) return true;
    const auto time = FrameFile::ParseOptionTime(now);
    if (!time) {
        error = FrameFile::OptionTimeError("--now", now);
        return false;
    }
    ProcessClock::SetNow(*time);
    return true;
}

bool Enter(const std::string& dir, std::string& error) {
    const std::string absolute = Absolute(dir);
    if (!UsablePath(absolute, error)) return false;
    if (!WritableFiles::CheckNotForeignSuperuser(absolute, error)) return false;
    const std::string odbcDir = absolute + "/odbc";
    std::string moved, folderMoved;
    std::set<std::string> formerPlaces;
    if (!DataSourceHome::Repoint(odbcDir + "/odbc.ini", absolute, moved, error, &formerPlaces) ||
        !DataSourceHome::RepointIsolationFolder(Settings::FilePath(absolute), absolute,
                                                formerPlaces, folderMoved, error)) {
        return false;
    }
    if (!moved.empty()) std::printf("vkthost: %s\n", moved.c_str());
    if (!folderMoved.empty()) std::printf("vkthost: %s\n", folderMoved.c_str());
    System::UseOdbcFolder(odbcDir);
    if (!System::ChangeDirectory(absolute)) {
        error = "cannot change into " + absolute + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool CheckReady(std::string& error) {
    // Relative paths were given against the directory the host started in, not this one.
    std::error_code ec;
    const std::string dir = fs::current_path(ec).string();
    if (ec) {
        error = "cannot tell the host directory: " + ec.message();
        return false;
    }
    const std::string catalogue = dir + "/VKTCOMM.MDB";
    const fs::file_status status = fs::status(catalogue, ec);
    if (status.type() == fs::file_type::none) {
        error = "cannot look at the host catalogue " + catalogue + ": " + ec.message();
        return false;
    }
    if (!fs::exists(status)) {
        error = "no host catalogue: " + catalogue +
                " does not exist (vkthost init DIR makes a host directory)";
        return false;
    }
    if (!fs::is_regular_file(status)) {
        error = "the host catalogue " + catalogue + " is not a file";
        return false;
    }
    if (!ReadableSqliteFile(catalogue, error)) return false;
    if (!WritableFiles::Check(dir, error)) return false;
    return SqliteDriverPresent(dir + "/odbc/odbcinst.ini", error);
}

bool Init(const std::string& dirArg, bool demo, const BackendOptions& given, std::string& error) {
    const std::string dir = Absolute(dirArg);
    if (!UsablePath(dir, error)) return false;
    // The files are named where init was started; the host runs elsewhere.
    BackendOptions backend = given;
    for (std::string* path : {&backend.pgSslRootCert, &backend.pgSslCert, &backend.pgSslKey}) {
        if (!path->empty()) *path = Absolute(*path);
    }
    if (backend.product == "postgresql" && !CheckPostgresOptions(backend, error)) return false;
    if (!CheckTlsOptions(backend, error)) return false;
    // A longer line would reach the driver cut short, naming another file or none.
    for (const auto& [key, value] : BackendDataSource(dir, backend).keys) {
        if (key.size() + 1 + value.size() > OdbcIni::kLongestLine) {
            error = "the backend data source's line " + key + "=… would be " +
                    std::to_string(key.size() + 1 + value.size()) +
                    " bytes long, and the ODBC driver manager reads " +
                    std::to_string(OdbcIni::kLongestLine) + " of a line: give shorter paths";
            return false;
        }
    }
    std::error_code ec;
    if (fs::exists(fs::path(dir) / kCatalogue, ec)) {
        return ReplaceBackend(dir, demo, backend, error);
    }
    if (backend.replace) {
        error = "--replace-backend replaces the backend of a host directory, and " + dir +
                " is none (no " + kCatalogue + "): leave it out to make one";
        return false;
    }
    const bool made = !fs::exists(dir, ec);
    fs::create_directories(fs::path(dir) / "odbc", ec);
    if (ec) {
        error = "cannot create " + dir + "/odbc: " + ec.message();
        return false;
    }
    // The backend's login lives here: the host's user and its group only.
    if (made) fs::permissions(dir, kPrivateFolder, ec);
    DirectoryLock lock;
    if (!lock.Take(dir, error)) return false;
    if (!WriteFile(fs::path(dir) / "odbc/odbcinst.ini", OdbcInstIni(), error) ||
        !WritePrivateFile(fs::path(dir) / kDataSources,
                          OdbcIni::WithDataSource("", BackendDataSource(dir, backend)), error)) {
        return false;
    }
    if (!Enter(dir, error)) return false;
    if (!VktHost::CreateHostDatabase()) {
        error = "cannot create the host database " + dir + "/" + kCatalogue;
        return false;
    }
    if (backend.product == "sqlite" && !CreateSqliteBackend(dir, error)) return false;
    if (demo) AddDemoRTUs();
    VktHost::CloseHost();
    return true;
}

}  // namespace HostDirectory
