// vkthost: the command-line acquisition host.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "host/Availability.h"
#include "host/ExitCode.h"
#include "host/HostDialogs.h"
#include "host/HostDirectory.h"
#include "host/HostJobs.h"
#include "host/HostRefill.h"
#include "host/HostRun.h"
#include "host/Report.h"
#include "host/RtuCatalogue.h"
#include "host/Settings.h"
#include "host/SourceConfig.h"
#include "host/gui/HostGui.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "model/DataIds.h"

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
    command->add_flag("--sources", options.configured,
                      "every logger of DIR/sources.json (vkthost source add), continuously; "
                      "a change of the file is taken at the next pass");
    command
        ->add_option("--mqtt", options.mqttAddress,
                     "frames published to this broker, one frame (the --frames form) a "
                     "message, QoS 1 in a persistent session")
        ->type_name("HOST:PORT");
    command->add_option("--topic", options.mqtt.topic,
                        "the topic (filter) to subscribe, with --mqtt");
    command->add_option("--client-id", options.mqtt.clientId,
                        "the fixed client id the broker keeps the session by "
                        "(vkthost-HOSTNAME-DIRNAME)");
    command->add_option("--user", options.mqtt.user, "the broker's login, with --password-file");
    command->add_option("--password-file", options.mqttPasswordFile,
                        "the broker's password from the file's first line (- for standard input)");
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

// One command of the host: its place on the command line and what it runs. Each
// command's options live in the closure of its run.
struct Command {
    CLI::App* app;
    std::function<int()> run;
};
using Commands = std::vector<Command>;

// The data ids a frame's items carry: what each is and the column it is stored in.
int PrintDataIds() {
    std::printf("%-6s %-6s %-12s %s\n", "ID", "UNIT", "COLUMN", "NAME");
    for (const DataIdInfo& info : DataIds()) {
        std::printf("%-6d %-6s %-12s %s\n", info.id, info.unit.c_str(),
                    info.column.empty() ? "(not stored)" : info.column.c_str(), info.name.c_str());
    }
    std::printf(
        "An item's sensor key is RTU x 100000 + data id; ids from 9000 up are hourly values. An\n"
        "item of kind 8 with id 9300 ... 9306 carries the time of the hour's extreme, stored in\n"
        "V1MAXTM ... V7MAXTM.\n");
    return 0;
}

void AddHelp(CLI::App& app, Commands& commands) {
    auto topic = std::make_shared<std::string>();
    CLI::App* help = app.add_subcommand(
        "help", "print this help, or that of COMMAND; help data-ids lists the data ids");
    help->add_option("COMMAND", *topic);
    commands.push_back(
        {help, [&app, topic] {
             // The help of the program (or of the command asked about),
             // not of "help".
             const CLI::App* shown = &app;
             std::string usage = app.get_name();
             if (*topic == "data-ids") return PrintDataIds();
             if (!topic->empty()) {
                 try {
                     shown = app.get_subcommand(*topic);
                 } catch (const CLI::OptionNotFound&) {
                     return Fail("no command " + *topic + " (vkthost help lists them)");
                 }
                 usage += " " + *topic;
             }
             std::printf("%s", shown->get_formatter()
                                   ->make_help(shown, usage, CLI::AppFormatMode::Normal)
                                   .c_str());
             return 0;
         }});
}

void AddInit(CLI::App& app, Commands& commands) {
    struct Args {
        std::string dir;
        bool demo = false;
        HostDirectory::BackendOptions backend;
        InitLogin login;
    };
    auto args = std::make_shared<Args>();
    CLI::App* init = app.add_subcommand("init", "make DIR a host working directory");
    init->add_option("DIR", args->dir)->required();
    init->add_flag("--demo", args->demo,
                   "add three towers of type 100, one of 101 and one other RTU");
    HostDirectory::BackendOptions& backend = args->backend;
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
    init->add_option("--pg-user", args->login.user, "backend login name, into WPDB.ini");
    init->add_option("--pg-password-file", args->login.passwordFile,
                     "backend password from the file's first line (- for standard input), "
                     "into WPDB.ini");
    commands.push_back(
        {init, [args] { return InitCommand(args->dir, args->demo, args->backend, args->login); }});
}

