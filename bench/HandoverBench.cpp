// Cost of handing a frame to the plug-in (SaveRTDB) on the host's threads, beside a
// baseline measured in the same run: lock a mutex, copy the same frame into a new
// record, append it to a vector.
// The storage thread looks at its queue once a second, so within one measurement the
// copies of both sides stay in memory.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/BenchHost.h"
#include "host/Simulator.h"
#include "hostlib/HostSide.h"
#include "plugin/Exports.h"
#include "plugin/PluginState.h"
#include "storage/WPDBThread.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCallsPerThread = 4000;
constexpr int kRounds = 5;

struct Stats {
    double median = 0, p99 = 0;
};

Stats Summarise(std::vector<double>& ns) {
    std::sort(ns.begin(), ns.end());
    return {ns[ns.size() / 2], ns[ns.size() * 99 / 100]};
}

double Middle(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs `call` kCallsPerThread times on each of `threads` threads; per-call times in ns.
template <typename Call>
Stats Measure(int threads, Call call) {
    std::vector<std::vector<double>> perThread(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            auto& times = perThread[t];
            times.reserve(kCallsPerThread);
            for (int i = 0; i < kCallsPerThread; ++i) {
                const auto start = Clock::now();
                call();
                times.push_back(
                    std::chrono::duration<double, std::nano>(Clock::now() - start).count());
            }
        });
    }
    for (auto& worker : workers) worker.join();
    std::vector<double> all;
    for (auto& times : perThread) all.insert(all.end(), times.begin(), times.end());
    return Summarise(all);
}

// The baseline: a mutex and a vector of copied records, kept until the measurement
// ends, as the storage thread's queue keeps them until its next pass.
class BaselineQueue {
public:
    void Append(const CDataFrame& frame) {
        std::lock_guard<std::mutex> guard(m_lock);
        auto record = std::make_unique<CTowerRecord>();
        record->m_nKind = frame.m_nKind;
        record->m_nRTUID = frame.m_nRTUID;
        record->m_tTime = frame.m_tTime;
        record->m_arItems = frame.m_arItems;
        m_records.push_back(std::move(record));
    }

private:
    std::mutex m_lock;
    std::vector<std::unique_ptr<CTowerRecord>> m_records;  // guarded by m_lock
};

}  // namespace

int main() {
    const std::string dir = MakeBenchHost();
    if (dir.empty()) return 1;
    // Only the hand-over is measured: the stores are switched off.
    std::ofstream("WPDB.ini") << "[ERRORDATA]\nSAVEDATA=0\n[DATABASE]\nSAVEBKGDB=0\n"
                                 "[LOCALDATA]\nSAVEDATA=0\n[TXT]\nPERMIT=0\n";
    PluginState::OnLoad();

    CRTUDef tower;
    tower.m_nID = tower.m_nRTUID = 1;
    tower.m_nType = 100;
    const DateTime time(2009, 3, 12, 15, 0, 0);
    const CDataFrame frame = Simulator::Simulate({tower}, {time, time}).at(0);

    std::printf("hand-over of one frame (%zu items), %d calls per thread\n", frame.m_arItems.size(),
                kCallsPerThread);
    std::printf("%-8s %14s %14s %14s %14s %10s %10s\n", "threads", "SaveRTDB med", "SaveRTDB p99",
                "baseline med", "baseline p99", "ratio med", "ratio p99");
    for (int threads : {1, 2, 8}) {
        // Alternating rounds; the first warms the allocator for both sides and is
        // dropped, the others are summarised by their median.
        std::vector<double> saveMed, saveP99, baseMed, baseP99;
        for (int round = 0; round <= kRounds; ++round) {
            Stats baseline;
            {
                BaselineQueue queue;
                baseline = Measure(threads, [&] { queue.Append(frame); });
            }
            VKTLibInit();
            const Stats save = Measure(threads, [&] { SaveRTDB(frame); });
            VKTLibExit();
            if (round == 0) continue;
            saveMed.push_back(save.median);
            saveP99.push_back(save.p99);
            baseMed.push_back(baseline.median);
            baseP99.push_back(baseline.p99);
        }
        const Stats save{Middle(saveMed), Middle(saveP99)};
        const Stats baseline{Middle(baseMed), Middle(baseP99)};
        std::printf("%-8d %11.0f ns %11.0f ns %11.0f ns %11.0f ns %10.2f %10.2f\n", threads,
                    save.median, save.p99, baseline.median, baseline.p99,
                    save.median / baseline.median, save.p99 / baseline.p99);
    }
    RemoveBenchHost(dir);
    return 0;
}
