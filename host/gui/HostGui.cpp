#include "host/gui/HostGui.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "host/Acquisition.h"
#include "host/HostCommand.h"
#include "host/HostDirectory.h"
#include "host/HostDisplay.h"
#include "host/HostRun.h"
#include "host/PluginLoader.h"
#include "host/StopSignals.h"
#include "host/gui/HostWindow.h"
#include "host/gui/TowerChart.h"
#include "hostlib/HostSide.h"
#include "hostlib/TowerTypes.h"
#include "hostlib/VktBase.h"
#include "platform/Clock.h"
#include "platform/System.h"

namespace HostGui {

namespace {

// At most this long, after the window closed, for the plug-in to store what it took.
constexpr double kDrainSeconds = 30.0;

// What the acquisition tells, in the message window; each frame to the window too.
class WindowReporter : public Acquisition::Reporter {
public:
    explicit WindowReporter(CHostWindow*& window) : m_window(window) {}

    void Skipped(const std::string& origin, const std::string& lineAndReason) override {
        Post("frame skipped: " + origin + " " + lineAndReason);
    }
    void Refused(const std::string& line) override { Post("frame refused: " + line); }
    void Note(const std::string& origin, const std::string& note) override {
        Post(origin + ": " + note);
    }
    void Offered(const CDataFrame& frame) override {
        if (m_window) m_window->NoteFrame(frame);
    }
    void ReplayEnded(const Acquisition::Counts& counts) override {
        Post("采集: 回放结束, " + std::to_string(counts.read) + " 帧交给插件, 接受 " +
             std::to_string(counts.accepted));
    }

private:
    // Lines told before the window is made (a bad line of --frames) wait for it.
    void Post(const std::string& line) {
        if (m_window) {
            m_window->PostMessage(line);
        } else {
            m_early.push_back(line);
        }
    }

public:
    // The lines told before the window was there, now that it is.
    void FlushEarly() {
        for (const std::string& line : m_early) m_window->PostMessage(line);
        m_early.clear();
    }

private:
    CHostWindow*& m_window;
    std::vector<std::string> m_early;
};

// What the host acquires, for the message window.
QString SourceText(const Options& options, long frames) {
    QStringList parts;
    if (!options.framesFile.empty())
        parts << QString::fromUtf8("帧文件 ") + QString::fromStdString(options.framesFile);
    if (!options.simulateSpan.empty())
        parts << QString::fromUtf8("模拟 ") + QString::fromStdString(options.simulateSpan);
    if (!options.followFile.empty())
        parts << QString::fromUtf8("跟随 ") + QString::fromStdString(options.followFile);
    if (!options.inboxDir.empty())
        parts << QString::fromUtf8("投递目录 ") + QString::fromStdString(options.inboxDir);
    if (options.configured) parts << QString::fromUtf8("配置的数据源 (sources.json)");
    if (!options.mqttAddress.empty())
        parts << QString::fromUtf8("MQTT ") + QString::fromStdString(options.mqttAddress);
    if (parts.isEmpty()) return QString::fromUtf8("没有帧来源");
    return parts.join(", ") +
           (frames > 0 ? QString::fromUtf8(", %1 帧待回放").arg(frames) : QString());
}

// Waits for the plug-in to store what it took, at most kDrainSeconds; a further stop
// signal cuts the wait short.
HostRun::DrainEnd Drain() {
    return HostRun::WaitUntilDrained(kDrainSeconds, 0, CStopSignals::Arrived() + 1);
}

void PrintDrainEnd(HostRun::DrainEnd end, const CPluginHealth* health) {
    switch (end) {
        case HostRun::DrainEnd::Stored:
            std::printf("the plug-in stored everything it accepted\n");
            break;
        case HostRun::DrainEnd::BackendAway:
            std::printf(
                "the backend does not answer: %ld records wait for it and %ld refill ranges are "
                "pending; they are copied from the station files when it answers\n",
                health ? health->backend.nQueued : 0L, health ? health->nRefillPending : 0L);
            break;
        case HostRun::DrainEnd::TimedOut:
            std::printf(
                "the plug-in had not stored everything within %.0f s; the rest is stored "
                "at the next start\n",
                kDrainSeconds);
            break;
        case HostRun::DrainEnd::Stopped:
            std::printf(
                "a second stop signal cut the wait; the rest is stored at the next start\n");
            break;
    }
}

Options Resolved(const Options& given) {
    Options options = given;
    static_cast<Acquisition::SourceOptions&>(options) = Acquisition::Resolved(given);
    options.screenshot = HostDirectory::InputPath(options.screenshot);
    return options;
}

void SayPluginStarted(CHostWindow& window, PluginLoader& plugin, const std::string& pluginPath) {
    int type = 0;
    std::string pluginName, description;
    plugin.GetExtDBInfo(type, pluginName, description);
    window.AddMessage(
        QString::fromUtf8("插件已启动: %1 (%2), %3; 主机目录 %4")
            .arg(QString::fromStdString(pluginName), QString::fromStdString(description),
                 QString::fromStdString(std::filesystem::path(pluginPath).filename().string()),
                 QString::fromStdString(System::CurrentDirectory())));
}

// The first stop signal closes the window as its close button would; a second one
// closes it without waiting for jobs.
void CloseOnStopSignals(QSocketNotifier& notifier, CStopSignals& stopSignals, CHostWindow& window,
                        std::string& stopReason) {
    notifier.setEnabled(stopSignals.ReadFd() >= 0);
    QObject::connect(&notifier, &QSocketNotifier::activated, &window, [&] {
        const std::vector<int> taken = stopSignals.Take();
        int number = stopSignals.Count() - static_cast<int>(taken.size());
        for (int signal : taken) {
            const std::string signalName = CStopSignals::Name(signal);
            if (++number == 1) {
                stopReason = signalName;
                window.AddMessage(QString::fromUtf8("收到 %1: 停止采集, 关闭窗口")
                                      .arg(QString::fromStdString(signalName)),
                                  true);
                window.CloseWithoutAsking();
            } else {
                window.CloseWithoutAsking(true);  // the second one does not wait for jobs
            }
        }
    });
}

// --quit-after: the window, shown as it is then (and saved as a picture), closes.
void QuitAfter(const Options& options, CHostWindow& window, std::string& stopReason) {
    if (options.quitAfter <= 0) return;
    QTimer::singleShot(static_cast<int>(options.quitAfter * 1000), &window, [&] {
        window.Chart().ReloadAndWait();
        window.Refresh();
        if (!options.screenshot.empty())
            window.grab().save(QString::fromStdString(options.screenshot));
        stopReason = "--quit-after";
        window.CloseWithoutAsking();
    });
}

// What was acquired is stored before the plug-in stops, as the terminal host does; then
// the plug-in's last word and the exit code of the run's table.
int StoreAndStop(CHostCommand& command, HostRun::Summary& summary) {
    summary.drainEnd = Drain();
    CPluginHealth health;
    CPluginHealthSource* source = VktHost::PluginHealth();
    if (source) health = source->Health();
    PrintDrainEnd(summary.drainEnd, source ? &health : nullptr);
    command.Stop();
    std::printf("plug-in stopped (VKTLibExit)\n");
    HostRun::TakeFinalHealth(summary);
    for (const std::string& line : summary.health) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return HostRun::ExitCode(summary);
}

}  // namespace

int Run(const Options& given, std::string& error) {
    if (!HostDisplay::Usable("", error)) return 1;
    const Options options = Resolved(given);
    CHostCommand command("gui", options.pluginPath);
    if (!command.Enter(options.dir, options.now, error)) return 1;
    int argc = 1;
    char name[] = "vkthost";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    // The process ends when its main window closes, not when the last window does:
    // a progress window of the plug-in may outlive it, or close without a close event.
    app.setQuitOnLastWindowClosed(false);
    CHostWindow* shown = nullptr;
    WindowReporter reporter(shown);
    Acquisition::CPipeline pipeline;
    if (!pipeline.OpenFiles(options, reporter, error)) return 1;
    if (!command.Prepare(error)) return 1;
    if (!pipeline.OpenWithCatalogue(options, error)) return 1;

    PluginLoader& plugin = command.Plugin();
    CHostWindow window({[&] { plugin.EditProperty(); }, [&] { plugin.OutLocalData(); },
                        [&] { plugin.CloseAccess(); }});
    if (!command.Start([&](const std::string& text) { window.PostMessage(text); }, error)) {
        return 1;
    }
    SayPluginStarted(window, plugin, command.PluginPath());
    QObject::connect(&window, &CHostWindow::closed, &app, &QApplication::quit);
    window.show();
    window.SelectRtu(options.selectRtu);
    std::string stopReason = "the window was closed";
    CStopSignals& stopSignals = *command.StopSignals();
    QSocketNotifier notifier(stopSignals.ReadFd(), QSocketNotifier::Read);
    CloseOnStopSignals(notifier, stopSignals, window, stopReason);

    shown = &window;
    reporter.FlushEarly();
    window.WatchSources([&pipeline] { return pipeline.Health(); });
    window.AddMessage(QString::fromUtf8("采集开始: ") +
                      SourceText(options, pipeline.Totals().read));
    std::atomic<bool> stop{false};
    std::thread acquisition([&] {
        pipeline.Run(plugin, reporter, [&stop] { return stop.load(); });
        if (!pipeline.Continuous()) return;
        window.PostMessage(stop ? "采集: 停止" : "采集: 输入结束");
    });
    QuitAfter(options, window, stopReason);
    app.exec();
    stop = true;
    acquisition.join();
    // The plug-in's windows that are left (a progress window) go with the main window.
    QApplication::closeAllWindows();
    // What the plug-in says from now on goes to the terminal: the window is gone.
    VktHost::SetMessageWindow(nullptr);
    const Acquisition::Counts counts = pipeline.Totals();
    std::printf("vkthost gui: %s; acquisition stopped: %ld frames handed over, %ld accepted\n",
                stopReason.c_str(), counts.read, counts.accepted);
    std::fflush(stdout);
    HostRun::Summary summary;
    summary.continuous = true;  // a window's host runs until it is closed
    return StoreAndStop(command, summary);
}

}  // namespace HostGui
