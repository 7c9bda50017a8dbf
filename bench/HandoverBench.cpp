// Cost of handing a frame to the plug-in (SaveRTDB, which appends it to the frame
// spool) on the host's threads, beside two baselines measured in the same run:
// - a bare write: lock a mutex and write as many bytes as the spool's record with one
//   unbuffered write to a file in the same folder (what a durable hand-over cannot go
//   below);
// - the former in-memory hand-over: lock a mutex, copy the frame into a new record and
//   append it to a vector (what a crash loses).
// Each side runs in alternating rounds; the first round warms the allocator and the
// page cache and is dropped.

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

// The bare-write baseline: the same number of bytes, one write call, under a lock.
class BareWrite {
public:
    BareWrite(const std::string& path, size_t bytes) : m_bytes(bytes, 'x') {
        m_file = std::fopen(path.c_str(), "ab");
        if (m_file) std::setvbuf(m_file, nullptr, _IONBF, 0);
    }
    ~BareWrite() {
        if (m_file) std::fclose(m_file);
    }
    void Append() {
        std::lock_guard<std::mutex> guard(m_lock);
        std::fwrite(m_bytes.data(), 1, m_bytes.size(), m_file);
    }

private:
    std::mutex m_lock;
    std::FILE* m_file = nullptr;
    std::string m_bytes;
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
    // Length and checksum, RTU, kind, time, item count, the items.
    const size_t recordBytes =
        8 + 4 + 4 + sizeof(DateTime) + 4 + frame.m_arItems.size() * sizeof(CDataItem);
    std::printf("bare write: %zu bytes, the spool's record of this frame\n", recordBytes);
    std::printf("%-8s %13s %13s %13s %13s %13s %13s %9s %9s %9s\n", "threads", "SaveRTDB med",
                "SaveRTDB p99", "write med", "write p99", "memory med", "memory p99", "/write",
                "/write99", "/memory");
    for (int threads : {1, 2, 8}) {
        // Alternating rounds; the first warms the allocator for both sides and is
        // dropped, the others are summarised by their median.
        std::vector<double> saveMed, saveP99, writeMed, writeP99, memMed, memP99;
        for (int round = 0; round <= kRounds; ++round) {
            Stats memory, write;
            {
                BaselineQueue queue;
                memory = Measure(threads, [&] { queue.Append(frame); });
            }
            {
                BareWrite file(dir + "/WPData/bare-write.bin", recordBytes);
                write = Measure(threads, [&] { file.Append(); });
            }
            std::filesystem::remove(dir + "/WPData/bare-write.bin");
            VKTLibInit();
            const Stats save = Measure(threads, [&] { SaveRTDB(frame); });
            VKTLibExit();
            if (round == 0) continue;
            saveMed.push_back(save.median);
            saveP99.push_back(save.p99);
            writeMed.push_back(write.median);
            writeP99.push_back(write.p99);
            memMed.push_back(memory.median);
            memP99.push_back(memory.p99);
        }
        const Stats save{Middle(saveMed), Middle(saveP99)};
        const Stats write{Middle(writeMed), Middle(writeP99)};
        const Stats memory{Middle(memMed), Middle(memP99)};
        std::printf(
            "%-8d %10.0f ns %10.0f ns %10.0f ns %10.0f ns %10.0f ns %10.0f ns %9.2f %9.2f %9.2f\n",
            threads, save.median, save.p99, write.median, write.p99, memory.median, memory.p99,
            save.median / write.median, save.p99 / write.p99, save.median / memory.median);
    }
    RemoveBenchHost(dir);
    return 0;
}
