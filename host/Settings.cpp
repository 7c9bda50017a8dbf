#include "host/Settings.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "host/HostDirectory.h"
#include "platform/IniFile.h"
#include "platform/OdbcIni.h"
#include "platform/SqlText.h"
#include "platform/System.h"
#include "platform/TextNumber.h"

namespace fs = std::filesystem;

namespace Settings {

namespace {

constexpr const char* kMasked = "***";

bool SameName(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
    }
    return true;
}

std::string Name(const ConfigFile::Key& key) {
    return std::string(key.section) + "." + key.key;
}

const ConfigFile::Key* FindKey(const std::string& name) {
    const size_t dot = name.find('.');
    if (dot == std::string::npos) return nullptr;
    for (const ConfigFile::Key& key : ConfigFile::kKeys) {
        if (SameName(name.substr(0, dot), key.section) && SameName(name.substr(dot + 1), key.key)) {
            return &key;
        }
    }
    return nullptr;
}

const ConfigFile::Key& PasswordKey() {
    static const ConfigFile::Key* const key = FindKey("DATABASE.PASSWORD");
    return *key;
}

bool IsPassword(const ConfigFile::Key& key) {
    return &key == &PasswordKey();
}

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The value as the file is to hold it, or false with `error`. The password's value is
// never named: `shown` stands in for it.
bool Check(const ConfigFile::Key& key, const std::string& value, const std::string& shown,
           std::string& written, std::string& error) {
    const std::string name = Name(key);
    const std::string quoted = "\"" + HostDirectory::Printable(shown) + "\"";
    switch (key.kind) {
        case ConfigFile::Kind::Switch:
        case ConfigFile::Kind::FarmKind: {
            const std::string number = Trimmed(value);
            if (number == "0" || number == "1") {
                written = number;
                return true;
            }
            error = name +
                    (key.kind == ConfigFile::Kind::Switch
                         ? " takes 0 (off) or 1 (on): "
                         : " takes 0 (standard wind farm) or 1 (without hourly rows): ") +
                    quoted;
            return false;
        }
        case ConfigFile::Kind::Years: {
            const auto years = ReadWholeNumber(Trimmed(value));
            if (years && *years >= 0) {
                written = std::to_string(*years);
                return true;
            }
            error = name + " takes a whole number of years, 0 or more: " + quoted;
            return false;
        }
        case ConfigFile::Kind::Text:
        case ConfigFile::Kind::Prefix:
            break;
    }
    if (OdbcIni::HasControlCharacter(value)) {
        error = name +
                " holds a control character (a line break, a tab or another byte below 0x20, "
                "or 0x7F), which a line of the file cannot hold: " +
                quoted;
        return false;
    }
    if (value.size() > ConfigFile::kMaxText) {
        error = name + " is longer than " + std::to_string(ConfigFile::kMaxText) + " bytes (" +
                std::to_string(value.size()) + "), which the plug-in would cut";
        return false;
    }
    if (value != Trimmed(value)) {
        error = name + " begins or ends with a space, which the file does not keep: " + quoted;
        return false;
    }
    if (key.kind == ConfigFile::Kind::Prefix && !IsSchemaPrefix(value)) {
        error = name + " " + quoted +
                " is not an SQL name: letters, digits and _, not beginning with a digit, or two "
                "such names joined by a dot; empty for none";
        return false;
    }
    written = value;
    return true;
}

// The mode WPDB.ini is written with: it may hold the backend's password.
int FileMode(const std::string& path) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) return 0600;
    return static_cast<int>(status.permissions() & (fs::perms::owner_read | fs::perms::owner_write |
                                                    fs::perms::group_read));
}

bool IsHostDirectory(const std::string& dir, std::string& error) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        error = "no host directory " + HostDirectory::Printable(dir) + ": not a folder";
        return false;
    }
    if (!fs::exists(fs::path(dir) / "VKTCOMM.MDB", ec)) {
        error = "no host directory " + HostDirectory::Printable(dir) +
                ": no VKTCOMM.MDB (vkthost init DIR makes one)";
        return false;
    }
    return true;
}

std::string Shown(const ConfigFile::Key& key, const std::string& value) {
    if (IsPassword(key) && !value.empty()) return kMasked;
    return value.empty() ? "\"\"" : HostDirectory::Printable(value);
}

int Print(const std::string& dir) {
    const std::string file = FilePath(dir);
    std::error_code ec;
    const bool present = fs::exists(file, ec);
    if (present && !System::CanRead(file)) {
        std::fprintf(stderr, "vkthost: cannot read %s: %s\n", file.c_str(), std::strerror(errno));
        return 1;
    }
    std::printf("%s%s\n", HostDirectory::Printable(file).c_str(),
                present ? "" : " (missing: every key takes its default)");
    std::printf("%-20s %-20s %-20s %s\n", "KEY", "VALUE", "DEFAULT", "MEANING");
    for (const ConfigFile::Key& key : ConfigFile::kKeys) {
        // A key that gives back either stand-in is missing: no text of its own is both.
        const std::string value = IniFile::GetString(file, key.section, key.key, "0");
        const bool missing =
            value == "0" && IniFile::GetString(file, key.section, key.key, "1") == "1";
        const std::string defaultValue =
            key.defaultValue ? Shown(key, key.defaultValue) : "(the host directory)";
        const std::string shown = missing ? "(default)" : Shown(key, value);
        std::printf("%-20s %-20s %-20s %s\n", Name(key).c_str(), shown.c_str(),
                    defaultValue.c_str(), key.meaning);
    }
    return 0;
}

}  // namespace

