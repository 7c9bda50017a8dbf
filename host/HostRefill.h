#pragma once

#include <string>

// `vkthost refill DIR`: the plug-in is started with no frames and runs until its refill
// journal is drained, the rows its quarantine handed back at the start among them.
namespace HostRefill {

struct Options {
    std::string dir;
    std::string pluginPath;      // empty: next to the host program
    double drainSeconds = -1.0;  // as run's --drain
};

// Prints how many rows were retried, copied and are still refused. 0 when none is
// refused and everything was copied, 1 when it could not start, 3 otherwise.
int Command(const Options& options);

}  // namespace HostRefill
