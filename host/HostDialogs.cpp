#include "host/HostDialogs.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "host/HostDirectory.h"
#include "host/HostDisplay.h"
#include "host/HostSession.h"
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

bool Start(const std::string& dir, const std::string& pluginPath, HostSession& session,
           std::string& error) {
    const std::string plugin =
        HostDirectory::Absolute(pluginPath.empty() ? PluginLoader::DefaultPath() : pluginPath);
    return HostDirectory::Enter(dir, error) && session.Prepare(error) &&
           session.Start(plugin, error);
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
    // A stop signal cancels the dialog, asks a job it started to stop and ends the
    // command after VKTLibExit; a second one does not wait for the job.
    CStopSignals stopSignals;
    std::string stopReason;
    auto stopAt = std::chrono::steady_clock::time_point::max();
    QSocketNotifier notifier(stopSignals.ReadFd(), QSocketNotifier::Read);
    notifier.setEnabled(stopSignals.ReadFd() >= 0);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        for (int signal : stopSignals.Take()) {
            if (stopReason.empty()) stopReason = CStopSignals::Name(signal);
        }
        CloseDialogsAndStopJobs();
        stopAt = std::min(stopAt, std::chrono::steady_clock::now() +
                                      std::chrono::seconds(stopSignals.Count() > 1 ? 0 : kJobStopSeconds));
    });
    HostSession session;
    if (!Start(dir, pluginPath, session, error)) return 1;
    if (which == "property") {
        session.Plugin().EditProperty();
    } else {
        session.Plugin().OutLocalData();
        // A job it started runs on behind its progress window, which closes at the end.
        while (AnyWindowShown() && std::chrono::steady_clock::now() < stopAt) {
            QApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(kPumpMs));
        }
    }
    session.Stop();
    if (!stopReason.empty()) {
        std::printf("vkthost dialog: %s: dialog closed; plug-in stopped (VKTLibExit)\n",
                    stopReason.c_str());
        std::fflush(stdout);
    }
    return 0;
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
    HostSession session;
    if (!Start(dir, pluginPath, session, error)) return 1;
    CPluginJobs* jobs = VktHost::PluginJobs();
    if (!jobs || !jobs->RenderDialogs(out)) {
        error = "cannot render the dialogs into " + out;
        return 1;
    }
    return 0;
}

}  // namespace HostDialogs
