#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "hostlib/VktBase.h"

// The plug-in's batch jobs started from the terminal: the local data export and the
// period rainfall recalculation, through the same job parameters and busy flags as
// the plug-in's dialog, with the progress drawn as a bar (on a terminal; elsewhere a
// line every tenth of the job) and a stop signal (CStopSignals) as the stop button.
namespace HostJobs {

struct Options {
    std::string dir;
    int kind = 0;          // CPluginJobs::kExport or kRainfall
    std::string stations;  // "12,13", "12, 13" or "all" (every type-100 RTU)
    std::string from;      // "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS"
    std::string to;
    std::string pluginPath;  // empty: next to the host program
};

// Runs the job to its end or its stop and prints a summary. The stations must be
// towers of type 100 of the host catalogue. The first stop signal (Ctrl-C, SIGTERM,
// SIGHUP) asks the job to stop after its current step; a second one stops waiting for
// it, and the plug-in is
// stopped. Returns 0 when the job ran to its end with nothing failed; 1 (with
// `error`) when it could not start, the options included; 2 when it was stopped;
// 3 when rows (the export) or reads and updates (the recalculation) failed.
int Run(const Options& options, std::string& error);

// How a batch job ended, taken while the plug-in runs and printed after its stop.
struct JobEnd {
    int kind = 0;
    CJobOrder order;
    CJobSummary summary;
    std::map<int32_t, long> rowsRead;
    double seconds = 0;
    bool abandoned = false;  // no longer waited for: the plug-in's stop ended it
};

// The figures of the job of `kind` handed over last, by this host or by the plug-in's
// dialog. Call before the plug-in stops.
JobEnd TakeJobEnd(CPluginJobs& jobs, int kind, double seconds, bool abandoned);

// Prints what the job did: units, rows, the stations that read nothing, what failed.
// Returns the job's exit code: 0, 2 when it was stopped, 3 when something failed.
int PrintJobEnd(const JobEnd& end);

}  // namespace HostJobs
