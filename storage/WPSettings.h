#pragma once

#include <memory>
#include <string>

#include "platform/Mutex.h"

// The plug-in's eleven working parameters.
struct CWPSettings {
    bool m_bSaveErrorData = false;  // [ERRORDATA] SAVEDATA: store abnormal values too
    std::string m_strSource;        // [DATABASE] SOURCENAME: backend data source
    std::string m_strPreName;       // [DATABASE] PRENAME: schema prefix, empty for none
    std::string m_strUser;          // [DATABASE] USER
    std::string m_strPassword;      // [DATABASE] PASSWORD
    bool m_bSaveBkgDB = true;       // [DATABASE] SAVEBKGDB: write backend rows
    int m_nType = 0;                // [DATABASE] TYPE: wind-farm kind, 1 = no hourly rows
    bool m_bSaveLocal = true;       // [LOCALDATA] SAVEDATA: write the station databases
    int m_nDataLen = 0;             // [LOCALDATA] DATALEN: years kept; below 1 keeps all
    bool m_bPermit = false;         // [TXT] PERMIT: write the reverse-isolation files
    std::string m_strDir;           // [TXT] DIR: directory of the reverse-isolation files

    // Whether hourly rows go to the backend: every wind-farm kind but 1 has them.
    bool WithHourlyRows() const { return m_nType != 1; }
};

// The current set of working parameters. A set is never changed in place: it is
// replaced as a whole, so a reader holding one sees either the old or the new set.
// Any thread.
class CWPSettingsStore {
public:
    CWPSettingsStore() : m_current(std::make_shared<const CWPSettings>()) {}

    // The current set. Cheap: a reference count.
    std::shared_ptr<const CWPSettings> Get() const EXCLUDES(m_lock);
    // Replaces the current set.
    void Replace(const CWPSettings& settings) EXCLUDES(m_lock);

private:
    mutable Mutex m_lock;
    std::shared_ptr<const CWPSettings> m_current GUARDED_BY(m_lock);
};
