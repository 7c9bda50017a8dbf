#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/Acquisition.h"
#include "hostlib/VktBase.h"
#include "hostlib/VktRecords.h"

// One run of the host: load the plug-in, start it, acquire and hand over frames, wait
// until the plug-in has stored them (its queues empty, no refill pending), linger,
// stop it, and tell what happened. Followed or live frames are acquired as they come
// until a stop signal (CStopSignals) or the end of standard input; the run then waits for the
// plug-in as after a replay, without lingering. A followed file's position past the
// frames the plug-in accepted is kept in the host directory (FollowPosition.h), so that
// the next run goes on from there.
namespace HostRun {

struct Options : Acquisition::SourceOptions {
    std::string dir;
    std::string now;  // "YYYY-MM-DD HH:MM:SS": the process clock starts there
    // At most this long for the plug-in's queues and refill. Given (0 or more), it bounds
    // the wait for a backend that does not answer too, for a finite run; not given
    // (below 0), the wait is kDefaultDrainSeconds; a backend away for kBackendAwaySeconds
    // is not waited for then, nor ever by a continuous run.
    double drainSeconds = -1.0;
    double statusSeconds = 0.0;  // health lines this often while waiting; 0: none
    double lingerSeconds = 5.0;
    std::string pluginPath;  // empty: next to the host program
    // Each frame the plug-in accepted, as "RTU time" appended to this file the moment
    // SaveRTDB returns (for crash tests: what a kill leaves in it was accepted).
    std::string acceptedFile;
    // No frames: the plug-in runs only to copy back what its refill journal holds (the
    // rows its quarantine handed back at the start among them).
    bool refillOnly = false;
};

// How waiting for the plug-in to store what it was handed ended.
enum class DrainEnd {
    Stored,       // both stores have everything
    BackendAway,  // the station files have everything; the backend does not answer (a
                  // backend that answers and refuses rows is no outage: they are kept)
    TimedOut,     // --drain passed first
    Stopped,      // a stop signal cut the wait short
};

struct Summary {
    int framesRead = 0;
    int accepted = 0;
    int refused = 0;
    std::vector<std::string> inputErrors;
    std::vector<std::string> sourceNotes;  // what the live source told (rotations, files moved)
    std::vector<std::string> messages;     // lines of the host's message window
    std::vector<std::string> errorLog;     // lines the run added to the error log
    std::vector<std::string> health;       // the plug-in's health figures after it stopped
    bool drained = true;                   // queues empty, no refill pending, in time
    DrainEnd drainEnd = DrainEnd::Stored;
    long backendWaiting = 0;        // records waiting for the backend when the run ended
    long refillPending = 0;         // refill ranges left for when it answers
    long framesDropped = 0;         // given up unstored, by the plug-in's own count
    long stationLeft = 0;           // frames left in the spool for the next start
    bool spoolUnavailable = false;  // frames were held in memory only: a kill loses them
    bool continuous = false;        // acquired until a stop signal (--follow, --inbox, live)
    long rowsRefused = 0;           // rows the backend refused, kept in the quarantine
    long recordsRefused = 0;        // records whose rows the backend refused, kept or not
    long rowsRetried = 0;           // quarantined rows handed back to the refill at the start
    long rowsRefilled = 0;          // rows copied back from the station files
};

// The exit code of a run that started: 0 everything stored, or a continuous run whose
// backend rows wait safe in the station files; 2 stopped by a signal before that; 3
// ended with rows still pending, frames dropped, rows the backend refused, or without
// the frame spool.
int ExitCode(const Summary& summary);

// Waits until the plug-in has stored what it was handed (its queues empty, no refill
// pending), at most `seconds`, printing its health every `statusSeconds` (0: never).
// A backend that has not answered for a while (or whose statement hangs) is not
// waited for once the station files have everything; the `signalsToStop`-th stop
// signal (CStopSignals::Arrived) cuts the wait short.
// `waitForBackend` waits for it all the same, as an operator's --drain asks.
DrainEnd WaitUntilDrained(double seconds, double statusSeconds, int signalsToStop = 2,
                          bool waitForBackend = false);

// The plug-in's health figures as lines of text under `heading`.
std::vector<std::string> HealthLines(const CPluginHealth& health, const std::string& heading);
// How each source that reads a device or a broker fares, a line each.
std::vector<std::string> SourceHealthLines(const std::vector<CSourceHealth>& sources);

// The plug-in's last health figures, after its stop, into the summary.
void TakeFinalHealth(Summary& summary);

// Returns 0 on success, nonzero (with `error`) when the run could not start.
int Run(const Options& options, Summary& summary, std::string& error);
void Print(const Summary& summary);

}  // namespace HostRun
