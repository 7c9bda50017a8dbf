#pragma once

// The plug-in's configuration file and the defaults of its backend keys. The plug-in
// reads the file with them; the host's report and tower chart read the backend's
// settings from the same file the same way. Constants only: the host may include it.
namespace ConfigFile {

// Relative to the current directory (the host directory).
constexpr const char* kPath = "./WPDB.ini";

// [DATABASE] SOURCENAME, USER, PASSWORD when the key is missing; PRENAME has none.
constexpr const char* kDefaultSource = "DAVAD";
constexpr const char* kDefaultUser = "fd";
constexpr const char* kDefaultPassword = "wendol";

}  // namespace ConfigFile
