#include "host/HostRun.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>

#include "host/FollowPosition.h"
#include "host/FrameFile.h"
#include "host/HostDirectory.h"
#include "host/HostSession.h"
#include "host/LiveSource.h"
#include "host/PluginLoader.h"
#include "host/ServiceNotify.h"
#include "host/Simulator.h"
#include "host/StopSignals.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "platform/Clock.h"
#include "platform/ErrorLog.h"
#include "platform/MessageLayer.h"

namespace HostRun {

namespace {

constexpr int kPollMs = 200;

std::vector<std::string> ReadLinesFrom(const std::string& path, std::streamoff offset) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    if (!in) return lines;
    in.seekg(offset);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

std::streamoff FileSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in ? static_cast<std::streamoff>(in.tellg()) : 0;
}

// A line of input that gave no frame, on the error output as it is found.
void ReportSkipped(const char* source, const std::string& lineAndReason) {
    std::fprintf(stderr, "frame skipped: %s %s\n", source, lineAndReason.c_str());
}

bool ReadFrameFile(const std::string& path, Summary& summary, std::vector<CDataFrame>& frames,
                   std::vector<std::string>& origins, std::string& error) {
    FrameFile::Result read = FrameFile::Read(path);
    if (!read.failure.empty()) {
        error = "--frames: " + read.failure;
        return false;
    }
    frames = std::move(read.frames);
    for (const long line : read.lines) origins.push_back("--frames line " + std::to_string(line));
    for (const std::string& skipped : read.errors) ReportSkipped("--frames", skipped);
    summary.inputErrors = std::move(read.errors);
    summary.framesRead = static_cast<int>(frames.size());
    return true;
}

bool SimulateFrames(const std::string& span, Summary& summary, std::vector<CDataFrame>& frames,
                    std::string& error) {
    auto range = Simulator::ParseSpan(span, ProcessClock::Now(), error);
    if (!range) return false;
    auto simulated = Simulator::Simulate(Simulator::CatalogueTowers(), *range);
    summary.framesRead += static_cast<int>(simulated.size());
    frames.insert(frames.end(), std::make_move_iterator(simulated.begin()),
                  std::make_move_iterator(simulated.end()));
    return true;
}

// Waits while the plug-in works, dispatching the messages of the host's windows.
void Linger(double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        MessageLayer::PumpMessages();
        ServiceNotify::Alive();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    MessageLayer::PumpMessages();
}

// Where accepted frames are noted, or null; unbuffered, so a kill keeps every line.
std::FILE* g_acceptedLog = nullptr;

// Told of a frame refused for now that a live source offers again.
constexpr const char* kOfferedAgain = "; it is offered again every second until it is taken";

// `origin` says where the frame came from ("--frames line 12"), for the refusal, and
// `retryNote` what becomes of a frame refused for now. `again`: the frame was refused
// for now before, and recorded and told of then.
FrameOutcome HandOver(const CDataFrame& frame, const std::string& origin, PluginLoader& plugin,
                      Summary& summary, const char* retryNote = "", bool again = false) {
    ServiceNotify::Alive();
    const bool known = again || VktHost::RecordAcquiredFrame(frame);
    if (plugin.SaveRTDB(frame)) {
        ++summary.accepted;
        if (g_acceptedLog) {
            std::fprintf(g_acceptedLog, "%d %s\n", frame.m_nRTUID, frame.m_tTime.Format().c_str());
        }
        return {FrameFate::Accepted, ""};
    }
    const std::string what =
        "RTU " + std::to_string(frame.m_nRTUID) + ", time " + frame.m_tTime.Format();
    if (!known) {
        ++summary.refused;
        std::fprintf(stderr,
                     "frame refused: %s, %s: the RTU is not in the host catalogue (vkthost rtu "
                     "list DIR)\n",
                     origin.c_str(), what.c_str());
        return {FrameFate::RefusedForGood, what + ": the RTU is not in the host catalogue"};
    }
    if (!again) {
        ++summary.refused;
        std::fprintf(stderr,
                     "frame refused: %s, %s: the plug-in returned 0: it could not take the frame "
                     "(a full disk or its shut-down; VKTError.log tells)%s\n",
                     origin.c_str(), what.c_str(), retryNote);
    }
    return {FrameFate::RefusedForNow, what + ": the plug-in could not take it"};
}

// A backend that has not answered for this long is not waited for by a finite run.
constexpr double kBackendAwaySeconds = 5.0;
constexpr double kDefaultDrainSeconds = 600.0;

bool IsBackendAway(const CStoreHealth& backend) {
    if (backend.tStalledSince.IsValid()) return true;
    return backend.tOutageSince.IsValid() &&
           (ProcessClock::Now() - backend.tOutageSince).GetTotalSeconds() >= kBackendAwaySeconds;
}

bool IsDrained(const CPluginHealth& health) {
    return health.station.nQueued == 0 && health.backend.nQueued == 0 && health.nRefillPending == 0;
}

void PrintLines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Prints the plug-in's health, stamped with the process clock, every `seconds` (0: never).
class StatusPrinter {
public:
    // The first figures come at once: a service's log shows it started.
    explicit StatusPrinter(double seconds) : m_seconds(seconds) {
        if (m_seconds <= 0) return;
        if (CPluginHealthSource* source = VktHost::PluginHealth()) Print(source->Health());
        Schedule();
    }
    void PrintIfDue() {
        if (m_seconds <= 0 || std::chrono::steady_clock::now() < m_next) return;
        if (CPluginHealthSource* source = VktHost::PluginHealth()) Print(source->Health());
    }
    void Print(const CPluginHealth& health) {
        PrintLines(HealthLines(health, "plug-in health at " + ProcessClock::Now().Format() + ":"));
        Schedule();
    }

private:
    void Schedule() {
        m_next = std::chrono::steady_clock::now() +
                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(m_seconds));
    }
    const double m_seconds;
    std::chrono::steady_clock::time_point m_next;
};

