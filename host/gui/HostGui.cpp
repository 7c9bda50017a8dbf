#include "host/gui/HostGui.h"

#include <QApplication>
#include <QTableWidget>
#include <QTimer>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "host/FrameFile.h"
#include "host/HostDirectory.h"
#include "host/HostRun.h"
#include "host/HostSession.h"
#include "host/LiveSource.h"
#include "host/PluginLoader.h"
#include "host/Simulator.h"
#include "host/gui/HostWindow.h"
#include "host/gui/TowerChart.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "platform/Clock.h"

namespace HostGui {

namespace {

// At most this long, after the window closes, for the plug-in to store what it took.
constexpr double kDrainSeconds = 30.0;

constexpr int kPollMs = 200;

bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

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
    if (!options.followFile.empty()) {
        live = FollowFrames(options.followFile, error);
        if (!live) return false;
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

// Hands frames to the host's bookkeeping, the plug-in and the window until stopped.
void Acquire(const std::vector<CDataFrame>& frames, CLiveSource* live, PluginLoader& plugin,
             CHostWindow& window, const std::atomic<bool>& stop) {
    auto handOver = [&](const CDataFrame& frame) {
        VktHost::RecordAcquiredFrame(frame);
        plugin.SaveRTDB(frame);
        window.NoteFrame(frame);
    };
    for (const CDataFrame& frame : frames) {
        if (stop) return;
        handOver(frame);
    }
    while (live && !stop) {
        std::vector<CDataFrame> arrived;
        std::vector<std::string> errors;
        const bool more = live->Poll(arrived, errors, kPollMs);
        for (const std::string& line : errors) window.PostMessage("frame input " + line);
        for (const CDataFrame& frame : arrived) handOver(frame);
        if (!more) return;
    }
}

void SelectRtu(CHostWindow& window, int rtu) {
    QTableWidget& table = window.Rtus();
    for (int row = 0; row < table.rowCount(); ++row) {
        const int number = table.item(row, 0)->text().toInt();
        const int type = table.item(row, 2)->text().toInt();
        if (rtu == number || (rtu == 0 && (type == 100 || type == 101))) {
            table.selectRow(row);
            return;
        }
    }
}

}  // namespace

int Run(const Options& given, std::string& error) {
    if (!HasDisplay()) {
        error = "no display: run it in a desktop session or under xvfb-run";
        return 1;
    }
    Options options = given;
    for (std::string* path : {&options.framesFile, &options.followFile, &options.screenshot}) {
        *path = HostDirectory::InputPath(*path);
    }
    const std::string pluginPath = HostDirectory::Absolute(
        options.pluginPath.empty() ? PluginLoader::DefaultPath() : options.pluginPath);
    if (!HostDirectory::Enter(options.dir, error)) return 1;
    if (!HostDirectory::PlaceClock(options.now, error)) return 1;
    int argc = 1;
    char name[] = "vkthost";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    HostSession session;
    if (!session.Prepare(error)) return 1;
    std::vector<CDataFrame> frames;
    std::unique_ptr<CLiveSource> live;
    if (!Sources(options, frames, live, error)) return 1;

    PluginLoader& plugin = session.Plugin();
    CHostWindow window({[&] { plugin.EditProperty(); }, [&] { plugin.OutLocalData(); },
                        [&] { plugin.CloseAccess(); }});
    VktHost::SetMessageWindow([&](const std::string& text) { window.PostMessage(text); });
    if (!session.Start(pluginPath, error)) {
        VktHost::SetMessageWindow(nullptr);
        return 1;
    }
    window.PostMessage("vkthost: plug-in " + pluginPath + " started");
    window.show();
    SelectRtu(window, options.selectRtu);
    std::atomic<bool> stop{false};
    std::thread acquisition([&] { Acquire(frames, live.get(), plugin, window, stop); });
    if (options.quitAfter > 0) {
        QTimer::singleShot(static_cast<int>(options.quitAfter * 1000), &window, [&] {
            window.Refresh();
            window.Chart().Reload();
            if (!options.screenshot.empty())
                window.grab().save(QString::fromStdString(options.screenshot));
            window.close();
        });
    }
    const int code = app.exec();
    stop = true;
    acquisition.join();
    // What was acquired is stored before the plug-in stops, as the terminal host does.
    HostRun::WaitUntilDrained(kDrainSeconds, 0);
    session.Stop();
    VktHost::SetMessageWindow(nullptr);
    return code;
}

}  // namespace HostGui
