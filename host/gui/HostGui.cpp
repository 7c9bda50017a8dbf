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

#include "host/FrameFile.h"
#include "host/HostDirectory.h"
#include "host/HostDisplay.h"
#include "host/HostRun.h"
#include "host/HostSession.h"
#include "host/LiveSource.h"
#include "host/PluginLoader.h"
#include "host/Simulator.h"
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

constexpr int kPollMs = 200;

// The frames known at start (a file, a span) and the source of those still to come.
bool Sources(const Options& options, std::vector<CDataFrame>& frames,
             std::unique_ptr<CLiveSource>& live, std::string& error) {
    if (!options.framesFile.empty()) {
        FrameFile::Result read = FrameFile::Read(options.framesFile);
        if (!read.failure.empty()) {
            error = "--frames: " + read.failure;
            return false;
        }
        frames = std::move(read.frames);
    }
    if (!HostRun::OneContinuousSource(options.followFile, options.inboxDir, options.simulateSpan,
                                      error) ||
        !HostRun::OpenContinuousSource(options.followFile, options.inboxDir, live, error)) {
        return false;
    }
    if (options.simulateSpan.rfind("live", 0) == 0) {
        live = SimulateLive(options.simulateSpan, Simulator::CatalogueTowers(), error);
        return live != nullptr;
    }
    if (!options.simulateSpan.empty()) {
        auto range = Simulator::ParseSpan(options.simulateSpan, ProcessClock::Now(), error);
        if (!range) return false;
        auto made = Simulator::Simulate(Simulator::CatalogueTowers(), *range);
        frames.insert(frames.end(), made.begin(), made.end());
    }
    return true;
}

struct Counts {
    std::atomic<long> handed{0};
    std::atomic<long> accepted{0};
};

// Hands frames to the host's bookkeeping, the plug-in and the window until stopped. A
// live frame refused for now is offered again, and nothing after it meanwhile.
void Acquire(const std::vector<CDataFrame>& frames, CLiveSource* live, PluginLoader& plugin,
             CHostWindow& window, const std::atomic<bool>& stop, Counts& counts) {
    auto handOver = [&](const CDataFrame& frame, bool again) {
        const bool known = again || VktHost::RecordAcquiredFrame(frame);
        if (!again) ++counts.handed;
        const bool accepted = plugin.SaveRTDB(frame) != 0;
        if (accepted) ++counts.accepted;
        if (!again) window.NoteFrame(frame);
        const std::string what =
            "RTU " + std::to_string(frame.m_nRTUID) + ", time " + frame.m_tTime.Format();
        if (accepted) return FrameOutcome{FrameFate::Accepted, ""};
        if (!known) {
            return FrameOutcome{FrameFate::RefusedForGood,
                                what + ": the RTU is not in the host catalogue"};
        }
        return FrameOutcome{FrameFate::RefusedForNow, what + ": the plug-in could not take it"};
    };
    for (const CDataFrame& frame : frames) {
        if (stop) return;
        handOver(frame, false);
    }
    if (!frames.empty()) {
        window.PostMessage("采集: 回放结束, " + std::to_string(counts.handed.load()) +
                           " 帧交给插件, 接受 " + std::to_string(counts.accepted.load()));
    }
    if (!live) return;
    CLiveFeed feed(*live, [&](const CDataFrame& frame, const std::string&, bool again) {
        return handOver(frame, again);
    });
    bool more = true;
    while (more && !stop) {
        std::vector<std::string> errors, notes;
        more = feed.Turn(kPollMs, errors, notes);
        for (const std::string& line : errors) window.PostMessage("frame input " + line);
        for (const std::string& note : notes) window.PostMessage("frame input: " + note);
    }
    live->KeepPosition();
    if (!more) window.PostMessage("采集: 输入结束");
}

