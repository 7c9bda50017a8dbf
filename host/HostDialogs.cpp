#include "host/HostDialogs.h"

#include <QApplication>
#include <QWidget>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "host/HostDirectory.h"
#include "host/HostSession.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "platform/System.h"

namespace HostDialogs {

namespace {

constexpr int kPumpMs = 20;

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
    Application();
    HostSession session;
    if (!Start(dir, pluginPath, session, error)) return 1;
    if (which == "property") {
        session.Plugin().EditProperty();
    } else {
        session.Plugin().OutLocalData();
        // A job it started runs on behind its progress window, which closes at the end.
        while (AnyWindowShown()) {
            QApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(kPumpMs));
        }
    }
    return 0;
}

int Screenshots(const std::string& dir, const std::string& outDir, const std::string& pluginPath,
                std::string& error) {
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
