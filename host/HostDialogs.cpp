#include "host/HostDialogs.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "host/HostCommand.h"
#include "host/HostDirectory.h"
#include "host/HostDisplay.h"
#include "host/HostJobs.h"
#include "host/StopSignals.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "platform/System.h"

namespace HostDialogs {

namespace {

constexpr int kPumpMs = 20;
// At most this long, after a stop signal, for a job the dialog started to end.
constexpr int kJobStopSeconds = 15;

// The host's user-interface thread: one Qt application for the command, kept to the
// end of the process (its end at exit would run after objects it still uses).
QApplication& Application() {
    static int argc = 1;
    static char name[] = "vkthost";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

bool AnyWindowShown() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible()) return true;
    }
    return false;
}

// Closes the dialogs (a modal one cancelled) and asks a running job to stop.
void CloseDialogsAndStopJobs() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(widget);
        if (!widget->isVisible()) continue;
        if (dialog && dialog->isModal()) {
            dialog->reject();
        } else if (!dialog) {
            widget->close();
        }
    }
    if (CPluginJobs* jobs = VktHost::PluginJobs()) {
        for (int kind : {CPluginJobs::kExport, CPluginJobs::kRainfall}) {
            if (jobs->Summary(kind).bBusy) jobs->RequestStop(kind);
        }
    }
}

bool Start(CHostCommand& command, const std::string& dir, std::string& error) {
    return command.Enter(dir, "", error) && command.Prepare(error) && command.Start(nullptr, error);
}

// A stop signal cancels the dialog, asks a job it started to stop and ends the command
// after VKTLibExit; a second one does not wait for the job.
struct DialogStop {
    CStopSignals& stopSignals;
    std::string reason;  // the first signal's name
    std::chrono::steady_clock::time_point waitUntil = std::chrono::steady_clock::time_point::max();
    QSocketNotifier notifier{stopSignals.ReadFd(), QSocketNotifier::Read};

    explicit DialogStop(CStopSignals& taken) : stopSignals(taken) {
        notifier.setEnabled(stopSignals.ReadFd() >= 0);
        QObject::connect(&notifier, &QSocketNotifier::activated, [this] { Arrived(); });
    }
    void Arrived() {
        for (int signal : stopSignals.Take()) {
            if (reason.empty()) reason = CStopSignals::Name(signal);
        }
        CloseDialogsAndStopJobs();
        const auto wait = std::chrono::seconds(stopSignals.Count() > 1 ? 0 : kJobStopSeconds);
        waitUntil = std::min(waitUntil, std::chrono::steady_clock::now() + wait);
    }
};

// The export dialog, and the jobs it started until they end (or until `stop` gives up
// on them): how each ended.
std::vector<HostJobs::JobEnd> RunExportDialog(PluginLoader& plugin, const DialogStop& stop) {
    CPluginJobs* jobs = VktHost::PluginJobs();
    const int kinds[] = {CPluginJobs::kExport, CPluginJobs::kRainfall};
    std::vector<long> before;
    for (int kind : kinds) before.push_back(jobs ? jobs->LastOrder(kind).nNumber : 0);
    plugin.OutLocalData();
    const auto closed = std::chrono::steady_clock::now();
    std::vector<int> started;
    for (size_t i = 0; i < before.size(); ++i) {
        if (jobs && jobs->LastOrder(kinds[i]).nNumber != before[i]) started.push_back(kinds[i]);
    }
    auto busy = [&] {
        return std::any_of(started.begin(), started.end(),
                           [&](int kind) { return jobs->Summary(kind).bBusy; });
    };
    // A job it started runs on behind its progress window, which closes at the end.
    while ((AnyWindowShown() || busy()) && std::chrono::steady_clock::now() < stop.waitUntil) {
        QApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(kPumpMs));
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - closed).count();
    std::vector<HostJobs::JobEnd> ends;
    for (int kind : started) {
        ends.push_back(HostJobs::TakeJobEnd(*jobs, kind, seconds, jobs->Summary(kind).bBusy));
    }
    return ends;
}

}  // namespace

int OpenDialog(const std::string& dir, const std::string& which, const std::string& pluginPath,
               std::string& error) {
    if (which != "property" && which != "export") {
        error = "the dialog is property or export: " + which;
        return 1;
    }
    if (!HostDisplay::Usable("", error)) return 1;
    Application();
    CHostCommand command("dialog", pluginPath);
    if (!Start(command, dir, error)) return 1;
    DialogStop stop(*command.StopSignals());
    std::vector<HostJobs::JobEnd> ends;
    if (which == "property") {
        command.Plugin().EditProperty();
    } else {
        ends = RunExportDialog(command.Plugin(), stop);
    }
    command.Stop();
    if (!stop.reason.empty()) {
        std::printf("vkthost dialog: %s: dialog closed; plug-in stopped (VKTLibExit)\n",
                    stop.reason.c_str());
        std::fflush(stdout);
    }
    // What the job did, as `vkthost export` tells it, and its exit code.
    int code = 0;
    for (const HostJobs::JobEnd& end : ends) code = std::max(code, HostJobs::PrintJobEnd(end));
    return code;
}

int Screenshots(const std::string& dir, const std::string& outDir, const std::string& pluginPath,
                std::string& error) {
    // Without a platform named, offscreen: no display needed.
    if (!HostDisplay::Usable("offscreen", error)) return 1;
    System::SetEnvironment("QT_QPA_PLATFORM", "offscreen", false);
    const std::string out = HostDirectory::Absolute(outDir);
    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    Application();
    CHostCommand command("screenshots", pluginPath);
    if (!Start(command, dir, error)) return 1;
    CPluginJobs* jobs = VktHost::PluginJobs();
    if (!jobs || !jobs->RenderDialogs(out)) {
        error = "cannot render the dialogs into " + out;
        return 1;
    }
    return 0;
}

}  // namespace HostDialogs
