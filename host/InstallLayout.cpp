#include "host/InstallLayout.h"

#include <filesystem>

#include "platform/System.h"

namespace InstallLayout {

std::string HostLibrary(const std::string& name) {
    namespace fs = std::filesystem;
    const std::string file = System::LibraryFileName(name);
    const fs::path bin = fs::path(System::ExecutablePath()).parent_path();
    // The private folder as the install rules place it, relative to the program's.
    const fs::path installed = (bin / VKT_PRIVATE_LIBDIR_FROM_BINDIR).lexically_normal() / file;
    std::error_code ec;
    for (const fs::path& candidate : {installed, bin.parent_path() / "lib" / file}) {
        if (fs::exists(candidate, ec)) return candidate.generic_string();
    }
    return (bin / file).generic_string();
}

}  // namespace InstallLayout
