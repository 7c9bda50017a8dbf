#pragma once

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/LiveSource.h"
#include "host/MqttSource.h"
#include "hostlib/VktRecords.h"

class PluginLoader;

// The one way frames reach the plug-in, for every command that acquires (run, gui and
// the service): which sources a command line names and their opening, the hand-over of
// each frame (the host's bookkeeping, then SaveRTDB), what becomes of a refused one and
// of bad input. Frames known at the start (a frames file, a simulated span) come first,
// then any number of continuous sources at once, each fed and acknowledged on its own.
namespace Acquisition {

// Where a command's frames come from, as its command line names them.
struct SourceOptions {
    std::string framesFile;    // frames to acquire, JSON Lines
    std::string followFile;    // frames appended to this file ("-": standard input)
    std::string inboxDir;      // frames files renamed into this folder
    std::string simulateSpan;  // simulated frames; "live[:SPEED]" runs until stopped
    bool configured = false;   // the loggers of DIR/sources.json, taken anew when it changes
    std::string mqttAddress;   // HOST:PORT of a broker whose messages are frames
    CMqttOptions mqtt;         // its topic, client id and login (host and port from the address)
    std::string mqttPasswordFile;

    // Whether any source is named at all.
    bool Any() const;
};

// The input paths made absolute before the host directory is entered.
SourceOptions Resolved(const SourceOptions& options);

struct Counts {
    long read = 0;      // frames the sources brought, each once
    long accepted = 0;  // frames SaveRTDB took
    long refused = 0;   // frames refused, each counted once
    long skipped = 0;   // input that gave no frame
};

// What the pipeline tells as it goes; each command shows it its own way.
class Reporter {
public:
    virtual ~Reporter() = default;
    // Input that gave no frame: "line 12: reason" from `origin` ("--frames").
    virtual void Skipped(const std::string& origin, const std::string& lineAndReason) = 0;
    // A frame the plug-in refused, told once, as one line.
    virtual void Refused(const std::string& line) = 0;
    // What a source saw that an operator should know (a rotation, a device gone).
    virtual void Note(const std::string& origin, const std::string& note) = 0;
    // A frame offered for the first time, whatever became of it.
    virtual void Offered(const CDataFrame& frame) { (void)frame; }
    // The frames known at the start are all offered; what became of them so far.
    virtual void ReplayEnded(const Counts& counts) { (void)counts; }
    // Between turns: the command's own chores (messages pumped, the watchdog, status).
    virtual void Idle() {}
};

class CPipeline {
public:
    CPipeline();
    ~CPipeline();
    CPipeline(const CPipeline&) = delete;
    CPipeline& operator=(const CPipeline&) = delete;

    // Opens what can be found wrong without the host database: the frames file, a
    // followed file, an inbox, the broker's options. False (with `error`) when one cannot
    // be opened or the sources do not go together; then nothing was touched.
    bool OpenFiles(const SourceOptions& options, Reporter& reporter, std::string& error);
    // Opens what needs the host's catalogue or its lock (the current directory is the
    // host directory, prepared): simulated towers, the broker, the configured loggers.
    bool OpenWithCatalogue(const SourceOptions& options, std::string& error);

    // Every accepted frame as "RTU time", appended the moment SaveRTDB returned (what a
    // kill leaves in it was accepted). Empty: none.
    void NoteAcceptedIn(const std::string& path);

    // Whether continuous sources are open: the run goes on until stopped.
    bool Continuous() const;
    // Offers the frames known at the start, then acquires from the continuous sources
    // until `stop` says so or every one has ended.
    void Run(PluginLoader& plugin, Reporter& reporter, const std::function<bool()>& stop);

    Counts Totals() const;
    // How each source that reads a device or a broker fares; safe from any thread.
    std::vector<CSourceHealth> Health() const;

private:
    struct Live;
    struct Frames {
        std::vector<CDataFrame> frames;
        std::vector<std::string> origins;
    };
    // `live`: the frame is a continuous source's, offered again while it is refused for
    // now; `again`: it was refused for now before, and told of then.
    FrameOutcome HandOver(const CDataFrame& frame, const std::string& origin, PluginLoader& plugin,
                          Reporter& reporter, bool live, bool again);
    bool AddLive(const std::string& origin, std::unique_ptr<CLiveSource> source,
                 std::string& error);
    void TurnAll(PluginLoader& plugin, Reporter& reporter, bool& busy);
    // The loggers of sources.json opened in place of those open before; false (with
    // `error`, those before kept) when one cannot be.
    bool OpenConfigured(std::string& error);
    void ReloadConfiguredIfChanged(Reporter& reporter);
    void SettleAll(Reporter& reporter);

    Frames m_known;
    CMqttOptions m_mqtt;
    std::vector<std::unique_ptr<Live>> m_live;
    bool m_bConfigured = false;
    size_t m_nConfigured = 0;
    std::filesystem::file_time_type m_configTime;
    std::chrono::steady_clock::time_point m_nextConfigLook;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> m_acceptedLog;
    mutable std::mutex m_lock;  // guards m_counts and what Health reads of m_live
    Counts m_counts;
};

}  // namespace Acquisition
