#include "plugin/ConfigWatch.h"

#include <filesystem>
#include <utility>
#include <vector>

#include "hostlib/VktBase.h"
#include "plugin/Config.h"
#include "storage/BackendDB.h"
#include "storage/WPSettings.h"

CConfigWatch::CConfigWatch(CWPSettingsStore& settings, CBackendDB& backend, std::string workingDir)
    : m_settings(settings), m_backend(backend), m_strWorkingDir(std::move(workingDir)) {}

CConfigWatch::Stamp CConfigWatch::Look() {
    Stamp stamp;
    stamp.identity = System::IdentityOf(kConfigFile);
    if (!stamp.identity) return stamp;
    std::error_code ec;
    stamp.size = std::filesystem::file_size(kConfigFile, ec);
    stamp.changed = std::filesystem::last_write_time(kConfigFile, ec).time_since_epoch().count();
    return stamp;
}

void CConfigWatch::Remember() {
    const Stamp now = Look();
    MutexLock guard(m_lock);
    m_seen = now;
}

bool CConfigWatch::TakeChange() {
    std::vector<std::string> changed;
    bool unreadable = false;
    {
        // Held while the file is read, so that a Remember after a save waits for it.
        MutexLock guard(m_lock);
        const Stamp now = Look();
        if (now == m_seen) return false;
        // A file that cannot be read would read as every default: looked at again at the
        // next pass, the settings kept meanwhile.
        if (now.identity && !System::CanRead(kConfigFile)) {
            unreadable = !std::exchange(m_bUnreadableNoted, true);
        } else {
            m_bUnreadableNoted = false;
            m_seen = now;
            if (!now.identity) return false;
            // Read as at start, not over the current set: a key emptied in the file must
            // not keep the value it had.
            CWPSettingsStore loaded;
            LoadConfig(loaded, m_strWorkingDir);
            changed = ChangedKeys(*m_settings.Get(), *loaded.Get());
            if (!changed.empty()) m_settings.Replace(*loaded.Get());
        }
    }
    // The log and the backend lock outside the watch's lock.
    if (unreadable) {
        WriteErrorInfo(
            "WPDB.ini changed but cannot be read: the working parameters stay as "
            "they were");
    }
    if (changed.empty()) return false;
    std::string names;
    for (const std::string& name : changed) names += (names.empty() ? "" : ", ") + name;
    WriteErrorInfo("WPDB.ini changed: working parameters reloaded (" + names + ")");
    m_backend.DisconnectBackend();
    return true;
}
