#pragma once

#include <string>

// One intake benchmark: the host's figure and a baseline measured in the same run, and
// the ratio the target asks for (ours / baseline for a rate, baseline / ours for a time,
// so that a higher ratio is always better).
struct IntakeResult {
    std::string name;     // "modbus", "mqtt", "table"
    std::string what;     // what was measured, one line
    std::string unit;     // "s a cycle", "frames/s"
    double ours = 0;      // the host's figure
    double baseline = 0;  // the baseline's figure
    double ratio = 0;     // the better the higher
    double target = 0;    // the ratio asked for at least
    std::string failure;  // why the benchmark could not run; empty when it did
};

// Each benchmark starts its own peer (a Modbus device, a broker, a table file) in a
// temporary folder and measures both sides in one run.
IntakeResult ModbusIntakeBench();
IntakeResult MqttIntakeBench();
IntakeResult TableIntakeBench();
