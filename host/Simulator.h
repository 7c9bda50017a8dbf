#pragma once

#include <optional>
#include <string>
#include <vector>

#include "hostlib/VktRecords.h"

// Realistic tower data for the host to acquire: one frame per tower every 10 minutes.
namespace Simulator {

struct Range {
    DateTime from;
    DateTime to;
};

// SPAN is "last:DURATION" (DURATION a number with d, h or m: the period ending now)
// or "FROM..TO" with times "YYYY-MM-DD HH:MM:SS".
std::optional<Range> ParseSpan(const std::string& span, const DateTime& now, std::string& error);

// The sensor key of a measuring point: unique per RTU and data id for RTU ids up to
// 21,474; above that the key wraps around (computed unsigned, so a large RTU id of a
// fleet's numbering is no overflow) and may repeat another RTU's.
inline int32_t SensorKey(int32_t rtu, int32_t dataID) {
    return static_cast<int32_t>(static_cast<uint32_t>(rtu) * 100000u +
                                static_cast<uint32_t>(dataID));
}

// Frames of every tower at each 10-minute mark of the range (both ends included),
// in time order and, within one time, in the towers' order. Deterministic.
std::vector<CDataFrame> Simulate(const std::vector<CRTUDef>& towers, const Range& range);

// The towers of the host catalogue (RTU types 100 and 101), in catalogue order.
std::vector<CRTUDef> CatalogueTowers();

}  // namespace Simulator
