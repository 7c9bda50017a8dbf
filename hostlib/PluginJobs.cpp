// The plug-in's batch jobs and health figures, as the plug-in offers them to its host.
#include <atomic>
#include <mutex>
#include <optional>

#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"

namespace {

// Written by the plug-in on the user-interface thread, read by the host there.
std::atomic<CPluginJobs*> g_pJobs{nullptr};
std::atomic<CPluginHealthSource*> g_pHealth{nullptr};
std::mutex g_finalLock;
std::optional<CPluginHealth> g_finalHealth;  // guarded by g_finalLock

}  // namespace

void OfferPluginJobs(CPluginJobs* jobs) {
    g_pJobs = jobs;
}

CPluginJobs* VktHost::PluginJobs() {
    return g_pJobs.load();
}

void OfferPluginHealth(CPluginHealthSource* source) {
    g_pHealth = source;
}

CPluginHealthSource* VktHost::PluginHealth() {
    return g_pHealth.load();
}

void RecordFinalPluginHealth(const CPluginHealth& health) {
    std::lock_guard<std::mutex> guard(g_finalLock);
    g_finalHealth = health;
}

bool VktHost::FinalPluginHealth(CPluginHealth& health) {
    std::lock_guard<std::mutex> guard(g_finalLock);
    if (!g_finalHealth) return false;
    health = *g_finalHealth;
    return true;
}
