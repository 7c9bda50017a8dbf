#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Mutex.h"
#include "platform/System.h"

class CBackendDB;
class CWPSettingsStore;

// Takes a WPDB.ini changed while the plug-in runs (by `vkthost settings`, by hand) as the
// working-parameters dialog's OK does: the settings are replaced as a whole, read as at
// start, and the backend connection is closed, so that the next statement logs in with
// what the file now says. The file is told changed by its identity (a file renamed into
// place is another file), its size and its time of last change.
class CConfigWatch {
public:
    // The stores outlive the watch.
    CConfigWatch(CWPSettingsStore& settings, CBackendDB& backend, std::string workingDir);

    // Notes the file as it is now, so that what the plug-in itself loaded or saved is no
    // change. Before LoadConfig at start; after SaveConfig. Any thread.
    void Remember() EXCLUDES(m_lock);
    // Reloads the settings when the file is not the one remembered, with one line in the
    // error log naming the keys that changed (never a value); a file gone keeps the
    // settings as they are, and so does a file that cannot be read (logged once, looked at
    // again at the next call). Returns whether it reloaded. Any thread; the storage thread
    // calls it once a pass.
    bool TakeChange() EXCLUDES(m_lock);

private:
    struct Stamp {
        std::optional<System::FileIdentity> identity;  // absent: no file
        uintmax_t size = 0;
        int64_t changed = 0;  // time of last change, in the file system's ticks
        bool operator==(const Stamp&) const = default;
    };
    static Stamp Look();

    CWPSettingsStore& m_settings;
    CBackendDB& m_backend;
    const std::string m_strWorkingDir;
    Mutex m_lock;
    Stamp m_seen GUARDED_BY(m_lock);
    bool m_bUnreadableNoted GUARDED_BY(m_lock) = false;
};
