#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Every data id a tower's frames carry: its name and unit as the host's DATATYPE table
// shows them, and the column of the tower tables it is stored in.
struct DataIdInfo {
    int32_t id = 0;
    std::string name;
    std::string unit;
    int category = 0;
    std::string categoryName;
    std::string column;  // empty: carried by frames, stored in no column
    int group = 0;       // the registration group the plug-in writes it with (1-3); 0: none
};

// Grouped by quantity and level, in the order the plug-in registers them (the ids it
// does not register last); the same list every time.
const std::vector<DataIdInfo>& DataIds();
// The id's entry, or null for an id no tower frame carries.
const DataIdInfo* FindDataId(int32_t id);
