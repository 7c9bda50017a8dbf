#include "host/HostRun.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "host/Acquisition.h"
#include "host/ErrorLogTail.h"
#include "host/ExitCode.h"
#include "host/HostCommand.h"
#include "host/HostDirectory.h"
#include "host/PluginLoader.h"
#include "host/ServiceNotify.h"
#include "host/StopSignals.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "platform/Clock.h"
#include "platform/ErrorLog.h"
#include "platform/MessageLayer.h"

namespace HostRun {

namespace {

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

// Prints the plug-in's health, and how the sources that read devices fare, stamped
// with the process clock, every `seconds` (0: never).
class StatusPrinter {
public:
    // The first figures come at once: a service's log shows it started.
    explicit StatusPrinter(double seconds, const Acquisition::CPipeline* pipeline = nullptr)
        : m_seconds(seconds), m_pipeline(pipeline) {
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
        if (m_pipeline) PrintLines(SourceHealthLines(m_pipeline->Health()));
        Schedule();
    }

private:
    void Schedule() {
        m_next = std::chrono::steady_clock::now() +
                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(m_seconds));
    }
    const double m_seconds;
    const Acquisition::CPipeline* const m_pipeline;
    std::chrono::steady_clock::time_point m_next;
};

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

std::vector<std::string> SourceHealthLines(const std::vector<CSourceHealth>& sources) {
    std::vector<std::string> lines;
    for (const CSourceHealth& source : sources) {
        lines.push_back("  source " + source.name + ": " +
                        (source.answering ? "answering" : "not answering") + ", last frame " +
                        TimeText(source.lastFrame) + ", failed reads " +
                        std::to_string(source.failedReads) +
                        (source.lastError.empty() ? "" : ", last error: " + source.lastError));
    }
    return lines;
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

namespace {

// The plug-in's messages on the standard output, and in the summary.
std::function<void(const std::string&)> MessagesTo(Summary& summary, std::mutex& lock) {
    return [&summary, &lock](const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        std::string line = text;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        std::printf("[message window] %s\n", line.c_str());
        std::fflush(stdout);
        summary.messages.push_back(line);
    };
}

// What the acquisition tells, on the terminal as it comes and in the summary.
class TerminalReporter : public Acquisition::Reporter {
public:
    TerminalReporter(Summary& summary, double statusSeconds, const Acquisition::CPipeline& pipeline)
        : m_summary(summary), m_statusSeconds(statusSeconds), m_pipeline(pipeline) {}

    // Health lines from now on: the plug-in runs.
    void StartStatus() { m_status.emplace(m_statusSeconds, &m_pipeline); }

    void Skipped(const std::string& origin, const std::string& lineAndReason) override {
        std::fprintf(stderr, "frame skipped: %s %s\n", origin.c_str(), lineAndReason.c_str());
        m_summary.inputErrors.push_back(lineAndReason);
    }
    void Refused(const std::string& line) override {
        std::fprintf(stderr, "frame refused: %s\n", line.c_str());
    }
    void Note(const std::string& origin, const std::string& note) override {
        std::printf("%s: %s\n", origin.c_str(), note.c_str());
        std::fflush(stdout);
        m_summary.sourceNotes.push_back(note);
    }
    void Idle() override {
        MessageLayer::PumpMessages();
        ServiceNotify::Alive();
        if (m_status) m_status->PrintIfDue();
        PrintNewErrorLogEntries();
    }

private:
    // An outage's begin (with its reason) and end reach the service's journal as they
    // happen, a line each, not only the error log.
    void PrintNewErrorLogEntries() {
        // Looked at twice a second: a replay's turns come a frame at a time.
        const auto now = std::chrono::steady_clock::now();
        if (now < m_nextLogLook) return;
        m_nextLogLook = now + std::chrono::milliseconds(500);
        for (const CErrorLogTail::Entry& entry : m_errorLog.NewEntries()) {
            std::string text = entry.text;
            for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at)) {
                text.replace(at, 1, "; ");
            }
            std::printf("[error log] %s %s\n", entry.stamp.c_str(), text.c_str());
            std::fflush(stdout);
        }
    }

    Summary& m_summary;
    CErrorLogTail m_errorLog;
    std::chrono::steady_clock::time_point m_nextLogLook;
    const double m_statusSeconds;
    const Acquisition::CPipeline& m_pipeline;
    std::optional<StatusPrinter> m_status;
};

bool SourcesGiven(const Options& options, std::string& error) {
    if (options.refillOnly || options.Any()) return true;
    error =
        "run needs frames to acquire: --frames FILE, --follow FILE (- for standard input), "
        "--inbox DIR, --simulate SPAN, --sources or --mqtt HOST:PORT";
    return false;
}

// Acquires until the sources end or, for continuous ones, the first stop signal.
void Acquire(Acquisition::CPipeline& pipeline, PluginLoader& plugin, TerminalReporter& reporter,
             Summary& summary) {
    summary.continuous = pipeline.Continuous();
    reporter.StartStatus();
    pipeline.Run(plugin, reporter, [] { return CStopSignals::Arrived() > 0; });
    const Acquisition::Counts counts = pipeline.Totals();
    summary.framesRead = static_cast<int>(counts.read);
    summary.accepted = static_cast<int>(counts.accepted);
    summary.refused = static_cast<int>(counts.refused);
}

}  // namespace

