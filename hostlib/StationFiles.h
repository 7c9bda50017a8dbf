#pragma once

#include <cstdint>
#include <string>

// The station files in a host directory, as the plug-in makes them and the host looks
// at them: WPData/WP_<n>.MDB, one per RTU n. Header only: both sides read the names
// from here.
namespace StationFiles {

// The folder of the station files (and of the frame spool) in the host directory.
constexpr const char* kFolder = "WPData";

// WP_<n>.MDB
inline std::string FileName(int32_t nRTUID) {
    return "WP_" + std::to_string(nRTUID) + ".MDB";
}

// <dir>/WPData/WP_<n>.MDB
inline std::string FilePath(const std::string& dir, int32_t nRTUID) {
    return dir + "/" + kFolder + "/" + FileName(nRTUID);
}

// The RTU of a station file's name WP_<n>.MDB; 0 for any other name.
inline int32_t RtuOfFileName(const std::string& name) {
    const std::string head = "WP_", tail = ".MDB";
    if (name.size() <= head.size() + tail.size() || name.rfind(head, 0) != 0 ||
        name.compare(name.size() - tail.size(), tail.size(), tail) != 0) {
        return 0;
    }
    const std::string digits = name.substr(head.size(), name.size() - head.size() - tail.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) return 0;
    return static_cast<int32_t>(std::stol(digits));
}

}  // namespace StationFiles
