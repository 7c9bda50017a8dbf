#include "host/ServiceNotify.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "hostlib/HostSide.h"

#if VKT_WITH_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace ServiceNotify {

namespace {

using Clock = std::chrono::steady_clock;

// Set by Ready(), read and moved on by Alive(); the main thread only.
bool g_bReady = false;
Clock::duration g_watchdogPace{0};  // half the manager's interval; zero: no watchdog
Clock::duration g_statusPace{0};
Clock::time_point g_nextWatchdog;
Clock::time_point g_nextStatus;

// Whether a manager waits for word from this process.
bool Managed() {
#if VKT_WITH_SYSTEMD
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket && *socket;
#else
    return false;
#endif
}

// Hands the lines to the manager; whether it got them changes nothing for the run.
void Send(const std::string& state) {
#if VKT_WITH_SYSTEMD
    sd_notify(0, state.c_str());
#else
    (void)state;
#endif
}

// The watchdog interval the manager asked this process for, or zero.
Clock::duration WatchdogInterval() {
#if VKT_WITH_SYSTEMD
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) return std::chrono::microseconds(usec);
#endif
    return Clock::duration::zero();
}

std::function<std::vector<CSourceHealth>()> g_sources;

std::string CurrentStatus() {
    CPluginHealthSource* source = VktHost::PluginHealth();
    std::string line =
        source ? StatusLine(source->Health()) : std::string("the plug-in reports no health");
    const std::string sources = g_sources ? SourcesText(g_sources()) : std::string();
    return sources.empty() ? line : line + "; " + sources;
}

std::string TimeText(const DateTime& time) {
    return time.IsValid() ? time.Format() : "-";
}

std::string StoreText(const char* name, const CStoreHealth& store) {
    std::string text = std::string(name) + ": queued " + std::to_string(store.nQueued) +
                       ", written " + std::to_string(store.nWritten) + ", failed " +
                       std::to_string(store.nFailed);
    if (store.nNotRun > 0) text += ", not run " + std::to_string(store.nNotRun);
    if (store.tOutageSince.IsValid()) text += ", outage since " + TimeText(store.tOutageSince);
    if (store.tStalledSince.IsValid()) text += ", stalled since " + TimeText(store.tStalledSince);
    return text;
}

}  // namespace

void Ready() {
    if (!Managed()) return;
    const Clock::duration interval = WatchdogInterval();
    g_watchdogPace = interval / 2;
    const Clock::duration statusMost =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kStatusSeconds));
    g_statusPace = g_watchdogPace > Clock::duration::zero() ? std::min(g_watchdogPace, statusMost)
                                                            : statusMost;
    const Clock::time_point now = Clock::now();
    g_nextWatchdog = now + g_watchdogPace;
    g_nextStatus = now + g_statusPace;
    g_bReady = true;
    Send("READY=1\nSTATUS=" + CurrentStatus());
}

void Alive() {
    if (!g_bReady) return;
    const Clock::time_point now = Clock::now();
    std::string state;
    if (g_watchdogPace > Clock::duration::zero() && now >= g_nextWatchdog) {
        state += "WATCHDOG=1\n";
        g_nextWatchdog = now + g_watchdogPace;
    }
    if (now >= g_nextStatus) {
        state += "STATUS=" + CurrentStatus();
        g_nextStatus = now + g_statusPace;
    }
    if (!state.empty()) Send(state);
}

void Stopping() {
    if (!g_bReady) return;
    Send("STOPPING=1\nSTATUS=stopping; " + CurrentStatus());
}

void WatchSources(std::function<std::vector<CSourceHealth>()> sources) {
    g_sources = std::move(sources);
}

std::string SourcesText(const std::vector<CSourceHealth>& sources) {
    if (sources.empty()) return {};
    std::string silent;
    size_t answering = 0;
    for (const CSourceHealth& source : sources) {
        if (source.answering) {
            ++answering;
            continue;
        }
        silent += (silent.empty() ? "; not: " : ", ") + source.name +
                  (source.lastError.empty() ? "" : " (" + source.lastError + ")");
    }
    return "sources: " + std::to_string(answering) + " of " + std::to_string(sources.size()) +
           " answering" + silent;
}

std::string StatusLine(const CPluginHealth& health) {
    return StoreText("backend", health.backend) + "; " +
           StoreText("station files", health.station) + "; " +
           StoreText("isolation files", health.isolation) + "; frames dropped " +
           std::to_string(health.nFramesDropped) + ", refill ranges pending " +
           std::to_string(health.nRefillPending);
}

}  // namespace ServiceNotify
