#include "host/PluginBackend.h"

#include "platform/IniFile.h"
#include "plugin/ConfigFile.h"

PluginBackend ReadPluginBackend() {
    using namespace ConfigFile;
    return {IniFile::GetString(kPath, "DATABASE", "SOURCENAME", kDefaultSource),
            IniFile::GetString(kPath, "DATABASE", "USER", kDefaultUser),
            IniFile::GetString(kPath, "DATABASE", "PASSWORD", kDefaultPassword),
            IniFile::GetString(kPath, "DATABASE", "PRENAME", "")};
}
