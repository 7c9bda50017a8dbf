#include "host/PluginLoader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

namespace {

template <typename Fn>
bool Resolve(void* handle, const char* name, Fn& fn, std::string& error) {
    fn = reinterpret_cast<Fn>(dlsym(handle, name));
    if (!fn) error = std::string("the plug-in lacks the export ") + name;
    return fn != nullptr;
}

}  // namespace

PluginLoader::~PluginLoader() {
    Unload();
}

bool PluginLoader::Load(const std::string& path, std::string& error) {
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) {
        const char* reason = dlerror();
        error = "cannot load the plug-in " + path + ": " + (reason ? reason : "");
        return false;
    }
    const bool complete = Resolve(m_handle, "GetExtDBInfo", GetExtDBInfo, error) &&
                          Resolve(m_handle, "VKTLibInit", VKTLibInit, error) &&
                          Resolve(m_handle, "SaveRTDB", SaveRTDB, error) &&
                          Resolve(m_handle, "EditProperty", EditProperty, error) &&
                          Resolve(m_handle, "OutLocalData", OutLocalData, error) &&
                          Resolve(m_handle, "CloseAccess", CloseAccess, error) &&
                          Resolve(m_handle, "VKTLibExit", VKTLibExit, error);
    if (!complete) Unload();
    return complete;
}

void PluginLoader::Unload() {
    if (m_handle) dlclose(m_handle);
    m_handle = nullptr;
}

std::string PluginLoader::DefaultPath() {
    if (const char* path = std::getenv("VKT_PLUGIN")) return path;
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return "libVKTEXTDB_WINDPOWER.so";
    exe[n] = 0;
    return (std::filesystem::path(exe).parent_path().parent_path() / "lib" /
            "libVKTEXTDB_WINDPOWER.so")
        .string();
}
