#pragma once

#include <string>

#include "platform/System.h"
#include "plugin/Exports.h"

// The plug-in as the host sees it: a library found by name and its seven exports.
class PluginLoader {
public:
    PluginLoader() = default;
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;
    ~PluginLoader();

    // Loads the library and resolves all seven exports; false (with `error`) when
    // the library or any export is missing.
    bool Load(const std::string& path, std::string& error);
    void Unload();

    PFN_GetExtDBInfo GetExtDBInfo = nullptr;
    PFN_VKTLibInit VKTLibInit = nullptr;
    PFN_SaveRTDB SaveRTDB = nullptr;
    PFN_EditProperty EditProperty = nullptr;
    PFN_OutLocalData OutLocalData = nullptr;
    PFN_CloseAccess CloseAccess = nullptr;
    PFN_VKTLibExit VKTLibExit = nullptr;

    // The plug-in among the host's own libraries (InstallLayout::HostLibrary), or
    // VKT_PLUGIN.
    static std::string DefaultPath();

private:
    System::DynamicLibrary m_library;
};
