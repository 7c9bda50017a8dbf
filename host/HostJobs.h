#pragma once

#include <string>

// The plug-in's batch jobs started from the terminal: the local data export and the
// period rainfall recalculation, through the same job parameters and busy flags as
// the plug-in's dialog, with the progress drawn as a bar and Ctrl-C as the stop button.
namespace HostJobs {

struct Options {
    std::string dir;
    int kind = 0;          // CPluginJobs::kExport or kRainfall
    std::string stations;  // "12,13" or "all" (every type-100 RTU)
    std::string from;      // "YYYY-MM-DD HH:MM"
    std::string to;
    std::string pluginPath;  // empty: next to the host program
};

// Runs the job to its end or its stop and prints a summary. 0 when it ran to its
// end; 1 (with `error`) when it could not start; 2 when it was stopped.
int Run(const Options& options, std::string& error);

}  // namespace HostJobs