void AddSettings(CLI::App& app, Commands& commands) {
    auto settings = std::make_shared<Settings::Options>();
    CLI::App* command = app.add_subcommand(
        "settings", "list the plug-in's settings (DIR/WPDB.ini), or change them: KEY=VALUE ...");
    command->add_option("DIR", settings->dir)->required();
    command->add_option("KEY=VALUE", settings->assignments,
                        "SECTION.KEY=VALUE, e.g. DATABASE.USER=fd TXT.DIR=/srv/iso");
    command->add_option("--password-file", settings->passwordFile,
                        "[DATABASE] PASSWORD from the file's first line (- for standard input)");
    commands.push_back({command, [settings] { return Settings::Command(*settings); }});
}

void AddRtu(CLI::App& app, Commands& commands) {
    struct Args {
        std::string dir;
        CRTUDef def;
        bool replace = false;
        int removeId = 0;
    };
    auto args = std::make_shared<Args>();
    CLI::App* rtu = app.add_subcommand("rtu", "list and edit the RTU catalogue");
    rtu->require_subcommand(1);
    CLI::App* list =
        rtu->add_subcommand("list", "list the RTUs: id, name, type, the type's meaning, remark");
    list->add_option("DIR", args->dir)->required();
    CLI::App* add = rtu->add_subcommand("add", "add an RTU (--replace: or replace it)");
    add->add_option("DIR", args->dir)->required();
    add->add_option("--id", args->def.m_nRTUID, "RTU number, above 0")->required();
    add->add_option("--name", args->def.m_strName)->required();
    add->add_option("--type", args->def.m_nType, "100 wind tower, 101 second kind, 102 rain gauge")
        ->required();
    add->add_option("--remark", args->def.m_strRemark);
    add->add_flag("--replace", args->replace, "replace an RTU with the same id");
    CLI::App* remove = rtu->add_subcommand("remove", "remove an RTU");
    remove->add_option("DIR", args->dir)->required();
    remove->add_option("--id", args->removeId)->required();
    // A command of the RTU catalogue: its exit code, its refusal on the error output.
    auto answer = [](int rc, const std::string& error) { return rc == 0 ? 0 : Fail(error); };
    commands.push_back({list, [args, answer] {
                            std::string error;
                            return answer(RtuCatalogue::List(args->dir, error), error);
                        }});
    commands.push_back(
        {add, [args, answer] {
             std::string error;
             args->def.m_nID = args->def.m_nRTUID;
             return answer(RtuCatalogue::Add(args->dir, args->def, args->replace, error), error);
         }});
    commands.push_back({remove, [args, answer] {
                            std::string error;
                            return answer(RtuCatalogue::Remove(args->dir, args->removeId, error),
                                          error);
                        }});
}

void AddRun(CLI::App& app, Commands& commands) {
    auto run = std::make_shared<HostRun::Options>();
    CLI::App* command = app.add_subcommand("run", "load the plug-in and feed it frames");
    AddFrameSource(command, *run,
                   "frames appended to FILE (- for standard input) until SIGINT/SIGTERM/SIGHUP; "
                   "a restart goes on after the last frame accepted "
                   "(DIR/follow-position.json), and a rotation by rename or copy-truncate is "
                   "followed");
    command->add_option("--drain", run->drainSeconds,
                        "at most this many seconds for the plug-in to store everything (600); "
                        "a continuous run waits for the station files, not for a backend "
                        "that is away");
    command->add_option("--status", run->statusSeconds,
                        "print the plug-in's health figures this often while waiting");
    command->add_option("--linger", run->lingerSeconds, "seconds to wait before stopping (5)");
    command->add_option("--accepted", run->acceptedFile,
                        "append \"RTU time\" of every accepted frame to FILE");
    commands.push_back({command, [run] { return RunCommand(*run); }});
}