// What the host acquires, for the message window.
QString SourceText(const Options& options, size_t frames) {
    QStringList parts;
    if (!options.framesFile.empty())
        parts << QString::fromUtf8("帧文件 ") + QString::fromStdString(options.framesFile);
    if (!options.simulateSpan.empty())
        parts << QString::fromUtf8("模拟 ") + QString::fromStdString(options.simulateSpan);
    if (!options.followFile.empty())
        parts << QString::fromUtf8("跟随 ") + QString::fromStdString(options.followFile);
    if (!options.inboxDir.empty())
        parts << QString::fromUtf8("投递目录 ") + QString::fromStdString(options.inboxDir);
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
    for (std::string* path :
         {&options.framesFile, &options.followFile, &options.inboxDir, &options.screenshot}) {
        *path = HostDirectory::InputPath(*path);
    }
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
// the plug-in's last word. 2 when a stop signal cut the wait.
int StoreAndStop(HostSession& session) {
    const HostRun::DrainEnd drained = Drain();
    CPluginHealth health;
    CPluginHealthSource* source = VktHost::PluginHealth();
    if (source) health = source->Health();
    PrintDrainEnd(drained, source ? &health : nullptr);
    session.Stop();
    std::printf("plug-in stopped (VKTLibExit)\n");
    CPluginHealth final;
    if (VktHost::FinalPluginHealth(final)) {
        for (const std::string& line :
             HostRun::HealthLines(final, "plug-in health after the stop:")) {
            std::printf("%s\n", line.c_str());
        }
    }
    std::fflush(stdout);
    return drained == HostRun::DrainEnd::Stopped ? 2 : 0;
}

}  // namespace

int Run(const Options& given, std::string& error) {
    if (!HostDisplay::Usable("", error)) return 1;
    const Options options = Resolved(given);
    const std::string pluginPath = HostDirectory::Absolute(
        options.pluginPath.empty() ? PluginLoader::DefaultPath() : options.pluginPath);
    if (!HostDirectory::Enter(options.dir, error)) return 1;
    if (!HostDirectory::PlaceClock(options.now, error)) return 1;
    int argc = 1;
    char name[] = "vkthost";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    // The process ends when its main window closes, not when the last window does:
    // a progress window of the plug-in may outlive it, or close without a close event.
    app.setQuitOnLastWindowClosed(false);
    HostSession session;
    if (!session.Prepare(error)) return 1;
    std::vector<CDataFrame> frames;
    std::unique_ptr<CLiveSource> live;
    if (!Sources(options, frames, live, error)) return 1;

    // From here on a stop signal stops the host cleanly, however early it comes.
    CStopSignals stopSignals;
    PluginLoader& plugin = session.Plugin();
    CHostWindow window({[&] { plugin.EditProperty(); }, [&] { plugin.OutLocalData(); },
                        [&] { plugin.CloseAccess(); }});
    VktHost::SetMessageWindow([&](const std::string& text) { window.PostMessage(text); });
    if (!session.Start(pluginPath, error)) {
        VktHost::SetMessageWindow(nullptr);
        return 1;
    }
    SayPluginStarted(window, plugin, pluginPath);
    QObject::connect(&window, &CHostWindow::closed, &app, &QApplication::quit);
    window.show();
    window.SelectRtu(options.selectRtu);
    std::string stopReason = "the window was closed";
    QSocketNotifier notifier(stopSignals.ReadFd(), QSocketNotifier::Read);
    CloseOnStopSignals(notifier, stopSignals, window, stopReason);

    window.AddMessage(QString::fromUtf8("采集开始: ") + SourceText(options, frames.size()));
    std::atomic<bool> stop{false};
    Counts counts;
    std::thread acquisition([&] { Acquire(frames, live.get(), plugin, window, stop, counts); });
    QuitAfter(options, window, stopReason);
    app.exec();
    stop = true;
    acquisition.join();
    // The plug-in's windows that are left (a progress window) go with the main window.
    QApplication::closeAllWindows();
    // What the plug-in says from now on goes to the terminal: the window is gone.
    VktHost::SetMessageWindow(nullptr);
    std::printf("vkthost gui: %s; acquisition stopped: %ld frames handed over, %ld accepted\n",
                stopReason.c_str(), counts.handed.load(), counts.accepted.load());
    std::fflush(stdout);
    return StoreAndStop(session);
}

}  // namespace HostGui
