#include "host/HostJobs.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "host/FrameFile.h"
#include "host/HostCommand.h"
#include "host/HostDirectory.h"
#include "host/RtuCatalogue.h"
#include "host/StandardInput.h"
#include "host/StopSignals.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "platform/ProgressModel.h"
#include "platform/TextNumber.h"

namespace HostJobs {

namespace {

constexpr int kBarWidth = 40;
constexpr int kPumpMs = 20;
// A job its worker has not taken up after this long is said to be waited for.
constexpr std::chrono::milliseconds kStartNoteDelay{1000};

const char* JobName(int kind) {
    return kind == CPluginJobs::kExport ? "export" : "rainfall recalculation";
}

bool ParseOptionTime(const std::string& text, const char* name, DateTime& time,
                     std::string& error) {
    const auto parsed = FrameFile::ParseOptionTime(text);
    if (!parsed) {
        error = FrameFile::OptionTimeError(name, text);
        return false;
    }
    time = *parsed;
    return true;
}

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// "12,13", "12, 13" or "all"; the numbers in order, each once.
bool ParseStationList(const std::string& text, bool& all, std::vector<int32_t>& numbers,
                      std::string& error) {
    all = Trimmed(text) == "all";
    if (all) return true;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        const auto number = ReadWholeNumber(Trimmed(item));
        if (!number) {
            error = "--stations takes RTU numbers separated by commas, or all: " + text;
            return false;
        }
        if (std::find(numbers.begin(), numbers.end(), *number) == numbers.end()) {
            numbers.push_back(*number);
        }
    }
    if (numbers.empty()) error = "--stations names no station";
    return !numbers.empty();
}

// The job's stations from the host catalogue. "all" takes every tower of the jobs'
// type and names what it leaves out; a station named on its own that is not such a
// tower is refused, as its units would find nothing to do.
bool SelectStations(const Options& options, std::vector<int32_t>& stations, std::string& error) {
    bool all = false;
    std::vector<int32_t> named;
    if (!ParseStationList(options.stations, all, named, error)) return false;
    const std::string jobType = std::to_string(RtuCatalogue::kJobTowerType);
    if (all) {
        CObList<CRTUDef> catalogue;
        CRTUDefRT::OutRTRTU(catalogue);
        std::string leftOut;
        for (const auto& def : catalogue) {
            if (def->m_nType == RtuCatalogue::kJobTowerType) {
                stations.push_back(def->m_nRTUID);
            } else {
                leftOut += (leftOut.empty() ? "" : ", ") + RtuCatalogue::Describe(*def);
            }
        }
        if (stations.empty()) {
            error = "--stations all: the host catalogue holds no tower of type " + jobType +
                    ", the towers the " + JobName(options.kind) + " takes";
            return false;
        }
        if (!leftOut.empty()) {
            std::printf(
                "note: --stations all leaves out the RTUs not of type %s, which the %s "
                "does not take: %s\n",
                jobType.c_str(), JobName(options.kind), leftOut.c_str());
        }
        return true;
    }
    std::string refused;
    for (const int32_t number : named) {
        const std::unique_ptr<CRTUDef> def = CRTUDefRT::GetRTUDefRT(number);
        if (!def) {
            refused += "; RTU " + std::to_string(number) + " is not in the host catalogue";
        } else if (def->m_nType != RtuCatalogue::kJobTowerType) {
            refused +=
                "; RTU " + RtuCatalogue::Describe(*def) + " is not a tower of type " + jobType;
        }
    }
    if (!refused.empty()) {
        error = "--stations: the " + std::string(JobName(options.kind)) + " takes towers of type " +
                jobType + " only" + refused + " (vkthost rtu list DIR lists the catalogue)";
        return false;
    }
    stations = named;
    return true;
}

// The progress of a job on the standard output: on a terminal a bar redrawn in place,
// elsewhere (a log, a pipe) one line at every tenth of the job. Other lines (notes, the
// message window) go between without breaking the bar. Any thread.
class ProgressOutput {
public:
    explicit ProgressOutput(bool terminal) : m_bTerminal(terminal) { m_bar.Resize(kBarWidth); }

