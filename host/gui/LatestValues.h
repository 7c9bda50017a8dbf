#pragma once

#include <QString>
#include <map>

#include "hostlib/VktRecords.h"

// A frame's values as the window shows them, by level and quantity, with the names and
// units of the host's data types (what the plug-in registers at its start); the few
// quantities of the host itself that no plug-in registers (the rain counter, the air
// pressure) carry names of their own. User-interface thread.
class CLatestValues {
public:
    struct Text {
        QString summary;  // one line: each level's mean speed and direction, then the air
        QString details;  // every value, one line per level, for the tooltip
    };

    Text Describe(const CDataFrame& frame);

    // The level (1 to 7) of a wind quantity's data id, else 0.
    static int LevelOf(int32_t nDataID);

private:
    struct Quantity {
        QString name;  // for a wind quantity without its level ("10分钟平均风速")
        QString unit;
    };
    const Quantity& QuantityOf(int32_t nDataID);

    std::map<int32_t, Quantity> m_known;  // looked up once each
};
