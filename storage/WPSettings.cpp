#include "storage/WPSettings.h"

#include <mutex>

namespace {

std::mutex g_settingsLock;
std::shared_ptr<const CWPSettings> g_settings =
    std::make_shared<const CWPSettings>();  // guarded by g_settingsLock

}  // namespace

namespace WPSettings {

std::shared_ptr<const CWPSettings> Get() {
    std::lock_guard<std::mutex> guard(g_settingsLock);
    return g_settings;
}

void Replace(const CWPSettings& settings) {
    auto replacement = std::make_shared<const CWPSettings>(settings);
    std::lock_guard<std::mutex> guard(g_settingsLock);
    g_settings = std::move(replacement);
}

void ResetToInitial() {
    Replace(CWPSettings{});
}

}  // namespace WPSettings
