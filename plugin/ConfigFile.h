#pragma once

#include <cstddef>

// The plug-in's configuration file: its eleven keys with their defaults and what each
// means. The plug-in reads the file with them; the host's report and tower chart read the
// backend's settings from the same file the same way, and the host's `settings` command
// lists and checks them. Constants only: the host may include it.
namespace ConfigFile {

// Relative to the current directory (the host directory).
constexpr const char* kPath = "./WPDB.ini";

// [DATABASE] SOURCENAME, USER, PASSWORD when the key is missing; PRENAME has none.
constexpr const char* kDefaultSource = "DAVAD";
constexpr const char* kDefaultUser = "fd";
constexpr const char* kDefaultPassword = "wendol";

// A text setting holds at most this many bytes; the plug-in cuts a longer one there.
constexpr size_t kMaxText = 199;

// What a key's value may be, as the working-parameters dialog lets the operator set it.
enum class Kind {
    Switch,    // 0 or 1 (a check box)
    FarmKind,  // 0 standard wind farm, 1 the kind without hourly rows (two radio buttons)
    Years,     // a whole number >= 0
    Text,      // one line of at most kMaxText bytes
    Prefix,    // a text that is empty or an SQL name, "NAME" or "NAME.NAME"
};

struct Key {
    const char* section;
    const char* key;
    Kind kind;
    const char* defaultValue;  // null: the host directory
    const char* meaning;
};

// The eleven keys in the order the plug-in reads and writes them.
inline constexpr Key kKeys[] = {
    {"ERRORDATA", "SAVEDATA", Kind::Switch, "1", "store values marked abnormal too"},
    {"DATABASE", "SOURCENAME", Kind::Text, kDefaultSource, "ODBC data source of the backend"},
    {"DATABASE", "PRENAME", Kind::Prefix, "", "schema prefix of the backend tables, or none"},
    {"DATABASE", "USER", Kind::Text, kDefaultUser, "backend login name"},
    {"DATABASE", "PASSWORD", Kind::Text, kDefaultPassword, "backend login password"},
    {"DATABASE", "SAVEBKGDB", Kind::Switch, "1", "write the rows to the backend"},
    {"DATABASE", "TYPE", Kind::FarmKind, "0", "wind-farm kind: 0 standard, 1 without hourly rows"},
    {"LOCALDATA", "SAVEDATA", Kind::Switch, "1", "write the station files (WPData/WP_<n>.MDB)"},
    {"LOCALDATA", "DATALEN", Kind::Years, "2", "years the station files keep; 0 keeps all"},
    {"TXT", "PERMIT", Kind::Switch, "1", "write the reverse-isolation files"},
    {"TXT", "DIR", Kind::Text, nullptr, "folder of the reverse-isolation files"},
};

}  // namespace ConfigFile
