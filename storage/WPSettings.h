#pragma once

#include <memory>
#include <string>

// The plug-in's eleven working parameters. A set is never changed in place: it is
// replaced as a whole, so a reader holding one sees either the old or the new set.
struct CWPSettings {
    bool m_bSaveErrorData = false;  // [ERRORDATA] SAVEDATA: store abnormal values too
    std::string m_strSource;        // [DATABASE] SOURCENAME: backend data source
    std::string m_strPreName;       // [DATABASE] PRENAME: schema prefix, empty for none
    std::string m_strUser;          // [DATABASE] USER
    std::string m_strPassword;      // [DATABASE] PASSWORD
    bool m_bSaveBkgDB = true;       // [DATABASE] SAVEBKGDB: write backend rows
    int m_nType = 0;                // [DATABASE] TYPE: wind-farm kind, 1 = no hourly rows
    bool m_bSaveLocal = true;       // [LOCALDATA] SAVEDATA: write the station databases
    int m_nDataLen = 0;             // [LOCALDATA] DATALEN: years of station data kept
    bool m_bPermit = false;         // [TXT] PERMIT: write the reverse-isolation files
    std::string m_strDir;           // [TXT] DIR: directory of the reverse-isolation files
};

namespace WPSettings {

// The current set; any thread. Cheap: a reference count.
std::shared_ptr<const CWPSettings> Get();
// Replaces the current set; any thread.
void Replace(const CWPSettings& settings);
// Back to the values the plug-in has before its configuration is loaded.
void ResetToInitial();

}  // namespace WPSettings
