// The host side of acquisition alone (no plug-in loaded, so none of its stores): frames
// per second through RecordAcquiredFrame, which keeps the sensor history, with today's
// batches beside one transaction per frame as older hosts wrote it, each in a host
// directory of its own. Then the size of VKTCOMM.MDB after a simulated month of the
// demo towers: flat with the history bounded to two days, growing per frame without.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "bench/BenchHost.h"
#include "host/Simulator.h"
#include "hostlib/HostSide.h"
#include "hostlib/TowerTypes.h"
#include "hostlib/VktBase.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<CDataFrame> Frames(int days) {
    CObList<CRTUDef> all;
    OutDBObj(kObjRTUDef, "", all);
    std::vector<CRTUDef> towers;
    for (const auto& def : all) {
        if (IsTowerType(def->m_nType)) towers.push_back(*def);
    }
    DestroyObA(all);
    const DateTime first(2009, 3, 1, 0, 0, 0);
    return Simulator::Simulate(towers, {first, first + DateTimeSpan(days, 0, 0, 0)});
}

double MegaBytes(const std::string& dir) {
    std::error_code ec;
    double bytes = 0;
    for (const char* name : {"/VKTCOMM.MDB", "/VKTCOMM.MDB-wal"}) {
        const auto size = std::filesystem::file_size(dir + name, ec);
        if (!ec) bytes += static_cast<double>(size);
    }
    return bytes / 1e6;
}

struct Run {
    double framesPerSecond = 0;
    double megaBytes = 0;
    size_t frames = 0;
};

Run Acquire(bool batched, int days) {
    Run run;
    const std::string dir = MakeBenchHost();
    if (dir.empty()) return run;
    VktHost::HistoryOptions options;
    options.batched = batched;
    VktHost::SetHistoryOptions(options);
    const std::vector<CDataFrame> frames = Frames(days);
    run.frames = frames.size();
    const auto start = Clock::now();
    for (const CDataFrame& frame : frames) VktHost::RecordAcquiredFrame(frame);
    VktHost::FlushHistory();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.framesPerSecond = static_cast<double>(frames.size()) / seconds;
    VktHost::SetHistoryOptions({});  // writes what is queued
    run.megaBytes = MegaBytes(dir);
    RemoveBenchHost(dir);
    return run;
}

}  // namespace

int main() {
    // Two days per-frame (it is slow), a month batched; the same towers and frames.
    const Run perFrame = Acquire(false, 2);
    const Run batchedDays = Acquire(true, 2);
    const Run batched = Acquire(true, 30);
    std::printf("host-side acquisition (sensor history only, no plug-in stores)\n");
    std::printf("%-40s %8s %12s %8s %12s\n", "", "frames", "frames/s", "ratio", "VKTCOMM MB");
    std::printf("%-40s %8zu %12.0f %8.2f %12.1f\n", "one transaction a frame (baseline)",
                perFrame.frames, perFrame.framesPerSecond, 1.0, perFrame.megaBytes);
    std::printf("%-40s %8zu %12.0f %8.2f %12.1f\n", "batches, two days acquired",
                batchedDays.frames, batchedDays.framesPerSecond,
                batchedDays.framesPerSecond / perFrame.framesPerSecond, batchedDays.megaBytes);
    std::printf("%-40s %8zu %12.0f %8.2f %12.1f\n", "batches, a month acquired", batched.frames,
                batched.framesPerSecond, batched.framesPerSecond / perFrame.framesPerSecond,
                batched.megaBytes);
    const double monthPerFrame = perFrame.megaBytes / static_cast<double>(perFrame.frames) *
                                 static_cast<double>(batched.frames);
    std::printf("a month kept per frame would be about %.0f MB (%.1f KB a frame)\n", monthPerFrame,
                perFrame.megaBytes * 1000 / static_cast<double>(perFrame.frames));
    std::printf("target: >= 10 x faster: %s; flat (a month <= 1.5 x two days, batched): %s\n",
                batched.framesPerSecond >= 10 * perFrame.framesPerSecond ? "met" : "NOT met",
                batched.megaBytes <= 1.5 * batchedDays.megaBytes ? "met" : "NOT met");
    return 0;
}