int Run(const Options& options, Summary& summary, std::string& error) {
    Options resolved = options;
    static_cast<Acquisition::SourceOptions&>(resolved) = Acquisition::Resolved(options);
    resolved.acceptedFile = HostDirectory::InputPath(resolved.acceptedFile);
    if (!SourcesGiven(resolved, error)) return 1;
    CHostCommand command("run", resolved.pluginPath);
    if (!command.Enter(resolved.dir, resolved.now, error)) return 1;
    Acquisition::CPipeline pipeline;
    TerminalReporter reporter(summary, resolved.statusSeconds, pipeline);
    if (!pipeline.OpenFiles(resolved, reporter, error)) return 1;
    if (!command.Prepare(error)) return 1;
    if (!pipeline.OpenWithCatalogue(resolved, error)) return 1;
    pipeline.NoteAcceptedIn(resolved.acceptedFile);
    const std::streamoff logStart = FileSize(ErrorLog::FileName());
    std::mutex messagesLock;
    if (!command.Start(MessagesTo(summary, messagesLock), error)) return 1;
    // Ready once the plug-in runs: a manager may stop the host at once.
    ServiceNotify::WatchSources([&pipeline] { return pipeline.Health(); });
    ServiceNotify::Ready();
    Acquire(pipeline, command.Plugin(), reporter, summary);
    ServiceNotify::Stopping();
    ServiceNotify::WatchSources(nullptr);
    // A finite run's first stop signal cuts the wait; a continuous run's first one
    // ended its acquisition.
    const bool live = summary.continuous;
    const bool drainGiven = resolved.drainSeconds >= 0;
    // A continuous run's stop is a service's normal end: its rows wait safe in the station
    // files for a backend that is away, so its --drain bounds only the wait for them.
    summary.drainEnd = WaitUntilDrained(drainGiven ? resolved.drainSeconds : kDefaultDrainSeconds,
                                        resolved.statusSeconds, live ? 2 : 1, drainGiven && !live);
    summary.drained = summary.drainEnd == DrainEnd::Stored;
    if (!live && summary.drainEnd != DrainEnd::Stopped) Linger(resolved.lingerSeconds);
    if (CPluginHealthSource* source = VktHost::PluginHealth()) {
        summary.backendWaiting = source->Health().backend.nQueued;
    }
    command.Stop();
    TakeFinalHealth(summary);
    summary.errorLog = ReadLinesFrom(ErrorLog::FileName(), logStart);
    return 0;
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
    summary.recordsRefused = final.backend.nFailed;
    summary.rowsRetried = final.nRowsRetried;
    summary.rowsRefilled = final.nRowsRefilled;
}

int ExitCode(const Summary& summary) {
    const bool stationFilesHaveAll =
        summary.framesDropped == 0 && summary.stationLeft == 0 && !summary.spoolUnavailable;
    const bool allKept =
        stationFilesHaveAll && summary.rowsRefused == 0 && summary.recordsRefused == 0;
    switch (summary.drainEnd) {
        case DrainEnd::Stored:
            return ToInt(allKept ? ::ExitCode::Done : ::ExitCode::Pending);
        case DrainEnd::Stopped:
            return ToInt(::ExitCode::Stopped);
        case DrainEnd::BackendAway:
            // A service's stop is its normal end: what waits for the backend is safe in
            // the station files and copied from there when it answers.
            return ToInt(summary.continuous && allKept ? ::ExitCode::Done : ::ExitCode::Pending);
        case DrainEnd::TimedOut:
            break;
    }
    return ToInt(::ExitCode::Pending);
}

namespace {

void PrintRefused(const Summary& summary) {
    if (summary.rowsRefused > 0) {
        std::printf(
            "the backend answered and refused %ld rows; they are kept in the station files' "
            "quarantine (vkthost report lists them) and sent again by vkthost refill or the "
            "next start (exit code 3)\n",
            summary.rowsRefused);
    } else if (summary.recordsRefused > 0) {
        // Without station files nothing keeps what the backend refused.
        std::printf(
            "the backend answered and refused the rows of %ld records; with the station files "
            "off ([LOCALDATA] SAVEDATA=0) nothing keeps them (VKTError.log names the first "
            "refusal; exit code 3)\n",
            summary.recordsRefused);
    }
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