void AddGui(CLI::App& app, Commands& commands) {
    auto gui = std::make_shared<HostGui::Options>();
    CLI::App* command = app.add_subcommand("gui", "the host with its main window");
    AddFrameSource(command, *gui, "frames appended to FILE (- for standard input)");
    command->add_option("--rtu", gui->selectRtu, "the tower charted at start");
    command->add_option("--screenshot", gui->screenshot, "PNG of the window at --quit-after");
    command->add_option("--quit-after", gui->quitAfter, "close the window after SECONDS");
    commands.push_back({command, [gui] {
                            std::string error;
                            const int rc = HostGui::Run(*gui, error);
                            return rc == 0 || error.empty() ? rc : Fail(error);
                        }});
}

// The batch jobs, with the same options each.
void AddJob(CLI::App& app, Commands& commands, int kind, const char* name,
            const char* description) {
    auto job = std::make_shared<HostJobs::Options>();
    job->kind = kind;
    CLI::App* command = app.add_subcommand(name, description);
    command->add_option("DIR", job->dir)->required();
    command
        ->add_option("--stations", job->stations, "type-100 towers: \"12,13\", \"12, 13\" or all")
        ->required();
    command->add_option("--from", job->from, "start \"YYYY-MM-DD HH:MM[:SS]\"")->required();
    command->add_option("--to", job->to, "end \"YYYY-MM-DD HH:MM[:SS]\"")->required();
    command->add_option("--plugin", job->pluginPath, "the plug-in library");
    commands.push_back({command, [job] { return JobCommand(*job); }});
}

void AddJobs(CLI::App& app, Commands& commands) {
    AddJob(app, commands, CPluginJobs::kExport, "export",
           "copy station data of a time range into the backend");
    AddJob(app, commands, CPluginJobs::kRainfall, "recalc-rain",
           "recompute the hourly rainfall of the backend for a time range");
}

void AddDialogs(CLI::App& app, Commands& commands) {
    struct Args {
        std::string dir, which, out, plugin;
    };
    auto args = std::make_shared<Args>();
    CLI::App* dialog = app.add_subcommand("dialog", "open one of the plug-in's dialogs");
    dialog->add_option("DIR", args->dir)->required();
    dialog->add_option("WHICH", args->which, "property or export")->required();
    dialog->add_option("--plugin", args->plugin, "the plug-in library");
    CLI::App* shots =
        app.add_subcommand("screenshots", "render the plug-in's dialogs to PNG files");
    shots->add_option("DIR", args->dir)->required();
    shots->add_option("OUTDIR", args->out)->required();
    shots->add_option("--plugin", args->plugin, "the plug-in library");
    commands.push_back({dialog, [args] {
                            std::string error;
                            return HostDialogs::OpenDialog(args->dir, args->which, args->plugin,
                                                           error) == 0
                                       ? 0
                                       : Fail(error);
                        }});
    commands.push_back({shots, [args] {
                            std::string error;
                            return HostDialogs::Screenshots(args->dir, args->out, args->plugin,
                                                            error) == 0
                                       ? 0
                                       : Fail(error);
                        }});
}

void AddRefill(CLI::App& app, Commands& commands) {
    auto refill = std::make_shared<HostRefill::Options>();
    CLI::App* command = app.add_subcommand(
        "refill", "copy back into the backend what it lacks, the rows it refused among them");
    command->add_option("DIR", refill->dir)->required();
    command->add_option("--drain", refill->drainSeconds,
                        "at most this many seconds for the refill, a backend away included");
    command->add_option("--plugin", refill->pluginPath, "the plug-in library");
    commands.push_back({command, [refill] { return HostRefill::Command(*refill); }});
}

