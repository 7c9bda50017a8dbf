// vkthost: the command-line acquisition host.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "host/HostDialogs.h"
#include "host/HostDirectory.h"
#include "host/HostJobs.h"
#include "host/HostRefill.h"
#include "host/HostRun.h"
#include "host/Report.h"
#include "host/RtuCatalogue.h"
#include "host/Settings.h"
#include "host/gui/HostGui.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"

namespace {

// The host directory, where the frames come from, the clock's start and the plug-in:
// what `run` and `gui` share.
template <typename Options>
void AddFrameSource(CLI::App* command, Options& options, const char* followHelp) {
    command->add_option("DIR", options.dir)->required();
    command->add_option("--frames", options.framesFile, "frames to acquire, JSON Lines");
    command->add_option("--follow", options.followFile, followHelp);
    command
        ->add_option("--inbox", options.inboxDir,
                     "frames files renamed into DIR2, each taken whole in name order (names "
                     "beginning with . or ending in .tmp are left alone): moved to "
                     "DIR2/done/ once all its frames were accepted, to DIR2/rejected/ with "
                     "NAME.why otherwise; until SIGINT/SIGTERM/SIGHUP")
        ->type_name("DIR2");
    command->add_option("--simulate", options.simulateSpan,
                        "simulated frames: last:2d | last:12h | \"FROM..TO\" | live[:SPEED]");
    command->add_option("--now", options.now,
                        "start the process clock at \"YYYY-MM-DD HH:MM[:SS]\"");
    command->add_option("--plugin", options.pluginPath, "the plug-in library");
}

int Fail(const std::string& error) {
    std::fprintf(stderr, "vkthost: %s\n", error.c_str());
    return 1;
}

// The backend login for WPDB.ini, checked before anything is made.
struct InitLogin {
    std::string user, passwordFile;
};

int InitCommand(const std::string& dir, bool demo, const HostDirectory::BackendOptions& backend,
                const InitLogin& login) {
    std::string error;
    std::vector<Settings::Change> changes;
    std::vector<std::string> errors;
    if (!login.user.empty()) Settings::Parse({"DATABASE.USER=" + login.user}, changes, errors);
    if (!errors.empty()) return Fail("--pg-user: " + errors.front());
    if (!login.passwordFile.empty()) {
        changes.emplace_back();
        if (!Settings::ReadPassword(login.passwordFile, changes.back(), error)) {
            return Fail("--pg-password-file: " + error);
        }
    }
    const std::string absolute = HostDirectory::Absolute(dir);
    if (!HostDirectory::Init(absolute, demo, backend, error)) return Fail(error);
    if (!changes.empty() && !Settings::Write(absolute, changes, error)) return Fail(error);
    std::printf("host directory ready: %s\n", absolute.c_str());
    return 0;
}

// A command of the RTU catalogue: its exit code, its refusal on the error output.
int RtuCommand(int rc, const std::string& error) {
    return rc == 0 ? 0 : Fail(error);
}

int JobCommand(const HostJobs::Options& options) {
    std::string error;
    const int rc = HostJobs::Run(options, error);
    if (rc == 1) return Fail(error);
    return rc;
}

// The same for every command, and what scripts test.
const char* const kExitCodes =
    "Exit codes of every command:\n"
    "  0  done: everything stored, copied or recalculated; for a continuous run stopped by\n"
    "     SIGINT/SIGTERM/SIGHUP also when backend rows wait safe in the station files\n"
    "  1  could not start, or a usage error (unknown option, missing source, bad time,\n"
    "     unknown RTU or RTU type)\n"
    "  2  stopped by the operator (Ctrl-C, SIGINT, SIGTERM or SIGHUP) before the end\n"
    "  3  ended with data still pending or dropped (not stored, copied or recalculated),\n"
    "     with rows the backend refused, or without the frame spool\n";

int RunCommand(const HostRun::Options& options) {
    HostRun::Summary summary;
    std::string error;
    if (HostRun::Run(options, summary, error) != 0) return Fail(error);
    HostRun::Print(summary);
    return HostRun::ExitCode(summary);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"vkthost: acquisition host for the wind-tower storage plug-in", "vkthost"};
    // "/tmp/x" is a path, not an option, on every system.
    app.allow_windows_style_options(false);
    app.require_subcommand(1);
    app.footer(kExitCodes);

