#include "host/HostRefill.h"

#include <cstdio>

#include "host/HostRun.h"

namespace HostRefill {

int Command(const Options& options) {
    HostRun::Options run;
    run.dir = options.dir;
    run.pluginPath = options.pluginPath;
    run.drainSeconds = options.drainSeconds;
    run.lingerSeconds = 0;
    run.refillOnly = true;
    HostRun::Summary summary;
    std::string error;
    if (HostRun::Run(run, summary, error) != 0) {
        std::fprintf(stderr, "vkthost: %s\n", error.c_str());
        return 1;
    }
    HostRun::Print(summary);
    std::printf("rows retried: %ld\nrows copied: %ld\nrows still refused: %ld\n",
                summary.rowsRetried, summary.rowsRefilled, summary.rowsRefused);
    return HostRun::ExitCode(summary);
}

}  // namespace HostRefill
