#include <sys/resource.h>

#include <csignal>

#include "tests/support/FileSizeLimit.h"

FileSizeLimit::FileSizeLimit(uint64_t bytes) {
    std::signal(SIGXFSZ, SIG_IGN);  // the write fails instead of ending the process
    rlimit previous{};
    if (getrlimit(RLIMIT_FSIZE, &previous) != 0 || bytes > previous.rlim_max) return;
    m_previousSoft = previous.rlim_cur;
    m_previousHard = previous.rlim_max;
    const rlimit limit{static_cast<rlim_t>(bytes), previous.rlim_max};
    set = setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

FileSizeLimit::~FileSizeLimit() {
    if (!set) return;
    const rlimit previous{static_cast<rlim_t>(m_previousSoft), static_cast<rlim_t>(m_previousHard)};
    setrlimit(RLIMIT_FSIZE, &previous);
}
