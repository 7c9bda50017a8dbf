#include "host/HostJobs.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <sstream>
#include <thread>
#include <vector>

#include "host/FrameFile.h"
#include "host/HostDirectory.h"
#include "host/HostSession.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "platform/ProgressModel.h"
#include "platform/TextNumber.h"

namespace HostJobs {

namespace {

constexpr int kBarWidth = 40;
constexpr int kPumpMs = 20;

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) {
    g_interrupted = 1;
}

// Ctrl-C asks the job to stop for as long as the object lives.
class InterruptAsStop {
public:
    InterruptAsStop() {
        g_interrupted = 0;
        m_previous = std::signal(SIGINT, OnInterrupt);
    }
    ~InterruptAsStop() { std::signal(SIGINT, m_previous); }

private:
    void (*m_previous)(int) = SIG_DFL;
};

bool ParseMinute(const std::string& text, const char* name, DateTime& time, std::string& error) {
    const auto parsed = FrameFile::ParseTime(text + ":00");
    if (!parsed) {
        error = std::string(name) + " must be \"YYYY-MM-DD HH:MM\": " + text;
        return false;
    }
    time = *parsed;
    return true;
}

bool ParseStations(const std::string& text, std::vector<int32_t>& stations, std::string& error) {
    if (text == "all") {
        CObList<CRTUDef> all;
        CRTUDefRT::OutRTRTU(all);
        for (const auto& def : all) {
            if (def->m_nType == 100) stations.push_back(def->m_nRTUID);
        }
        return true;
    }
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        const auto number = ReadWholeNumber(item);
        if (!number) {
            error = "--stations takes RTU numbers separated by commas, or all: " + text;
            return false;
        }
        if (!CRTUDefRT::GetRTUDefRT(*number)) {
            std::printf("note: RTU %d is not in the host catalogue; its units copy nothing\n",
                        *number);
        }
        stations.push_back(*number);
    }
    if (stations.empty()) error = "--stations names no station";
    return !stations.empty();
}

void DrawBar(const CProgressModel& bar, int units, int total) {
    const int done = bar.DoneWidth(kBarWidth);
    std::printf("\r[%s%s] %s (%d/%d)", std::string(done, '#').c_str(),
                std::string(kBarWidth - done, '-').c_str(), bar.DisplayText().c_str(), units,
                total);
    std::fflush(stdout);
}

void PrintSummary(int kind, const CJobSummary& summary, int total, double seconds) {
    std::printf("\n%s %s: %d of %d units in %.1f s\n",
                kind == CPluginJobs::kExport ? "export" : "rainfall recalculation",
                summary.bComplete ? "complete" : "stopped", summary.nUnits, total, seconds);
    if (kind == CPluginJobs::kExport) {
        std::printf("rows copied: %ld\nrows already present: %ld\nrows failed: %ld\n",
                    summary.nCopied, summary.nPresent, summary.nFailed);
    }
}

}  // namespace

int Run(const Options& options, std::string& error) {
    const std::string pluginPath = HostDirectory::Absolute(
        options.pluginPath.empty() ? PluginLoader::DefaultPath() : options.pluginPath);
    DateTime from, to;
    if (!ParseMinute(options.from, "--from", from, error) ||
        !ParseMinute(options.to, "--to", to, error)) {
        return 1;
    }
    if (!(from < to)) {
        error = "--from must be earlier than --to";
        return 1;
    }
    if (!HostDirectory::Enter(options.dir, error)) return 1;
    HostSession session;
    if (!session.Prepare(error)) return 1;
    std::vector<int32_t> stations;
    if (!ParseStations(options.stations, stations, error)) return 1;
    VktHost::SetMessageWindow([](const std::string& text) {
        std::printf("\n[message window] %s", text.c_str());
        if (text.empty() || text.back() != '\n') std::printf("\n");
    });
    if (!session.Start(pluginPath, error)) {
        VktHost::SetMessageWindow(nullptr);
        return 1;
    }
    CPluginJobs* jobs = VktHost::PluginJobs();
    if (!jobs) {
        error = "the plug-in offers no batch jobs";
        VktHost::SetMessageWindow(nullptr);
        return 1;
    }

    CProgressModel bar;
    bar.Resize(kBarWidth);
    int units = 0;
    int total = 0;
    bool over = false;
    const WindowHandle progress = MessageLayer::RegisterWindow([&](const Message& message) {
        if (message.message == kMsgJobProgress) {
            units = static_cast<int>(message.wParam);
            bar.OnJobProgress(message.wParam);
            DrawBar(bar, units, total);
        } else if (message.message == kMsgJobOver) {
            over = true;
        }
    });
    const auto started = std::chrono::steady_clock::now();
    total = jobs->StartJob(options.kind, stations, from, to, progress);
    if (total < 0) {
        error = "the job could not start: one of its kind is running";
        MessageLayer::UnregisterWindow(progress);
        VktHost::SetMessageWindow(nullptr);
        return 1;
    }
    bar.SetRange(0, total);
    DrawBar(bar, 0, total);
    {
        InterruptAsStop interrupt;
        bool stopAsked = false;
        while (!over) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPumpMs));
            MessageLayer::PumpMessages();
            if (g_interrupted && !stopAsked) {
                std::printf("\nstop requested: the job ends after the current unit\n");
                jobs->RequestStop(options.kind);
                stopAsked = true;
            }
        }
    }
    MessageLayer::UnregisterWindow(progress);
    const CJobSummary summary = jobs->Summary(options.kind);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    PrintSummary(options.kind, summary, total, seconds);
    session.Stop();
    VktHost::SetMessageWindow(nullptr);
    return summary.bComplete ? 0 : 2;
}

}  // namespace HostJobs