void AddSource(CLI::App& app, Commands& commands) {
    struct Args {
        SourceConfig::AddOptions add;
        std::string kind, target;
    };
    auto args = std::make_shared<Args>();
    CLI::App* source =
        app.add_subcommand("source", "the tower loggers the host reads itself (DIR/sources.json)");
    source->require_subcommand(1);
    CLI::App* add = source->add_subcommand(
        "add",
        "add (or replace) RTU's logger: modbus HOST:PORT --unit N --map FILE, or table "
        "FILE --map FILE");
    add->add_option("DIR", args->add.dir)->required();
    add->add_option("RTU", args->add.entry.rtu)->required();
    add->add_option("KIND", args->kind, "modbus or table")
        ->required()
        ->check(CLI::IsMember({"modbus", "table"}));
    add->add_option("TARGET", args->target, "HOST:PORT of the device, or the table file")
        ->required();
    add->add_option("--unit", args->add.entry.unit, "the device's unit id (1)");
    add->add_option("--map", args->add.entry.map,
                    "CSV: id,area,address,type,order,scale,offset,kind (modbus) or "
                    "id,column,scale,offset,kind (table)")
        ->required();
    add->add_option("--every", args->add.every, "poll at every mark this far apart (10m)");
    add->add_option("--offset", args->add.offset, "this long after the mark (20s)");
    add->add_option("--timeout", args->add.timeout,
                    "a request not answered in this long failed (3s)");
    auto dir = std::make_shared<std::string>();
    auto rtu = std::make_shared<int>(0);
    CLI::App* list = source->add_subcommand("list", "list the configured loggers");
    list->add_option("DIR", *dir)->required();
    CLI::App* check = source->add_subcommand(
        "check", "read RTU's logger once now and print the frame it gives, as a --frames line");
    CLI::App* remove = source->add_subcommand("remove", "remove RTU's logger");
    for (CLI::App* one : {check, remove}) {
        one->add_option("DIR", *dir)->required();
        one->add_option("RTU", *rtu)->required();
    }
    commands.push_back({add, [args] {
                            CSourceEntry& entry = args->add.entry;
                            const bool modbus = args->kind == "modbus";
                            entry.kind =
                                modbus ? CSourceEntry::Kind::Modbus : CSourceEntry::Kind::Table;
                            (modbus ? entry.address : entry.file) = args->target;
                            return SourceConfig::Add(args->add);
                        }});
    commands.push_back({list, [dir] { return SourceConfig::List(*dir); }});
    commands.push_back({check, [dir, rtu] { return SourceConfig::Check(*dir, *rtu); }});
    commands.push_back({remove, [dir, rtu] { return SourceConfig::Remove(*dir, *rtu); }});
}

void AddReport(CLI::App& app, Commands& commands) {
    struct Args {
        Availability::Options availability;
        bool wanted = false;
    };
    auto args = std::make_shared<Args>();
    CLI::App* command = app.add_subcommand("report", "print what the plug-in stored under DIR");
    command->add_option("DIR", args->availability.dir)->required();
    command->add_flag("--availability", args->wanted,
                      "per tower and day: the ten-minute marks expected and present in its "
                      "station file and the backend, month totals and the gaps");
    CLI::Option* from = command->add_option("--from", args->availability.from,
                                            "with --availability: \"YYYY-MM-DD HH:MM[:SS]\" "
                                            "(30 days before --to)");
    CLI::Option* to =
        command->add_option("--to", args->availability.to, "with --availability: the end (now)");
    from->needs("--availability");
    to->needs("--availability");
    commands.push_back({command, [args] {
                            return args->wanted ? Availability::Print(args->availability)
                                                : Report::Print(args->availability.dir);
                        }});
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"vkthost: acquisition host for the wind-tower storage plug-in", "vkthost"};
    // "/tmp/x" is a path, not an option, on every system.
    app.allow_windows_style_options(false);
    app.require_subcommand(1);
    app.footer(kExitCodesHelp);
    Commands commands;
    for (auto add : {AddHelp, AddInit, AddSettings, AddRtu, AddSource, AddRun, AddGui, AddJobs,
                     AddDialogs, AddRefill, AddReport}) {
        add(app, commands);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help is no error; every other parse error is a usage error.
        return app.exit(e) == 0 ? 0 : 1;
    }
    for (const Command& command : commands) {
        if (command.app->parsed()) return command.run();
    }
    return 1;
}
