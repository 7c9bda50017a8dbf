#include "bench/BenchHost.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "host/HostDirectory.h"
#include "hostlib/HostSide.h"

std::vector<HostDirectory::BackendOptions> BenchBackends() {
    std::vector<HostDirectory::BackendOptions> backends(1);
    if (const char* port = std::getenv("VKT_PG_PORT"); port && *port) {
        HostDirectory::BackendOptions pg;
        pg.product = "postgresql";
        pg.pgPort = std::atoi(port);
        pg.pgDatabase = "windpower";
        pg.dataSource = "DAVADPG";
        backends.push_back(pg);
    } else {
        std::printf("(no PostgreSQL: VKT_PG_PORT is not set; SQLite only)\n");
        std::fflush(stdout);
    }
    return backends;
}

std::string MakeBenchHost(const HostDirectory::BackendOptions& backend) {
    char pattern[] = "/tmp/vkt-bench-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made) return {};
    const std::string dir = made;
    std::string error;
    if (!HostDirectory::Init(dir, true, backend, error) || !HostDirectory::Enter(dir, error) ||
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
