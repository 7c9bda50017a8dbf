#include "host/DataSourceHome.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "hostlib/StationFiles.h"
#include "platform/IniFile.h"
#include "platform/System.h"

namespace fs = std::filesystem;

namespace DataSourceHome {

namespace {

constexpr const char* kBackendFile = "backend.db";

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool IsKey(const std::string& line, const std::string& key, std::string& value) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos) return false;
    const std::string name = Trim(line.substr(0, equals));
    const auto lower = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
    if (!std::equal(name.begin(), name.end(), key.begin(), key.end(),
                    [&](char a, char b) { return lower(a) == lower(b); })) {
        return false;
    }
    value = Trim(line.substr(equals + 1));
    return true;
}

// Another place, not this directory under another name (a link to it).
bool IsElsewhere(const std::string& place, const std::string& home, const std::string& hostDir) {
    if (place == home) return false;
    std::error_code ec;
    return !fs::equivalent(place, hostDir, ec);
}

// A file of a host directory, as the place of the directory and the file's name in it.
struct HostFile {
    std::string home;
    std::string relative;
};

bool AsHostFile(const std::string& path, HostFile& file) {
    if (path.empty() || path[0] != '/') return false;
    const size_t stations = path.rfind("/" + std::string(StationFiles::kFolder) + "/");
    if (stations != std::string::npos && stations > 0) {
        file = {path.substr(0, stations), path.substr(stations + 1)};
        return true;
    }
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0 || path.substr(slash + 1) != kBackendFile) {
        return false;
    }
    file = {path.substr(0, slash), kBackendFile};
    return true;
}

std::string Joined(const std::set<std::string>& places) {
    std::string text;
    for (const std::string& place : places) text += (text.empty() ? "" : ", ") + place;
    return text;
}

}  // namespace

bool Repoint(const std::string& odbcIni, const std::string& hostDir, std::string& note,
             std::string& error, std::set<std::string>* formerPlacesOut) {
    std::ifstream in(odbcIni, std::ios::binary);
    if (!in) return true;  // no data sources of its own: nothing to re-point
    // The form the drivers are given paths in (the Unix form under Wine).
    const std::string home = System::DriverPath(hostDir);
    std::vector<std::string> lines;
    std::set<std::string> formerPlaces;
    std::string section, line, value;
    int repointed = 0;
    while (std::getline(in, line)) {
        const std::string trimmed = Trim(line);
        if (!trimmed.empty() && trimmed[0] == '[') {
            section = trimmed.substr(1, trimmed.find(']') - 1);
        }
        HostFile file;
        if (IsKey(line, "Database", value) && AsHostFile(value, file) &&
            IsElsewhere(file.home, home, hostDir)) {
            std::error_code ec;
            if (file.relative == kBackendFile &&
                !fs::exists(fs::path(hostDir) / kBackendFile, ec)) {
                error = "the data source [" + section + "] in " + odbcIni + " names " + value +
                        ", the backend file of another place, and " + hostDir + "/" + kBackendFile +
                        " does not exist: copy that backend file into this host directory, or "
                        "set Database= of [" +
                        section + "] to the backend this host is meant to write to";
                return false;
            }
            formerPlaces.insert(file.home);
            line = line.substr(0, line.find(value, line.find('='))) + home + "/" + file.relative;
            ++repointed;
        }
        lines.push_back(line);
    }
    if (formerPlacesOut) *formerPlacesOut = formerPlaces;
    if (repointed == 0) return true;
    std::ostringstream text;
    for (const std::string& kept : lines) text << kept << "\n";
    if (!System::WriteFileWhole(odbcIni, text.str())) {
        error = "cannot re-point the data sources in " + odbcIni + ": " + std::strerror(errno);
        return false;
    }
    note = "the host directory's data sources named files at " + Joined(formerPlaces) +
           " (where it was before it was moved or copied): " + std::to_string(repointed) +
           " re-pointed to " + home;
    return true;
}

bool RepointIsolationFolder(const std::string& configFile, const std::string& hostDir,
                            const std::set<std::string>& formerPlaces, std::string& note,
                            std::string& error) {
    const std::string folder = IniFile::GetString(configFile, "TXT", "DIR", "");
    for (const std::string& place : formerPlaces) {
        if (folder.compare(0, place.size(), place) != 0) continue;
        const std::string rest = folder.substr(place.size());
        if (!rest.empty() && rest.front() != '/') continue;  // /old/place2 is another folder
        const std::string here = rest.empty() || rest == "/" ? std::string() : hostDir + rest;
        if (!IniFile::WriteStrings(configFile, {{"TXT", "DIR", here}})) {
            error = "cannot re-point the isolation folder in " + configFile + ": " +
                    std::strerror(errno);
            return false;
        }
        note = "the isolation folder [TXT] DIR " + folder + " was the host directory's former " +
               "place: re-pointed to " + (here.empty() ? hostDir : here);
        return true;
    }
    return true;
}

}  // namespace DataSourceHome
