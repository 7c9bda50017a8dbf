#pragma once

#include <string>

#include "platform/DateTime.h"

// How a frame source that reads a device or a broker fares, for the status lines, the
// service's status and the window.
struct CSourceHealth {
    std::string name;        // "RTU 7 modbus 10.0.0.5:502", "mqtt 127.0.0.1:1883 towers/#"
    bool answering = false;  // the last read or connection worked
    DateTime lastFrame = DateTime::Invalid();  // the newest frame's time; invalid: none yet
    long failedReads = 0;                      // reads or connections that failed since the start
    std::string lastError;                     // the newest failure's reason; empty: none
};