// What a live source saw (a rotation, a file moved away), on the standard output.
void ReportNote(const char* source, const std::string& note, Summary& summary) {
    std::printf("%s: %s\n", source, note.c_str());
    std::fflush(stdout);
    summary.sourceNotes.push_back(note);
}

// Acquires what the source brings until a stop signal or its end; a frame refused for
// now is offered again, and nothing after it meanwhile.
void AcquireContinuously(CLiveSource& source, const char* origin, PluginLoader& plugin,
                         Summary& summary, StatusPrinter& status) {
    CLiveFeed feed(source, [&](const CDataFrame& frame, const std::string& place, bool again) {
        const std::string where = place.empty() ? origin : std::string(origin) + " " + place;
        return HandOver(frame, where, plugin, summary, kOfferedAgain, again);
    });
    for (bool more = true; more && CStopSignals::Arrived() == 0;) {
        std::vector<std::string> errors, notes;
        more = feed.Turn(kPollMs, errors, notes);
        for (const std::string& line : errors) {
            ReportSkipped(origin, line);
            summary.inputErrors.push_back(line);
        }
        for (const std::string& note : notes) ReportNote(origin, note, summary);
        MessageLayer::PumpMessages();
        ServiceNotify::Alive();
        status.PrintIfDue();
    }
    summary.framesRead += static_cast<int>(feed.FramesRead());
    source.KeepPosition();
    for (const std::string& note : source.TakeNotes()) ReportNote(origin, note, summary);
}

std::string TimeText(const DateTime& time) {
    return time.IsValid() ? time.Format() : "-";
}

std::string StoreLine(const char* name, const CStoreHealth& store) {
    return std::string("  ") + name + ": queued " + std::to_string(store.nQueued) + ", written " +
           std::to_string(store.nWritten) + ", failed " + std::to_string(store.nFailed) +
           (store.nNotRun > 0 ? ", not run " + std::to_string(store.nNotRun) : std::string()) +
           ", last success " + TimeText(store.tLastSuccess) + ", outage since " +
           TimeText(store.tOutageSince) +
           (store.strOutageReason.empty() ? std::string() : " (" + store.strOutageReason + ")") +
           (store.tStalledSince.IsValid() ? ", stalled since " + TimeText(store.tStalledSince)
                                          : std::string());
}

}  // namespace

