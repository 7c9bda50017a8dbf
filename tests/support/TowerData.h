#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "hostlib/HostSide.h"

// Items and frames of the towers as the tests use them: each data id is its
// own measuring point, the rain counter's key is kCycleSensor.
constexpr int kCycleSensor = 1200100;

// 15:00 on 12 March 2009, a full hour, and the ten-minute time 14:10 before it.
inline const DateTime k15(2009, 3, 12, 15, 0, 0);
inline const DateTime k1410(2009, 3, 12, 14, 10, 0);

// An item of tower 12.
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

// An item of tower rtu's own measuring point id.
inline CDataItem PointOf(int rtu, int id, float value, const DateTime& time) {
    CDataItem item;
    item.m_nSensorID = rtu * 100000 + id;
    item.m_nDataID = id;
    item.m_tTime = time;
    item.m_fValue = value;
    return item;
}

inline CDataFrame FrameOf(int rtu, const DateTime& time, std::vector<CDataItem> items = {},
                          int kind = 1) {
    CDataFrame frame;
    frame.m_nRTUID = rtu;
    frame.m_nKind = kind;
    frame.m_tTime = time;
    frame.m_arItems = std::move(items);
    return frame;
}

// Tower rtu's wind speed at level 1 (id 7000) alone.
inline CDataFrame SpeedFrame(int rtu, const DateTime& time, float value, int kind = 1) {
    return FrameOf(rtu, time, {PointOf(rtu, 7000, value, time)}, kind);
}

// The rain counter's sample one hour before k15, as the host keeps it.
inline void StoreCounterSampleAt14(float value) {
    const DateTime at(2009, 3, 12, 14, 0, 0);
    ASSERT_TRUE(VktHost::RecordAcquiredFrame(FrameOf(12, at, {Item(100, value, at)})));
}
