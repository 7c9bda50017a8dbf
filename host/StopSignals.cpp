#include "host/StopSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// The stop signals, and their names.
struct StopSignal {
    int number;
    const char* name;
};
constexpr StopSignal kSignals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
constexpr size_t kCount = sizeof kSignals / sizeof kSignals[0];

// The write end the handler uses; -1 while no object lives. Set before the handlers
// are installed and cleared after they are taken away again.
volatile std::sig_atomic_t g_writeFd = -1;
volatile std::sig_atomic_t g_nArrived = 0;
struct sigaction g_previous[kCount];

void OnStopSignal(int signal) {
    const int savedErrno = errno;
    g_nArrived = g_nArrived + 1;
    const unsigned char number = static_cast<unsigned char>(signal);
    // A full pipe drops the byte: dozens of signals wait already.
    if (g_writeFd >= 0) {
        const ssize_t written = ::write(g_writeFd, &number, 1);
        (void)written;
    }
    errno = savedErrno;
}

bool MakeNonBlockingPipe(int fds[2]) {
    if (::pipe(fds) != 0) return false;
    for (int i = 0; i < 2; ++i) {
        ::fcntl(fds[i], F_SETFL, ::fcntl(fds[i], F_GETFL) | O_NONBLOCK);
        ::fcntl(fds[i], F_SETFD, FD_CLOEXEC);
    }
    return true;
}

}  // namespace

CStopSignals::CStopSignals() {
    g_nArrived = 0;
    // Without the pipe the signals are still counted: a polling loop needs no more.
    int fds[2];
    if (MakeNonBlockingPipe(fds)) {
        m_readFd = fds[0];
        m_writeFd = fds[1];
        g_writeFd = m_writeFd;
    }
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // system calls of the event loop go on
    for (size_t i = 0; i < kCount; ++i) {
        sigaction(kSignals[i].number, &action, &g_previous[i]);
    }
}

CStopSignals::~CStopSignals() {
    for (size_t i = 0; i < kCount; ++i) {
        sigaction(kSignals[i].number, &g_previous[i], nullptr);
    }
    g_writeFd = -1;
    if (m_readFd < 0) return;
    ::close(m_readFd);
    ::close(m_writeFd);
}

std::vector<int> CStopSignals::Take() {
    std::vector<int> signals;
    if (m_readFd < 0) return signals;
    unsigned char buffer[64];
    for (;;) {
        const ssize_t got = ::read(m_readFd, buffer, sizeof buffer);
        if (got <= 0) break;
        signals.insert(signals.end(), buffer, buffer + got);
    }
    m_nTaken += static_cast<int>(signals.size());
    return signals;
}

int CStopSignals::Arrived() {
    return g_nArrived;
}

std::string CStopSignals::Name(int signal) {
    for (const StopSignal& known : kSignals) {
        if (known.number == signal) return known.name;
    }
    return "signal " + std::to_string(signal);
}
