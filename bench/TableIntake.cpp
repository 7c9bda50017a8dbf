// A logger's table file followed as it grows against --follow of the same frames in
// JSON Lines: both through the same follower, so the figure is what reading the
// table's rows costs beside reading frames already in the host's own form.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "bench/IntakeBench.h"
#include "host/FrameFile.h"
#include "host/TableFile.h"
#include "platform/System.h"

namespace {

constexpr int kFrames = 50000;
constexpr int kValues = 20;
constexpr int kRtu = 7;
// A source that brings nothing for this long has stalled: the run fails.
constexpr auto kStall = std::chrono::seconds(10);

std::string Column(int i) {
    char name[16];
    std::snprintf(name, sizeof name, "V%02d", i);
    return name;
}

std::vector<CMapEntry> Map() {
    std::vector<CMapEntry> map;
    for (int i = 0; i < kValues; ++i) {
        map.push_back({.id = 7000 + 100 * i, .column = Column(i), .line = i + 2});
    }
    return map;
}

// Ten-minute rows with values that change from row to row; the same frames in JSON Lines.
bool WriteFiles(const std::string& table, const std::string& frames) {
    std::ofstream rows(table, std::ios::binary), lines(frames, std::ios::binary);
    rows << "\"TOA5\",\"Tower\",\"CR1000\",\"1234\",\"CR1000.Std.32\",\"CPU:bench.CR1\",\"1\","
            "\"Ten\"\r\n\"TIMESTAMP\",\"RECORD\"";
    std::string units = "\"TS\",\"RN\"", processing = "\"\",\"\"";
    for (int i = 0; i < kValues; ++i) {
        rows << ",\"" << Column(i) << "\"";
        units += ",\"m/s\"";
        processing += ",\"Avg\"";
    }
    rows << "\r\n" << units << "\r\n" << processing << "\r\n";
    const DateTime start(2026, 1, 1, 0, 0, 0);
    for (int n = 0; n < kFrames; ++n) {
        CDataFrame frame;
        frame.m_nRTUID = kRtu;
        frame.m_nKind = 1;
        frame.m_tTime = DateTime::FromSeconds(start.ToSeconds() + 600LL * n);
        rows << "\"" << frame.m_tTime.Format() << "\"," << n;
        for (int i = 0; i < kValues; ++i) {
            char value[32];
            std::snprintf(value, sizeof value, "%.2f", (n * 7 + i * 13) % 3600 / 10.0);
            rows << "," << value;
            CDataItem& item = frame.m_arItems.emplace_back();
            item.m_nSensorID = kRtu * 100000 + 7000 + 100 * i;
            item.m_nDataID = 7000 + 100 * i;
            item.m_tTime = frame.m_tTime;
            item.m_fValue = std::strtof(value, nullptr);
        }
        rows << "\r\n";
        lines << FrameFile::FormatLine(frame) << "\n";
    }
    return rows.good() && lines.good();
}

// Seconds until every frame of the source was polled and acknowledged; negative (with
// `failure`) when a line was refused or the source stalled.
double Drain(CLiveSource& source, std::string& failure) {
    const auto start = std::chrono::steady_clock::now();
    auto lastProgress = start;
    long taken = 0;
    std::vector<CDataFrame> frames;
    std::vector<std::string> errors;
    while (taken < kFrames) {
        frames.clear();
        source.Poll(frames, errors, 1);
        if (!errors.empty()) {
            failure = errors.front();
            return -1;
        }
        for (size_t i = 0; i < frames.size(); ++i) source.Acknowledge(FrameOutcome{});
        taken += static_cast<long>(frames.size());
        const auto now = std::chrono::steady_clock::now();
        if (!frames.empty()) lastProgress = now;
        if (now - lastProgress > kStall) {
            failure = "stalled after " + std::to_string(taken) + " frames";
            return -1;
        }
    }
    source.KeepPosition();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

IntakeResult Measure(const std::string& dir) {
    IntakeResult r;
    r.name = "table";
    r.unit = "frames/s";
    r.target = 0.8;
    r.what = std::to_string(kFrames) + " rows of " + std::to_string(kValues) +
             " values: TableFile::Follow against FollowFrames of the same frames in JSON Lines";
    const std::string table = dir + "/table.dat", frames = dir + "/frames.jsonl";
    if (!WriteFiles(table, frames)) {
        r.failure = "cannot write the files in " + dir;
        return r;
    }
    std::string error;
    auto ours = TableFile::Follow({kRtu, table, Map()}, dir + "/table-position.json", error);
    auto baseline = ours ? FollowFrames(frames, dir + "/follow-position.json", error) : nullptr;
    if (!baseline) {
        r.failure = error;
        return r;
    }
    const double ourSeconds = Drain(*ours, r.failure);
    const double baselineSeconds = r.failure.empty() ? Drain(*baseline, r.failure) : -1;
    if (!r.failure.empty()) return r;
    r.ours = kFrames / ourSeconds;
    r.baseline = kFrames / baselineSeconds;
    r.ratio = r.ours / r.baseline;
    return r;
}

}  // namespace

IntakeResult TableIntakeBench() {
    const std::string dir = System::MakeTemporaryDirectory("vkt-table-intake-");
    if (dir.empty()) {
        IntakeResult r;
        r.failure = "cannot make a temporary folder";
        return r;
    }
    IntakeResult r = Measure(dir);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return r;
}
