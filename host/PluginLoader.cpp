#include "host/PluginLoader.h"

#include <cstdlib>

#include "host/InstallLayout.h"

namespace {

template <typename Fn>
bool Resolve(const System::DynamicLibrary& library, const char* name, Fn& fn, std::string& error) {
    fn = reinterpret_cast<Fn>(library.Symbol(name));
    if (!fn) error = std::string("the plug-in lacks the export ") + name;
    return fn != nullptr;
}

}  // namespace

PluginLoader::~PluginLoader() {
    Unload();
}

bool PluginLoader::Load(const std::string& path, std::string& error) {
    std::string reason;
    if (!m_library.Open(path, reason)) {
        error = "cannot load the plug-in " + path + ": " + reason;
        return false;
    }
    const bool complete = Resolve(m_library, "GetExtDBInfo", GetExtDBInfo, error) &&
                          Resolve(m_library, "VKTLibInit", VKTLibInit, error) &&
                          Resolve(m_library, "SaveRTDB", SaveRTDB, error) &&
                          Resolve(m_library, "EditProperty", EditProperty, error) &&
                          Resolve(m_library, "OutLocalData", OutLocalData, error) &&
                          Resolve(m_library, "CloseAccess", CloseAccess, error) &&
                          Resolve(m_library, "VKTLibExit", VKTLibExit, error);
    if (!complete) Unload();
    return complete;
}

void PluginLoader::Unload() {
    m_library.Close();
}

std::string PluginLoader::DefaultPath() {
    if (const char* path = std::getenv("VKT_PLUGIN")) return path;
    return InstallLayout::HostLibrary("VKTEXTDB_WINDPOWER");
}
