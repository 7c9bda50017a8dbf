#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hostlib/VktRecords.h"

// The queued copy of a data frame, owned by the storage queue and then by the storage
// thread, which passes it to every writer.
struct CTowerRecord {
    std::vector<CDataItem> m_arItems;  // byte copies of the frame's items, in order
    int32_t m_nRTUID = 0;
    int32_t m_nKind = 0;
    DateTime m_tTime;       // the frame time
    std::string m_strText;  // left empty
};
