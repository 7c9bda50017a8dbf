#pragma once

#include <cstring>
#include <string>
#include <utility>
#include <vector>

// The attributes a ConfigDSN call gets, "KEY=value\0KEY=value\0\0", as (key, value)
// pairs; entries without "=" are left out.
inline std::vector<std::pair<std::string, std::string>> SplitAttributes(const char* attributes) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const char* p = attributes; p && *p; p += std::strlen(p) + 1) {
        const std::string entry = p;
        const size_t equals = entry.find('=');
        if (equals == std::string::npos) continue;
        pairs.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
    }
    return pairs;
}