// Waits until the plug-in has stored what it was handed, at most `seconds`, printing
// its health every `statusSeconds` (0: never). True when it got there.
DrainEnd WaitUntilDrained(double seconds, double statusSeconds, int signalsToStop,
                          bool waitForBackend) {
    using Clock = std::chrono::steady_clock;
    CPluginHealthSource* source = VktHost::PluginHealth();
    if (!source) return DrainEnd::Stored;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    StatusPrinter status(statusSeconds);
    for (;;) {
        MessageLayer::PumpMessages();
        ServiceNotify::Alive();
        const CPluginHealth health = source->Health();
        if (IsDrained(health)) return DrainEnd::Stored;
        if (!waitForBackend && health.station.nQueued == 0 && IsBackendAway(health.backend)) {
            return DrainEnd::BackendAway;
        }
        if (CStopSignals::Arrived() >= signalsToStop) return DrainEnd::Stopped;
        if (Clock::now() >= end) return DrainEnd::TimedOut;
        status.PrintIfDue();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<std::string> HealthLines(const CPluginHealth& health, const std::string& heading) {
    return {
        heading, StoreLine("backend", health.backend), StoreLine("station files", health.station),
        StoreLine("isolation files", health.isolation),
        "  frames dropped " + std::to_string(health.nFramesDropped) + ", refill ranges pending " +
            std::to_string(health.nRefillPending) + ", rows refilled " +
            std::to_string(health.nRowsRefilled) +
            (health.nRowsPresent > 0 ? ", present already " + std::to_string(health.nRowsPresent)
                                     : std::string()) +
            (health.nRowsRefused > 0 ? ", rows refused " + std::to_string(health.nRowsRefused)
                                     : std::string()) +
            (health.nSpoolDamaged > 0
                 ? ", damaged spool records " + std::to_string(health.nSpoolDamaged)
                 : std::string())};
}

bool OneContinuousSource(const std::string& followFile, const std::string& inboxDir,
                         const std::string& simulateSpan, std::string& error) {
    const int sources =
        !followFile.empty() + !inboxDir.empty() + (simulateSpan.rfind("live", 0) == 0 ? 1 : 0);
    if (sources <= 1) return true;
    error = "--follow, --inbox and --simulate live each acquire until stopped: give one of them";
    return false;
}

bool OpenContinuousSource(const std::string& followFile, const std::string& inboxDir,
                          std::unique_ptr<CLiveSource>& live, std::string& error) {
    if (!followFile.empty()) {
        live = FollowFrames(followFile, HostDirectory::Absolute(FollowPosition::kFileName), error);
    } else if (!inboxDir.empty()) {
        live = FollowInbox(inboxDir, error);
    } else {
        return true;
    }
    return live != nullptr;
}

namespace {

// What a run acquires: the frames known at its start, each with where it came from,
// and the source of those still to come.
struct Acquisition {
    std::vector<CDataFrame> frames;
    std::vector<std::string> origins;  // of each frame, for a refusal
    std::unique_ptr<CLiveSource> live;
    const char* liveOrigin = "--follow";
};

// The input files resolved before the host directory is entered.
Options Resolved(const Options& options) {
    Options resolved = options;
    resolved.framesFile = HostDirectory::InputPath(resolved.framesFile);
    resolved.followFile = HostDirectory::InputPath(resolved.followFile);
    resolved.inboxDir = HostDirectory::InputPath(resolved.inboxDir);
    resolved.acceptedFile = HostDirectory::InputPath(resolved.acceptedFile);
    return resolved;
}

bool SourcesGiven(const Options& options, std::string& error) {
    if (!options.refillOnly && options.framesFile.empty() && options.followFile.empty() &&
        options.inboxDir.empty() && options.simulateSpan.empty()) {
        error =
            "run needs frames to acquire: --frames FILE, --follow FILE (- for standard input), "
            "--inbox DIR or --simulate SPAN";
        return false;
    }
    return OneContinuousSource(options.followFile, options.inboxDir, options.simulateSpan, error);
}

// The frame file and the followed file or inbox: everything that can be found wrong
// without the database is, before it is opened, so a refused run leaves the host
// directory as it was.
bool OpenFileSources(const Options& options, Summary& summary, Acquisition& acquisition,
                     std::string& error) {
    if (!options.framesFile.empty() &&
        !ReadFrameFile(options.framesFile, summary, acquisition.frames, acquisition.origins,
                       error)) {
        return false;
    }
    acquisition.liveOrigin = options.inboxDir.empty() ? "--follow" : "--inbox";
    return OpenContinuousSource(options.followFile, options.inboxDir, acquisition.live, error);
}

// The simulated frames, once the host catalogue can be read.
bool OpenSimulation(const Options& options, Summary& summary, Acquisition& acquisition,
                    std::string& error) {
    if (options.simulateSpan.rfind("live", 0) == 0) {
        acquisition.live = SimulateLive(options.simulateSpan, Simulator::CatalogueTowers(), error);
        acquisition.liveOrigin = "simulated";
        return acquisition.live != nullptr;
    }
    return options.simulateSpan.empty() ||
           SimulateFrames(options.simulateSpan, summary, acquisition.frames, error);
}

// The plug-in's messages on the standard output, and in the summary.
void ShowMessages(Summary& summary, std::mutex& lock) {
    VktHost::SetMessageWindow([&summary, &lock](const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        std::string line = text;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        std::printf("[message window] %s\n", line.c_str());
        std::fflush(stdout);
        summary.messages.push_back(line);
    });
}

// Hands over the frames known at the start, then those of the live source until a
// stop signal or its end; every accepted frame noted in `acceptedFile` if named.
void Acquire(const Options& options, Acquisition& acquisition, PluginLoader& plugin,
             Summary& summary) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> acceptedLog(nullptr, &std::fclose);
    if (!options.acceptedFile.empty()) {
        acceptedLog.reset(std::fopen(options.acceptedFile.c_str(), "a"));
        if (acceptedLog) std::setvbuf(acceptedLog.get(), nullptr, _IONBF, 0);
    }
    g_acceptedLog = acceptedLog.get();
    struct ForgetAcceptedLog {
        ~ForgetAcceptedLog() { g_acceptedLog = nullptr; }
    } forgetAcceptedLog;
    StatusPrinter status(options.statusSeconds);
    const std::vector<CDataFrame>& frames = acquisition.frames;
    for (size_t i = 0; i < frames.size(); ++i) {
        HandOver(frames[i], i < acquisition.origins.size() ? acquisition.origins[i] : "simulated",
                 plugin, summary);
        status.PrintIfDue();
    }
    summary.continuous = acquisition.live != nullptr;
    if (acquisition.live) {
        AcquireContinuously(*acquisition.live, acquisition.liveOrigin, plugin, summary, status);
    }
}

// The last word is the plug-in's own after its stop: what its workers left.
void TakeFinalHealth(Summary& summary) {
    CPluginHealth final;
    if (!VktHost::FinalPluginHealth(final)) return;
    summary.health = HealthLines(final, "plug-in health after the stop:");
    summary.refillPending = final.nRefillPending;
    summary.framesDropped = final.nFramesDropped;
    summary.stationLeft = final.station.nQueued;
    summary.spoolUnavailable = final.bSpoolUnavailable;
    summary.rowsRefused = final.nRowsRefused;
    summary.rowsRetried = final.nRowsRetried;
    summary.rowsRefilled = final.nRowsRefilled;
}

}  // namespace

int Run(const Options& options, Summary& summary, std::string& error) {
    const Options resolved = Resolved(options);
    const std::string pluginPath = HostDirectory::Absolute(
        resolved.pluginPath.empty() ? PluginLoader::DefaultPath() : resolved.pluginPath);
    if (!SourcesGiven(resolved, error)) return 1;
    // From here on a stop signal stops the run cleanly, however early it comes.
    CStopSignals stopSignals;
    if (!HostDirectory::Enter(resolved.dir, error)) return 1;
    if (!HostDirectory::PlaceClock(resolved.now, error)) return 1;
    Acquisition acquisition;
    if (!OpenFileSources(resolved, summary, acquisition, error)) return 1;
    HostSession session;
    if (!session.Prepare(error)) return 1;
    if (!OpenSimulation(resolved, summary, acquisition, error)) return 1;
    const std::streamoff logStart = FileSize(ErrorLog::FileName());
    std::mutex messagesLock;
    ShowMessages(summary, messagesLock);
    if (!session.Start(pluginPath, error)) {
        VktHost::SetMessageWindow(nullptr);
        return 1;
    }
    // Ready once the plug-in runs: a manager may stop the host at once.
    ServiceNotify::Ready();
    Acquire(resolved, acquisition, session.Plugin(), summary);
    ServiceNotify::Stopping();
    // A finite run's first stop signal cuts the wait; a continuous run's first one
    // ended its acquisition.
    const bool live = acquisition.live != nullptr;
    const bool drainGiven = resolved.drainSeconds >= 0;
    summary.drainEnd = WaitUntilDrained(drainGiven ? resolved.drainSeconds : kDefaultDrainSeconds,
                                        resolved.statusSeconds, live ? 2 : 1, drainGiven);
    summary.drained = summary.drainEnd == DrainEnd::Stored;
    if (!live && summary.drainEnd != DrainEnd::Stopped) Linger(resolved.lingerSeconds);
    if (CPluginHealthSource* source = VktHost::PluginHealth()) {
        summary.backendWaiting = source->Health().backend.nQueued;
    }
    session.Stop();
    VktHost::SetMessageWindow(nullptr);
    TakeFinalHealth(summary);
    summary.errorLog = ReadLinesFrom(ErrorLog::FileName(), logStart);
    return 0;
}

int ExitCode(const Summary& summary) {
    const bool stationFilesHaveAll =
        summary.framesDropped == 0 && summary.stationLeft == 0 && !summary.spoolUnavailable;
    switch (summary.drainEnd) {
        case DrainEnd::Stored:
            return stationFilesHaveAll && summary.rowsRefused == 0 ? 0 : 3;
        case DrainEnd::Stopped:
            return 2;
        case DrainEnd::BackendAway:
            // A service's stop is its normal end: what waits for the backend is safe in
            // the station files and copied from there when it answers.
            return summary.continuous && stationFilesHaveAll && summary.rowsRefused == 0 ? 0 : 3;
        case DrainEnd::TimedOut:
            break;
    }
    return 3;
}

namespace {

void PrintRefused(const Summary& summary) {
    if (summary.rowsRefused == 0) return;
    std::printf(
        "the backend answered and refused %ld rows; they are kept in the station files' "
        "quarantine (vkthost report lists them) and sent again by vkthost refill or the next "
        "start (exit code 3)\n",
        summary.rowsRefused);
}

}  // namespace

void Print(const Summary& summary) {
    std::printf("frames read: %d\n", summary.framesRead);
    std::printf("frames accepted: %d\n", summary.accepted);
    std::printf("frames refused: %d\n", summary.refused);
    std::printf("input lines skipped: %zu\n", summary.inputErrors.size());
    for (const auto& line : summary.inputErrors) std::printf("  %s\n", line.c_str());
    std::printf("message window lines: %zu\n", summary.messages.size());
    for (const auto& line : summary.messages) std::printf("  %s\n", line.c_str());
    std::printf("error log lines: %zu\n", summary.errorLog.size());
    for (const auto& line : summary.errorLog) std::printf("  %s\n", line.c_str());
    switch (summary.drainEnd) {
        case DrainEnd::Stored:
            if (summary.stationLeft > 0) {
                std::printf(
                    "%ld frames are left in the frame spool; they are stored at the next "
                    "start (exit code 3)\n",
                    summary.stationLeft);
            }
            if (summary.framesDropped > 0) {
                std::printf("%ld frames were given up unstored (exit code 3)\n",
                            summary.framesDropped);
            }
            PrintRefused(summary);
            break;
        case DrainEnd::BackendAway:
            std::printf(
                "the backend does not answer: %ld records wait for it and %ld refill ranges are "
                "pending; they are copied from the station files when it answers (exit code "
                "%d)\n",
                summary.backendWaiting, summary.refillPending, ExitCode(summary));
            PrintRefused(summary);
            break;
        case DrainEnd::TimedOut:
            std::printf("the plug-in had not stored everything within --drain (exit code 3)\n");
            break;
        case DrainEnd::Stopped:
            std::printf(
                "stopped before the plug-in had stored everything; the rest is stored at the next "
                "start (exit code 2)\n");
            break;
    }
    if (summary.spoolUnavailable) {
        std::printf(
            "the frame spool could not be opened (the error log says why): frames were held in "
            "memory only, where a kill would have lost them (exit code 3)\n");
    }
    for (const auto& line : summary.health) std::printf("%s\n", line.c_str());
}

}  // namespace HostRun
