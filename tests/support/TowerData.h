#pragma once

#include <vector>

#include "storage/WPDBThread.h"

// Items and records of tower 12 as the writers' tests use them: each data id is its
// own measuring point, the rain counter's key is kCycleSensor.
constexpr int kCycleSensor = 1200100;

inline CDataItem Item(int id, float value, const DateTime& time, int kind = 0, int status = 0) {
    CDataItem item;
    item.m_nSensorID = id == 100 ? kCycleSensor : 1200000 + id;
    item.m_nDataID = id;
    item.m_nKind = kind;
    item.m_tTime = time;
    item.m_fValue = value;
    item.m_nStatus = status;
    return item;
}

inline CTowerRecord TowerRecordOf(int rtu, const DateTime& time, std::vector<CDataItem> items) {
    CTowerRecord record;
    record.m_nRTUID = rtu;
    record.m_nKind = 1;
    record.m_tTime = time;
    record.m_arItems = std::move(items);
    return record;
}
