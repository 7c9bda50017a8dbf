#include "host/Acquisition.h"

#include <algorithm>
#include <chrono>
#include <thread>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "host/FollowPosition.h"
#include "host/FrameFile.h"
#include "host/HostDirectory.h"
#include "host/PluginLoader.h"
#include "host/Settings.h"
#include "host/Simulator.h"
#include "host/SourceConfig.h"
#include "hostlib/HostSide.h"
#include "platform/Clock.h"
#include "platform/System.h"

namespace Acquisition {

namespace {

// A turn waits this long in all for new frames when the last one brought none,
// shared among the continuous sources.
constexpr int kPollMs = 200;
// A pause when every source holds a refused frame and none was polled.
constexpr int kHoldMs = 20;
// sources.json is looked at this often for a change.
constexpr auto kConfigLook = std::chrono::seconds(2);
// Told of a frame refused for now that a live source offers again.
constexpr const char* kOfferedAgain = "; it is offered again every second until it is taken";

bool IsLive(const std::string& span) {
    return span.rfind("live", 0) == 0;
}

std::string What(const CDataFrame& frame) {
    return "RTU " + std::to_string(frame.m_nRTUID) + ", time " + frame.m_tTime.Format();
}

// The broker keeps a session by its client id: one per machine and host directory, the
// same at every start.
std::string DefaultClientId() {
    char name[256] = "host";
#ifndef _WIN32
    if (gethostname(name, sizeof name) != 0) std::snprintf(name, sizeof name, "host");
    name[sizeof name - 1] = '\0';
#endif
    return std::string("vkthost-") + name + "-" +
           std::filesystem::path(System::CurrentDirectory()).filename().string();
}

// The broker's options whole: the address, a fixed client id, the password from its file.
bool BrokerOptions(const SourceOptions& options, CMqttOptions& mqtt, std::string& error) {
    mqtt = options.mqtt;
    if (!SourceConfig::SplitAddress(options.mqttAddress, mqtt.host, mqtt.port)) {
        error = "--mqtt must be HOST:PORT: " + HostDirectory::Printable(options.mqttAddress);
        return false;
    }
    if (mqtt.topic.empty()) {
        error = "--mqtt needs --topic TOPIC";
        return false;
    }
    if (mqtt.clientId.empty()) mqtt.clientId = DefaultClientId();
    if (options.mqttPasswordFile.empty()) return true;
    if (mqtt.user.empty()) {
        error = "--password-file goes with --user";
        return false;
    }
    Settings::Change change{};
    if (!Settings::ReadPassword(options.mqttPasswordFile, change, error)) {
        error = "--password-file: " + error;
        return false;
    }
    mqtt.password = change.value;
    return true;
}

}  // namespace

bool SourceOptions::Any() const {
    return !framesFile.empty() || !followFile.empty() || !inboxDir.empty() ||
           !simulateSpan.empty() || configured || !mqttAddress.empty();
}

SourceOptions Resolved(const SourceOptions& options) {
    SourceOptions resolved = options;
    for (std::string* path : {&resolved.framesFile, &resolved.followFile, &resolved.inboxDir,
                              &resolved.mqttPasswordFile}) {
        *path = HostDirectory::InputPath(*path);
    }
    return resolved;
}

// A continuous source, its feed and what it told last.
struct CPipeline::Live {
    std::string origin;
    std::unique_ptr<CLiveSource> source;
    std::unique_ptr<CLiveFeed> feed;
    bool configured = false;  // from sources.json: replaced when it changes
    bool ended = false;
    std::vector<CSourceHealth> health;
};

CPipeline::CPipeline() : m_acceptedLog(nullptr, &std::fclose) {}

CPipeline::~CPipeline() = default;

bool CPipeline::OpenFiles(const SourceOptions& options, Reporter& reporter, std::string& error) {
    if (!options.framesFile.empty()) {
        FrameFile::Result read = FrameFile::Read(options.framesFile);
        if (!read.failure.empty()) {
            error = "--frames: " + read.failure;
            return false;
        }
        for (const long line : read.lines) {
            m_known.origins.push_back("--frames line " + std::to_string(line));
        }
        m_known.frames = std::move(read.frames);
        for (const std::string& skipped : read.errors) reporter.Skipped("--frames", skipped);
        m_counts.read += static_cast<long>(m_known.frames.size());
        m_counts.skipped += static_cast<long>(read.errors.size());
    }
    if (!options.followFile.empty() &&
        !AddLive("--follow",
                 FollowFrames(options.followFile,
                              HostDirectory::Absolute(FollowPosition::kFileName), error),
                 error)) {
        return false;
    }
    if (!options.inboxDir.empty() &&
        !AddLive("--inbox", FollowInbox(options.inboxDir, error), error)) {
        return false;
    }
    // The broker is subscribed to once the directory is the host's alone: a second host
    // with the same client id would take the first one's session over.
    return options.mqttAddress.empty() || BrokerOptions(options, m_mqtt, error);
}

bool CPipeline::OpenWithCatalogue(const SourceOptions& options, std::string& error) {
    if (IsLive(options.simulateSpan)) {
        if (!AddLive("simulated",
                     SimulateLive(options.simulateSpan, Simulator::CatalogueTowers(), error),
                     error)) {
            return false;
        }
    } else if (!options.simulateSpan.empty()) {
        auto range = Simulator::ParseSpan(options.simulateSpan, ProcessClock::Now(), error);
        if (!range) return false;
        auto made = Simulator::Simulate(Simulator::CatalogueTowers(), *range);
        m_counts.read += static_cast<long>(made.size());
        m_known.origins.resize(m_known.frames.size() + made.size(), "simulated");
        m_known.frames.insert(m_known.frames.end(), std::make_move_iterator(made.begin()),
                              std::make_move_iterator(made.end()));
    }
    if (!options.mqttAddress.empty() &&
        !AddLive("--mqtt", MqttSource::Subscribe(m_mqtt, error), error)) {
        return false;
    }
    if (!options.configured) return true;
    m_bConfigured = true;
    if (OpenConfigured(error)) return true;
    error = "--sources: " + error;
    return false;
}

bool CPipeline::OpenConfigured(std::string& error) {
    const std::string dir = System::CurrentDirectory();
    std::error_code ec;
    m_configTime = std::filesystem::last_write_time(dir + "/" + SourceConfig::kFileName, ec);
    // The tables' positions kept first: the new followers go on from there.
    for (const auto& live : m_live) {
        if (live->configured) live->source->KeepPosition();
    }
    std::vector<CSourceEntry> entries;
    std::vector<SourceConfig::Opened> opened;
    if (!SourceConfig::Load(dir, entries, error) || !SourceConfig::Open(entries, opened, error)) {
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        std::erase_if(m_live, [](const auto& live) { return live->configured; });
    }
    for (SourceConfig::Opened& one : opened) {
        AddLive(one.origin, std::move(one.source), error);
        m_live.back()->configured = true;
    }
    m_nConfigured = entries.size();
    return true;
}

void CPipeline::NoteAcceptedIn(const std::string& path) {
    if (path.empty()) return;
    m_acceptedLog.reset(std::fopen(path.c_str(), "a"));
    // Unbuffered: a kill keeps every line.
    if (m_acceptedLog) std::setvbuf(m_acceptedLog.get(), nullptr, _IONBF, 0);
}

bool CPipeline::Continuous() const {
    return !m_live.empty() || m_bConfigured;
}

bool CPipeline::AddLive(const std::string& origin, std::unique_ptr<CLiveSource> source,
                        std::string& error) {
    if (!source) {
        if (error.empty()) error = origin + ": cannot be opened";
        return false;
    }
    auto live = std::make_unique<Live>();
    live->origin = origin;
    live->source = std::move(source);
    std::lock_guard<std::mutex> guard(m_lock);
    m_live.push_back(std::move(live));
    return true;
}

FrameOutcome CPipeline::HandOver(const CDataFrame& frame, const std::string& origin,
                                 PluginLoader& plugin, Reporter& reporter, bool live, bool again) {
    const bool known = again || VktHost::RecordAcquiredFrame(frame);
    if (!again) reporter.Offered(frame);
    if (plugin.SaveRTDB(frame)) {
        if (m_acceptedLog) {
            std::fprintf(m_acceptedLog.get(), "%d %s\n", frame.m_nRTUID,
                         frame.m_tTime.Format().c_str());
        }
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_counts.accepted;
        return {FrameFate::Accepted, ""};
    }
    const std::string what = What(frame);
    if (!known) {
        reporter.Refused(origin + ", " + what +
                         ": the RTU is not in the host catalogue (vkthost rtu list DIR)");
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_counts.refused;
        return {FrameFate::RefusedForGood, what + ": the RTU is not in the host catalogue"};
    }
    if (!again) {
        reporter.Refused(origin + ", " + what +
                         ": the plug-in returned 0: it could not take the frame (a full disk "
                         "or its shut-down; VKTError.log tells)" +
                         (live ? kOfferedAgain : ""));
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_counts.refused;
    }
    return {FrameFate::RefusedForNow, what + ": the plug-in could not take it"};
}

void CPipeline::Run(PluginLoader& plugin, Reporter& reporter, const std::function<bool()>& stop) {
    for (size_t i = 0; i < m_known.frames.size() && !stop(); ++i) {
        HandOver(m_known.frames[i], m_known.origins[i], plugin, reporter, false, false);
        reporter.Idle();
    }
    if (!m_known.frames.empty()) reporter.ReplayEnded(Totals());
    bool busy = true;
    while (Continuous() && !stop()) {
        if (m_bConfigured) ReloadConfiguredIfChanged(reporter);
        TurnAll(plugin, reporter, busy);
        reporter.Idle();
        const bool anyLeft =
            m_bConfigured || std::any_of(m_live.begin(), m_live.end(),
                                         [](const auto& live) { return !live->ended; });
        if (!anyLeft) break;
    }
    SettleAll(reporter);
}

void CPipeline::TurnAll(PluginLoader& plugin, Reporter& reporter, bool& busy) {
    const int sources = std::max<int>(1, static_cast<int>(m_live.size()));
    const int waitMs = busy ? 0 : kPollMs / sources;
    busy = false;
    bool polled = false;
    for (auto& live : m_live) {
        if (live->ended) continue;
        if (!live->feed) {
            live->feed = std::make_unique<CLiveFeed>(
                *live->source, [this, one = live.get(), &plugin, &reporter](
                                   const CDataFrame& frame, const std::string& place, bool again) {
                    const std::string where =
                        place.empty() ? one->origin : one->origin + " " + place;
                    return HandOver(frame, where, plugin, reporter, true, again);
                });
        }
        const long before = live->feed->FramesRead();
        polled = polled || !live->feed->Holding();
        std::vector<std::string> errors, notes;
        live->ended = !live->feed->Turn(waitMs, errors, notes);
        for (const std::string& line : errors) reporter.Skipped(live->origin, line);
        for (const std::string& note : notes) reporter.Note(live->origin, note);
        const long got = live->feed->FramesRead() - before;
        busy = busy || got > 0;
        std::vector<CSourceHealth> health = live->source->Health();
        std::lock_guard<std::mutex> guard(m_lock);
        m_counts.read += got;
        m_counts.skipped += static_cast<long>(errors.size());
        live->health = std::move(health);
    }
    if (!polled) std::this_thread::sleep_for(std::chrono::milliseconds(kHoldMs));
}

void CPipeline::ReloadConfiguredIfChanged(Reporter& reporter) {
    const auto now = std::chrono::steady_clock::now();
    if (now < m_nextConfigLook) return;
    m_nextConfigLook = now + kConfigLook;
    const std::string path = System::CurrentDirectory() + "/" + SourceConfig::kFileName;
    std::error_code ec;
    const auto changed = std::filesystem::last_write_time(path, ec);
    if (changed == m_configTime) return;
    // A frame refused for now is offered again by its own feed first.
    for (const auto& live : m_live) {
        if (live->configured && live->feed && live->feed->Holding()) return;
    }
    std::string error;
    if (!OpenConfigured(error)) {
        reporter.Note("--sources", error + "; the sources read before go on");
        return;
    }
    reporter.Note("--sources", SourceConfig::kFileName + std::string(" changed: ") +
                                   std::to_string(m_nConfigured) + " sources now");
}

void CPipeline::SettleAll(Reporter& reporter) {
    for (auto& live : m_live) {
        live->source->KeepPosition();
        for (const std::string& note : live->source->TakeNotes()) {
            reporter.Note(live->origin, note);
        }
    }
}

Counts CPipeline::Totals() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_counts;
}

std::vector<CSourceHealth> CPipeline::Health() const {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<CSourceHealth> all;
    for (const auto& live : m_live) all.insert(all.end(), live->health.begin(), live->health.end());
    return all;
}

}  // namespace Acquisition
