#pragma once

#include <string>

// The plug-in's dialogs from the terminal, with a Qt application of the host's own.
namespace HostDialogs {

// Opens the working-parameters ("property") or the local data export ("export")
// dialog against the host directory, and waits for a job it started to end. SIGTERM,
// SIGINT and SIGHUP cancel the dialog and ask such a job to stop (waited for at most
// 15 s, not at all after a second signal); the plug-in is then stopped (VKTLibExit)
// and the job's summary printed as `vkthost export` prints it. 0 when the dialog could
// be shown and started no job; a job's own exit code (HostJobs::PrintJobEnd) when it
// started one; 1 (with `error`) without a display Qt can use, or when the plug-in
// could not start.
int OpenDialog(const std::string& dir, const std::string& which, const std::string& pluginPath,
               std::string& error);

// Renders the four dialogs at a known state to OUTDIR/4000.png … 4003.png; the
// offscreen platform unless QT_QPA_PLATFORM names another, which must be able to start.
int Screenshots(const std::string& dir, const std::string& outDir, const std::string& pluginPath,
                std::string& error);

}  // namespace HostDialogs