    void Start(int total) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_nTotal = total;
        m_bar.SetRange(0, total);
        if (m_bTerminal) DrawInPlace();
    }

    void OnProgress(int units) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_nUnits = units;
        m_bar.OnJobProgress(units);
        if (m_bTerminal) {
            DrawInPlace();
            return;
        }
        const int tenth = m_nTotal > 0 ? static_cast<int>(10LL * units / m_nTotal) : 10;
        if (tenth > m_nTenthShown) {
            m_nTenthShown = tenth;
            std::printf("%s\n", BarText().c_str());
            std::fflush(stdout);
        }
    }

    // A line of its own; on a terminal the bar is drawn again below it.
    void Line(const std::string& text) {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_bBarShown) std::printf("\n");
        m_bBarShown = false;
        std::printf("%s\n", text.c_str());
        if (m_bTerminal && m_nTotal > 0) DrawInPlace();
        std::fflush(stdout);
    }

    // Ends the bar's line before the summary.
    void Finish() {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_bBarShown) std::printf("\n");
        m_bBarShown = false;
        std::fflush(stdout);
    }

private:
    std::string BarText() const {
        const int done = m_bar.DoneWidth(kBarWidth);
        return "[" + std::string(done, '#') + std::string(kBarWidth - done, '-') + "] " +
               m_bar.DisplayText() + " (" + std::to_string(m_nUnits) + "/" +
               std::to_string(m_nTotal) + ")";
    }

    void DrawInPlace() {
        std::printf("\r%s", BarText().c_str());
        std::fflush(stdout);
        m_bBarShown = true;
    }

    const bool m_bTerminal;
    std::mutex m_lock;
    CProgressModel m_bar;      // guarded by m_lock
    int m_nTotal = 0;          // guarded by m_lock
    int m_nUnits = 0;          // guarded by m_lock
    int m_nTenthShown = 0;     // guarded by m_lock
    bool m_bBarShown = false;  // guarded by m_lock: the cursor stands after the bar
};

}  // namespace

JobEnd TakeJobEnd(CPluginJobs& jobs, int kind, double seconds, bool abandoned) {
    return {kind,     jobs.LastOrder(kind), jobs.Summary(kind), jobs.RowsRead(kind), seconds,
            abandoned};
}

int PrintJobEnd(const JobEnd& end) {
    const CJobSummary& summary = end.summary;
    const bool export_ = end.kind == CPluginJobs::kExport;
    std::printf("%s %s: %d of %d units in %.1f s\n", JobName(end.kind),
                summary.bComplete && !end.abandoned ? "complete" : "stopped", summary.nUnits,
                end.order.nUnits, end.seconds);
    if (export_) {
        std::printf("rows copied: %ld\nrows already present: %ld\nrows failed: %ld\n",
                    summary.nCopied, summary.nPresent, summary.nFailed);
    } else {
        long rows = 0;
        for (const auto& [station, read] : end.rowsRead) rows += read;
        std::printf("rows read: %ld\nreads or updates failed: %ld\n", rows, summary.nFailed);
    }
    if (end.abandoned || !summary.bComplete) {
        std::printf("stopped by the operator before the end (exit code 2)\n");
        std::fflush(stdout);
        return 2;
    }
    for (const int32_t station : end.order.stations) {
        const auto it = end.rowsRead.find(station);
        if (it != end.rowsRead.end() && it->second > 0) continue;
        const std::unique_ptr<CRTUDef> def = CRTUDefRT::GetRTUDefRT(station);
        std::printf("note: RTU %d \"%s\": no rows read from %s to %s, nothing to %s\n", station,
                    def ? def->m_strName.c_str() : "", end.order.from.Format().c_str(),
                    end.order.to.Format().c_str(), export_ ? "copy" : "recalculate");
    }
    int code = 0;
    if (summary.nFailed > 0) {
        std::printf("%ld %s failed: not everything was %s (exit code 3)\n", summary.nFailed,
                    export_ ? "rows" : "reads or updates", export_ ? "copied" : "recalculated");
        code = 3;
    }
    std::fflush(stdout);
    return code;
}

