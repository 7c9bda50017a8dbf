#pragma once

#include <string>
#include <vector>

#include "plugin/ConfigFile.h"

// The plug-in's working parameters (DIR/WPDB.ini) from the terminal: listed, and changed
// with the checks of the working-parameters dialog, so that a host directory a service
// holds can be configured without a display. Reading and writing need no host lock: the
// file is replaced whole, and a running plug-in takes the new one within a second.
namespace Settings {

// One key to set, checked.
struct Change {
    const ConfigFile::Key* key;
    std::string value;  // as written to the file
};

// The configuration file of the host directory `dir`.
std::string FilePath(const std::string& dir);

// Checks "SECTION.KEY=VALUE" texts (section and key in any case) as the dialog checks
// its fields; the password is refused here, for it is never taken from a command line.
// Every refusal goes to `errors`, one line each, a password never named; false then.
bool Parse(const std::vector<std::string>& assignments, std::vector<Change>& changes,
           std::vector<std::string>& errors);

// The password from the first line of `file` ("-": standard input), checked, as the
// change of [DATABASE] PASSWORD; false with `error`, which never holds the password.
bool ReadPassword(const std::string& file, Change& change, std::string& error);

// Writes the changes into DIR/WPDB.ini, keeping its other sections, keys and comments,
// the file replaced whole. Its mode becomes 0600, or what it had of 0640 (owner read and
// write, group read) when it was there: never wider. False with `error` when DIR is no
// host directory or the file cannot be read or written; the file stays as it was then.
bool Write(const std::string& dir, const std::vector<Change>& changes, std::string& error);

// `vkthost settings DIR [KEY=VALUE ...] [--password-file FILE]`: without changes lists
// every key (value, default, meaning; the password as ***), else checks them all and
// writes them together. 0 when done, 1 (refusals on the error output) otherwise.
struct Options {
    std::string dir;
    std::vector<std::string> assignments;
    std::string passwordFile;  // empty: none; "-": standard input
};
int Command(const Options& options);

}  // namespace Settings