std::string FilePath(const std::string& dir) {
    return (fs::path(dir) / fs::path(ConfigFile::kPath).filename()).string();
}

bool Parse(const std::vector<std::string>& assignments, std::vector<Change>& changes,
           std::vector<std::string>& errors) {
    const size_t errorsBefore = errors.size();
    std::set<const ConfigFile::Key*> seen;
    for (const std::string& assignment : assignments) {
        const size_t equals = assignment.find('=');
        const std::string name = assignment.substr(0, equals);
        const ConfigFile::Key* key = FindKey(name);
        if (!key) {
            errors.push_back("no setting " + HostDirectory::Printable(name) +
                             " (SECTION.KEY; vkthost settings DIR lists them)");
            continue;
        }
        if (IsPassword(*key)) {
            // Refused before it is looked at: a command line is seen by every process.
            errors.push_back(Name(*key) +
                             " is never taken from the command line: use --password-file FILE "
                             "(- for standard input)");
            continue;
        }
        if (equals == std::string::npos) {
            errors.push_back(Name(*key) + " needs a value: " + Name(*key) + "=VALUE");
            continue;
        }
        if (!seen.insert(key).second) {
            errors.push_back(Name(*key) + " is given twice");
            continue;
        }
        const std::string value = assignment.substr(equals + 1);
        Change change{key, {}};
        std::string error;
        if (Check(*key, value, value, change.value, error)) {
            changes.push_back(change);
        } else {
            errors.push_back(error);
        }
    }
    return errors.size() == errorsBefore;
}

bool ReadPassword(const std::string& file, Change& change, std::string& error) {
    const std::string from = file == "-" ? "the standard input" : HostDirectory::Printable(file);
    std::string line;
    if (file == "-") {
        std::getline(std::cin, line);
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            error = "cannot read the password file " + from + ": " + std::strerror(errno);
            return false;
        }
        std::getline(in, line);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
        error = "no password on the first line of " + from;
        return false;
    }
    change.key = &PasswordKey();
    if (Check(*change.key, line, kMasked, change.value, error)) return true;
    error += " (the first line of " + from + ")";
    return false;
}

bool Write(const std::string& dir, const std::vector<Change>& changes, std::string& error) {
    if (!IsHostDirectory(dir, error)) return false;
    const std::string file = FilePath(dir);
    std::vector<IniFile::IniEntry> entries;
    for (const Change& change : changes) {
        entries.push_back({change.key->section, change.key->key, change.value});
    }
    std::string text;
    if (!IniFile::TextWithStrings(file, entries, text)) {
        error = "cannot read " + HostDirectory::Printable(file) + ": " + std::strerror(errno);
        return false;
    }
    if (!System::WriteFileWhole(file, text, nullptr, FileMode(file))) {
        error = "cannot write " + HostDirectory::Printable(file) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// The isolation folder a change names that no file can be written to yet: a warning,
// not a refusal, for the folder may be made later or be the service user's.
void WarnOfIsolationFolder(const std::string& dir, const std::vector<Change>& changes) {
    for (const Change& change : changes) {
        if (std::string(change.key->section) != "TXT" || std::string(change.key->key) != "DIR" ||
            change.value.empty()) {
            continue;
        }
        const std::filesystem::path folder = std::filesystem::path(dir) / change.value;
        std::error_code ec;
        const char* problem = nullptr;
        if (!std::filesystem::is_directory(folder, ec)) {
            problem = "names no folder";
#ifndef _WIN32
        } else if (access(folder.c_str(), W_OK | X_OK) != 0) {
            problem = "names a folder this user cannot write";
#endif
        }
        if (!problem) continue;
        std::fprintf(stderr,
                     "vkthost: warning: TXT.DIR %s: %s; the plug-in writes no isolation file "
                     "until the host's user can write there\n",
                     problem, HostDirectory::Printable(folder.string()).c_str());
    }
}

int Command(const Options& options) {
    const std::string dir = HostDirectory::Absolute(options.dir);
    std::string error;
    if (!IsHostDirectory(dir, error)) {
        std::fprintf(stderr, "vkthost: %s\n", error.c_str());
        return 1;
    }
    if (options.assignments.empty() && options.passwordFile.empty()) return Print(dir);
    std::vector<Change> changes;
    std::vector<std::string> errors;
    Parse(options.assignments, changes, errors);
    if (!options.passwordFile.empty()) {
        Change password;
        if (ReadPassword(options.passwordFile, password, error)) {
            changes.push_back(password);
        } else {
            errors.push_back(error);
        }
    }
    if (errors.empty() && !Write(dir, changes, error)) errors.push_back(error);
    for (const std::string& refusal : errors) {
        std::fprintf(stderr, "vkthost: %s\n", refusal.c_str());
    }
    if (!errors.empty()) {
        std::fprintf(stderr, "vkthost: nothing written\n");
        return 1;
    }
    for (const Change& change : changes) {
        std::printf("%s = %s\n", Name(*change.key).c_str(),
                    Shown(*change.key, change.value).c_str());
    }
    WarnOfIsolationFolder(dir, changes);
    std::printf("written: %s (a running plug-in takes it within a second)\n",
                HostDirectory::Printable(FilePath(dir)).c_str());
    return 0;
}

}  // namespace Settings