    std::string helpTopic;
    CLI::App* help = app.add_subcommand("help", "print this help, or that of COMMAND");
    help->add_option("COMMAND", helpTopic);

    std::string initDir;
    bool demo = false;
    HostDirectory::BackendOptions backend;
    CLI::App* init = app.add_subcommand("init", "make DIR a host working directory");
    init->add_option("DIR", initDir)->required();
    init->add_flag("--demo", demo, "add three towers of type 100, one of 101 and one other RTU");
    init->add_option("--backend", backend.product, "sqlite (default) or postgresql")
        ->check(CLI::IsMember({"sqlite", "postgresql"}));
    init->add_option("--pg-host", backend.pgHost,
                     "server, or servers H1,H2 tried in order: the one that takes writes "
                     "is used (a primary and its standbys, all on --pg-port)");
    init->add_option("--pg-port", backend.pgPort);
    init->add_option("--pg-database", backend.pgDatabase);
    init->add_option("--pg-sslmode", backend.pgSslMode,
                     "TLS to the server: disable, allow, prefer, require, verify-ca or "
                     "verify-full (checks the server's certificate and its name)");
    init->add_option("--pg-sslrootcert", backend.pgSslRootCert,
                     "the certificate of the CA that signed the server's certificate")
        ->type_name("FILE");
    init->add_option("--pg-sslcert", backend.pgSslCert, "a client certificate, with --pg-sslkey")
        ->type_name("FILE");
    init->add_option("--pg-sslkey", backend.pgSslKey, "the client certificate's key (mode 0600)")
        ->type_name("FILE");
    init->add_flag("--replace-backend", backend.replace,
                   "on a host directory that exists: point its backend data source at the "
                   "backend given (nothing else changes; without it init changes nothing)");
    InitLogin login;
    init->add_option("--pg-user", login.user, "backend login name, into WPDB.ini");
    init->add_option("--pg-password-file", login.passwordFile,
                     "backend password from the file's first line (- for standard input), "
                     "into WPDB.ini");

    Settings::Options settings;
    CLI::App* settingsCmd = app.add_subcommand(
        "settings", "list the plug-in's settings (DIR/WPDB.ini), or change them: KEY=VALUE ...");
    settingsCmd->add_option("DIR", settings.dir)->required();
    settingsCmd->add_option("KEY=VALUE", settings.assignments,
                            "SECTION.KEY=VALUE, e.g. DATABASE.USER=fd TXT.DIR=/srv/iso");
    settingsCmd->add_option(
        "--password-file", settings.passwordFile,
        "[DATABASE] PASSWORD from the file's first line (- for standard input)");

    std::string rtuDir;
    CRTUDef def;
    bool replace = false;
    int removeId = 0;
    CLI::App* rtu = app.add_subcommand("rtu", "list and edit the RTU catalogue");
    rtu->require_subcommand(1);
    CLI::App* rtuList =
        rtu->add_subcommand("list", "list the RTUs: id, name, type, the type's meaning, remark");
    rtuList->add_option("DIR", rtuDir)->required();
    CLI::App* rtuAdd = rtu->add_subcommand("add", "add an RTU (--replace: or replace it)");
    rtuAdd->add_option("DIR", rtuDir)->required();
    rtuAdd->add_option("--id", def.m_nRTUID, "RTU number, above 0")->required();
    rtuAdd->add_option("--name", def.m_strName)->required();
    rtuAdd->add_option("--type", def.m_nType, "100 wind tower, 101 second kind, 102 rain gauge")
        ->required();
    rtuAdd->add_option("--remark", def.m_strRemark);
    rtuAdd->add_flag("--replace", replace, "replace an RTU with the same id");
    CLI::App* rtuRemove = rtu->add_subcommand("remove", "remove an RTU");
    rtuRemove->add_option("DIR", rtuDir)->required();
    rtuRemove->add_option("--id", removeId)->required();

