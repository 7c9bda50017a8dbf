#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/System.h"

namespace System {

namespace {

struct KillSpec {
    std::string name;  // empty: no kill point set
    long nth = 1;
};

KillSpec ReadKillSpec() {
    KillSpec spec;
    const char* value = std::getenv("VKT_KILL_POINT");
    if (!value || !*value) return spec;
    spec.name = value;
    const size_t colon = spec.name.rfind(':');
    if (colon != std::string::npos) {
        spec.nth = std::max(1L, std::strtol(spec.name.c_str() + colon + 1, nullptr, 10));
        spec.name.resize(colon);
    }
    return spec;
}

}  // namespace

void KillPoint(const char* name) {
    static const KillSpec spec = ReadKillSpec();
    static std::atomic<long> reached{0};
    if (spec.name.empty() || spec.name != name) return;
    // A kill, not an exit: no destructor, no flush, no atexit handler runs.
    if (++reached >= spec.nth) std::_Exit(137);
}

}  // namespace System
