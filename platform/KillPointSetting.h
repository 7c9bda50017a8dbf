#pragma once

#include <cstdlib>
#include <string>

// What VKT_KILL_POINT asks for, "name" or "name:N": the point and at which of its passes
// in the process (from 1) to end it. Read by each system's KillPoint.
struct KillPointSetting {
    std::string name;  // empty: no kill point
    unsigned long pass = 1;

    static KillPointSetting Parse(const char* value) {
        KillPointSetting setting;
        if (!value) return setting;
        setting.name = value;
        const size_t colon = setting.name.rfind(':');
        if (colon == std::string::npos || colon + 1 == setting.name.size()) return setting;
        const std::string count = setting.name.substr(colon + 1);
        if (count.find_first_not_of("0123456789") != std::string::npos) return setting;
        // "name:0" and counts too large for the counter reach no pass.
        setting.pass = count.size() > 9 ? 0 : std::strtoul(count.c_str(), nullptr, 10);
        setting.name.resize(colon);
        return setting;
    }

    // Whether the point is the one named; its passes are then counted.
    bool Names(const char* point) const { return !name.empty() && point && name == point; }
};
