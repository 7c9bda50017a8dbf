#pragma once

#include <string>

#include "host/Acquisition.h"

// vkthost gui: the host with its main window. Acquisition runs on a host thread while
// the operator works; the plug-in's dialogs open from the menu on the window's thread.
// The process ends with its main window: closed by the operator (asked first while a
// batch job runs), by --quit-after, or by SIGTERM, SIGINT or SIGHUP (not asked). It then
// stops acquiring, waits at most 30 s for the plug-in to store what it took (a second
// signal cuts the wait), prints what happened and calls VKTLibExit.
namespace HostGui {

struct Options : Acquisition::SourceOptions {
    std::string dir;
    std::string now;         // "YYYY-MM-DD HH:MM:SS": the process clock starts there
    std::string pluginPath;  // empty: next to the host program
    std::string screenshot;  // a PNG of the window, taken after `quitAfter` seconds
    double quitAfter = 0;    // seconds until the window closes by itself; 0: never
    int selectRtu = 0;       // the tower charted at start; 0: the first tower
};

// Returns the exit code of the run's table (HostRun::ExitCode, for a run acquired until
// stopped): 0 after a clean stop with everything stored or safe in the station files,
// 2 when a second stop signal cut the wait for the plug-in short, 3 with frames
// dropped, left in the spool or rows refused, 1 (with `error`) when the host could not
// start: no display that Qt can use, the directory, the frames or the plug-in.
int Run(const Options& options, std::string& error);

}  // namespace HostGui
