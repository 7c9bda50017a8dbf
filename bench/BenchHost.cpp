#include "bench/BenchHost.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "host/HostDirectory.h"
#include "hostlib/HostSide.h"

std::string MakeBenchHost() {
    char pattern[] = "/tmp/vkt-bench-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made) return {};
    const std::string dir = made;
    std::string error;
    if (!HostDirectory::Init(dir, true, {}, error) || !HostDirectory::Enter(dir, error) ||
        !VktHost::LoadHostCatalogue()) {
        std::fprintf(stderr, "cannot make a host in %s: %s\n", dir.c_str(), error.c_str());
        return {};
    }
    return dir;
}

void RemoveBenchHost(const std::string& dir) {
    VktHost::CloseHost();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}
