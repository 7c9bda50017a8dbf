#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/LiveSource.h"
#include "host/SourceMap.h"

// A tower's logger or RTU read over Modbus TCP.
struct CModbusDevice {
    int rtu = 0;
    std::string host;  // an address or name
    int port = 502;
    int unit = 1;
    std::vector<CMapEntry> map;
    int everySeconds = 600;  // polled at every mark of the host clock this far apart,
    int offsetSeconds = 20;  // this long after the mark
    int timeoutMs = 3000;    // a request not answered in this time failed
};

namespace ModbusSource {

// One read now, as `source check` does: the frame the device's registers give at `time`
// (the hourly values only when `time` is a full hour), or nothing with `error` naming
// what failed (the connection, the request, the answer).
std::optional<CDataFrame> ReadOnce(const CModbusDevice& device, const DateTime& time,
                                   std::string& error);

// Polls every device at each of its marks, each on a thread of its own so that a slow
// or silent device holds up no other. A device that does not answer gives no frame;
// its failure run is told in one note when it begins and one when it answers again.
std::unique_ptr<CLiveSource> Poll(std::vector<CModbusDevice> devices);

}  // namespace ModbusSource
