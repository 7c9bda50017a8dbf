#include "host/PluginLoader.h"

#include <cstdlib>
#include <filesystem>

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
    const std::string file = System::LibraryFileName("VKTEXTDB_WINDPOWER");
    const std::filesystem::path bin = std::filesystem::path(System::ExecutablePath()).parent_path();
    // Linux keeps libraries in lib/ beside bin/; Windows keeps them beside the program.
    const std::filesystem::path besideBin = bin.parent_path() / "lib" / file;
    std::error_code ec;
    if (std::filesystem::exists(besideBin, ec)) return besideBin.generic_string();
    return (bin / file).generic_string();
}
