// vkthost: the command-line acquisition host.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "host/HostDialogs.h"
#include "host/HostDirectory.h"
#include "host/HostJobs.h"
#include "host/HostRun.h"
#include "host/Report.h"
#include "host/gui/HostGui.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"

namespace {

int Fail(const std::string& error) {
    std::fprintf(stderr, "vkthost: %s\n", error.c_str());
    return 1;
}

int InitCommand(const std::string& dir, bool demo, const HostDirectory::BackendOptions& backend) {
    std::string error;
    const std::string absolute = HostDirectory::Absolute(dir);
    if (!HostDirectory::Init(absolute, demo, backend, error)) return Fail(error);
    std::printf("host directory ready: %s\n", absolute.c_str());
    return 0;
}

int AddRtuCommand(const std::string& dir, const CRTUDef& def) {
    std::string error;
    if (!HostDirectory::Enter(dir, error) || !HostDirectory::CheckReady(error)) {
        return Fail(error);
    }
    if (!VktHost::AddRTU(def)) {
        const std::string cause = VktHost::LastDatabaseError();
        VktHost::CloseHost();
        return Fail("cannot store the RTU in " + HostDirectory::Absolute("VKTCOMM.MDB") + ": " +
                    cause.substr(0, cause.find('\n')));
    }
    VktHost::CloseHost();
    std::printf("RTU %d \"%s\" of type %d stored\n", def.m_nRTUID, def.m_strName.c_str(),
                def.m_nType);
    return 0;
}

int JobCommand(const HostJobs::Options& options) {
    std::string error;
    const int rc = HostJobs::Run(options, error);
    if (rc == 1) return Fail(error);
    return rc;
}

int RunCommand(const HostRun::Options& options) {
    HostRun::Summary summary;
    std::string error;
    if (HostRun::Run(options, summary, error) != 0) return Fail(error);
    HostRun::Print(summary);
    return HostRun::ExitCode(summary);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"vkthost: acquisition host for the wind-tower storage plug-in"};
    // "/tmp/x" is a path, not an option, on every system.
    app.allow_windows_style_options(false);
    app.require_subcommand(1);

    std::string initDir;
    bool demo = false;
    HostDirectory::BackendOptions backend;
    CLI::App* init = app.add_subcommand("init", "make DIR a host working directory");
    init->add_option("DIR", initDir)->required();
    init->add_flag("--demo", demo, "add three towers of type 100, one of 101 and one other RTU");
    init->add_option("--backend", backend.product, "sqlite (default) or postgresql")
        ->check(CLI::IsMember({"sqlite", "postgresql"}));
    init->add_option("--pg-host", backend.pgHost);
    init->add_option("--pg-port", backend.pgPort);
    init->add_option("--pg-database", backend.pgDatabase);

    std::string rtuDir;
    CRTUDef def;
    CLI::App* rtu = app.add_subcommand("rtu", "edit the RTU catalogue");
    rtu->require_subcommand(1);
    CLI::App* rtuAdd = rtu->add_subcommand("add", "add or replace an RTU");
    rtuAdd->add_option("DIR", rtuDir)->required();
    rtuAdd->add_option("--id", def.m_nRTUID)->required();
    rtuAdd->add_option("--name", def.m_strName)->required();
    rtuAdd->add_option("--type", def.m_nType)->required();
    rtuAdd->add_option("--remark", def.m_strRemark);

    HostRun::Options run;
    CLI::App* runCmd = app.add_subcommand("run", "load the plug-in and feed it frames");
    runCmd->add_option("DIR", run.dir)->required();
    runCmd->add_option("--frames", run.framesFile, "frames to acquire, JSON Lines");
    runCmd->add_option("--follow", run.followFile,
                       "frames appended to FILE (- for standard input) until SIGINT/SIGTERM");
    runCmd->add_option("--simulate", run.simulateSpan,
                       "simulated frames: last:2d | last:12h | \"FROM..TO\" | live[:SPEED]");
    runCmd->add_option("--now", run.now, "start the process clock at \"YYYY-MM-DD HH:MM:SS\"");
    runCmd->add_option("--drain", run.drainSeconds,
                       "at most this many seconds for the plug-in to store everything (600)");
    runCmd->add_option("--status", run.statusSeconds,
                       "print the plug-in's health figures this often while waiting");
    runCmd->add_option("--linger", run.lingerSeconds, "seconds to wait before stopping (5)");
    runCmd->add_option("--plugin", run.pluginPath, "the plug-in library");
    runCmd->add_option("--accepted", run.acceptedFile,
                       "append \"RTU time\" of every accepted frame to FILE");