namespace {

bool ParseRange(const Options& options, DateTime& from, DateTime& to, std::string& error) {
    if (!ParseOptionTime(options.from, "--from", from, error) ||
        !ParseOptionTime(options.to, "--to", to, error)) {
        return false;
    }
    if (!(from < to)) {
        error = "--from must be earlier than --to";
        return false;
    }
    return true;
}

void SayWhatIsWaitedFor(CPluginJobs& jobs, int kind, ProgressOutput& output) {
    if (jobs.JobStarted(kind)) return;
    output.Line(std::string("waiting for the plug-in's ") + JobName(kind) +
                " worker to take up the job" +
                (kind == CPluginJobs::kRainfall
                     ? " (it takes jobs from about 10 s after the plug-in starts)"
                     : ""));
}

// Pumps the progress window's messages until the job is over (true) or a second stop
// signal abandons the wait (false); the first one asks the job to stop.
bool WaitForJob(CPluginJobs& jobs, int kind, ProgressOutput& output, CStopSignals& stopSignals,
                const bool& over) {
    const auto started = std::chrono::steady_clock::now();
    bool stopAsked = false;
    bool startLookedAt = false;
    while (!over) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kPumpMs));
        MessageLayer::PumpMessages();
        const std::vector<int> taken = stopSignals.Take();
        if (stopSignals.Count() >= 2) {
            output.Line("second stop signal (" + CStopSignals::Name(taken.back()) +
                        "): no longer waiting for the job; the plug-in is stopped");
            return false;
        }
        if (stopSignals.Count() == 1 && !stopAsked) {
            output.Line("stop requested (" + CStopSignals::Name(taken.back()) +
                        "): the job ends after the current unit (a second Ctrl-C or "
                        "SIGTERM stops waiting for it)");
            jobs.RequestStop(kind);
            stopAsked = true;
        }
        if (!startLookedAt && std::chrono::steady_clock::now() - started >= kStartNoteDelay) {
            startLookedAt = true;
            SayWhatIsWaitedFor(jobs, kind, output);
        }
    }
    return true;
}

}  // namespace

int Run(const Options& options, std::string& error) {
    DateTime from, to;
    if (!ParseRange(options, from, to, error)) return 1;
    // From its first step a stop signal is the stop button, however early it comes.
    CHostCommand command(options.kind == CPluginJobs::kExport ? "export" : "recalc-rain",
                         options.pluginPath);
    if (!command.Enter(options.dir, "", error) || !command.Prepare(error)) return 1;
    std::vector<int32_t> stations;
    if (!SelectStations(options, stations, error)) return 1;
    ProgressOutput output(StandardOutputIsTerminal());
    const auto show = [&output](const std::string& text) {
        std::string line = text;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        output.Line("[message window] " + line);
    };
    if (!command.Start(show, error)) return 1;
    CPluginJobs* jobs = VktHost::PluginJobs();
    if (!jobs) {
        error = "the plug-in offers no batch jobs";
        return 1;
    }
    bool over = false;
    const WindowHandle progress = MessageLayer::RegisterWindow([&](const Message& message) {
        if (message.message == kMsgJobProgress) {
            output.OnProgress(static_cast<int>(message.wParam));
        } else if (message.message == kMsgJobOver) {
            over = true;
        }
    });
    struct ForgetWindow {
        WindowHandle handle;
        ~ForgetWindow() { MessageLayer::UnregisterWindow(handle); }
    } forgetWindow{progress};
    const auto started = std::chrono::steady_clock::now();
    const int total = jobs->StartJob(options.kind, stations, from, to, progress);
    if (total < 0) {
        error = std::string("the ") + JobName(options.kind) +
                " could not start: one of its kind is running";
        return 1;
    }
    output.Start(total);
    const bool abandoned = !WaitForJob(*jobs, options.kind, output, *command.StopSignals(), over);
    output.Finish();
    const JobEnd end = TakeJobEnd(
        *jobs, options.kind,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
        abandoned);
    // Stopping the plug-in ends a job it still runs after the current unit; a third
    // stop signal meanwhile is counted and changes nothing.
    command.Stop();
    return PrintJobEnd(end);
}

}  // namespace HostJobs