    HostRun::Options run;
    CLI::App* runCmd = app.add_subcommand("run", "load the plug-in and feed it frames");
    AddFrameSource(runCmd, run,
                   "frames appended to FILE (- for standard input) until SIGINT/SIGTERM/SIGHUP; a "
                   "restart goes on after the last frame accepted (DIR/follow-position.json), "
                   "and a rotation by rename or copy-truncate is followed");
    runCmd->add_option("--drain", run.drainSeconds,
                       "at most this many seconds for the plug-in to store everything (600)");
    runCmd->add_option("--status", run.statusSeconds,
                       "print the plug-in's health figures this often while waiting");
    runCmd->add_option("--linger", run.lingerSeconds, "seconds to wait before stopping (5)");
    runCmd->add_option("--accepted", run.acceptedFile,
                       "append \"RTU time\" of every accepted frame to FILE");

    HostGui::Options gui;
    CLI::App* guiCmd = app.add_subcommand("gui", "the host with its main window");
    AddFrameSource(guiCmd, gui, "frames appended to FILE (- for standard input)");
    guiCmd->add_option("--rtu", gui.selectRtu, "the tower charted at start");
    guiCmd->add_option("--screenshot", gui.screenshot, "PNG of the window at --quit-after");
    guiCmd->add_option("--quit-after", gui.quitAfter, "close the window after SECONDS");

    // The batch jobs, with the same options each.
    HostJobs::Options exportJob, rainJob;
    exportJob.kind = CPluginJobs::kExport;
    rainJob.kind = CPluginJobs::kRainfall;
    auto addJobOptions = [](CLI::App* command, HostJobs::Options& job) {
        command->add_option("DIR", job.dir)->required();
        command
            ->add_option("--stations", job.stations,
                         "type-100 towers: \"12,13\", \"12, 13\" or all")
            ->required();
        command->add_option("--from", job.from, "start \"YYYY-MM-DD HH:MM[:SS]\"")->required();
        command->add_option("--to", job.to, "end \"YYYY-MM-DD HH:MM[:SS]\"")->required();
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

    HostRefill::Options refill;
    CLI::App* refillCmd = app.add_subcommand(
        "refill", "copy back into the backend what it lacks, the rows it refused among them");
    refillCmd->add_option("DIR", refill.dir)->required();
    refillCmd->add_option("--drain", refill.drainSeconds,
                          "at most this many seconds for the refill, a backend away included");
    refillCmd->add_option("--plugin", refill.pluginPath, "the plug-in library");

    std::string reportDir;
    CLI::App* report = app.add_subcommand("report", "print what the plug-in stored under DIR");
    report->add_option("DIR", reportDir)->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help is no error; every other parse error is a usage error.
        return app.exit(e) == 0 ? 0 : 1;
    }

    if (help->parsed()) {
        // The help of the program (or of the command asked about), not of "help".
        const CLI::App* topic = &app;
        std::string usage = app.get_name();
        if (!helpTopic.empty()) {
            try {
                topic = app.get_subcommand(helpTopic);
            } catch (const CLI::OptionNotFound&) {
                return Fail("no command " + helpTopic + " (vkthost help lists them)");
            }
            usage += " " + helpTopic;
        }
        std::printf(
            "%s",
            topic->get_formatter()->make_help(topic, usage, CLI::AppFormatMode::Normal).c_str());
        return 0;
    }
    if (init->parsed()) return InitCommand(initDir, demo, backend, login);
    if (settingsCmd->parsed()) return Settings::Command(settings);
    std::string rtuError;
    if (rtuList->parsed()) return RtuCommand(RtuCatalogue::List(rtuDir, rtuError), rtuError);
    if (rtuAdd->parsed()) {
        def.m_nID = def.m_nRTUID;
        return RtuCommand(RtuCatalogue::Add(rtuDir, def, replace, rtuError), rtuError);
    }
    if (rtuRemove->parsed()) {
        return RtuCommand(RtuCatalogue::Remove(rtuDir, removeId, rtuError), rtuError);
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
    if (refillCmd->parsed()) return HostRefill::Command(refill);
    if (report->parsed()) return Report::Print(reportDir);
    return 1;
}