    HostGui::Options gui;
    CLI::App* guiCmd = app.add_subcommand("gui", "the host with its main window");
    guiCmd->add_option("DIR", gui.dir)->required();
    guiCmd->add_option("--frames", gui.framesFile, "frames to acquire, JSON Lines");
    guiCmd->add_option("--follow", gui.followFile, "frames appended to FILE");
    guiCmd->add_option("--simulate", gui.simulateSpan, "last:2d | \"FROM..TO\" | live[:SPEED]");
    guiCmd->add_option("--now", gui.now, "start the process clock at \"YYYY-MM-DD HH:MM:SS\"");
    guiCmd->add_option("--plugin", gui.pluginPath, "the plug-in library");
    guiCmd->add_option("--rtu", gui.selectRtu, "the tower charted at start");
    guiCmd->add_option("--screenshot", gui.screenshot, "PNG of the window at --quit-after");
    guiCmd->add_option("--quit-after", gui.quitAfter, "close the window after SECONDS");

    // The batch jobs, with the same options each.
    HostJobs::Options exportJob, rainJob;
    exportJob.kind = CPluginJobs::kExport;
    rainJob.kind = CPluginJobs::kRainfall;
    auto addJobOptions = [](CLI::App* command, HostJobs::Options& job) {
        command->add_option("DIR", job.dir)->required();
        command->add_option("--stations", job.stations, "RTU numbers: 12,13 or all")->required();
        command->add_option("--from", job.from, "start \"YYYY-MM-DD HH:MM\"")->required();
        command->add_option("--to", job.to, "end \"YYYY-MM-DD HH:MM\"")->required();
        command->add_option("--plugin", job.pluginPath, "the plug-in library");
    };
    CLI::App* exportCmd =
        app.add_subcommand("export", "copy station data of a time range into the backend");
    addJobOptions(exportCmd, exportJob);
    CLI::App* rainCmd = app.add_subcommand(
        "recalc-rain", "recompute the hourly rainfall of the backend for a time range");
    addJobOptions(rainCmd, rainJob);

    std::string dialogDir, dialogWhich, dialogPlugin;
    CLI::App* dialogCmd = app.add_subcommand("dialog", "open one of the plug-in's dialogs");
    dialogCmd->add_option("DIR", dialogDir)->required();
    dialogCmd->add_option("WHICH", dialogWhich, "property or export")->required();
    dialogCmd->add_option("--plugin", dialogPlugin, "the plug-in library");
    std::string shotsDir, shotsOut, shotsPlugin;
    CLI::App* shotsCmd =
        app.add_subcommand("screenshots", "render the plug-in's dialogs to PNG files");
    shotsCmd->add_option("DIR", shotsDir)->required();
    shotsCmd->add_option("OUTDIR", shotsOut)->required();
    shotsCmd->add_option("--plugin", shotsPlugin, "the plug-in library");

    std::string reportDir;
    CLI::App* report = app.add_subcommand("report", "print what the plug-in stored under DIR");
    report->add_option("DIR", reportDir)->required();

    CLI11_PARSE(app, argc, argv);

    if (init->parsed()) return InitCommand(initDir, demo, backend);
    if (rtuAdd->parsed()) {
        def.m_nID = def.m_nRTUID;
        return AddRtuCommand(rtuDir, def);
    }
    if (runCmd->parsed()) return RunCommand(run);
    if (guiCmd->parsed()) {
        std::string error;
        const int rc = HostGui::Run(gui, error);
        return rc == 0 || error.empty() ? rc : Fail(error);
    }
    if (exportCmd->parsed()) return JobCommand(exportJob);
    if (dialogCmd->parsed() || shotsCmd->parsed()) {
        std::string error;
        const int rc = dialogCmd->parsed()
                           ? HostDialogs::OpenDialog(dialogDir, dialogWhich, dialogPlugin, error)
                           : HostDialogs::Screenshots(shotsDir, shotsOut, shotsPlugin, error);
        return rc == 0 ? 0 : Fail(error);
    }
    if (rainCmd->parsed()) return JobCommand(rainJob);
    if (report->parsed()) return Report::Print(reportDir);
    return 1;
}
