#include <csignal>

#include "host/StopSignals.h"

namespace {

// The stop signals, and their names.
struct StopSignal {
    int number;
    const char* name;
};
constexpr StopSignal kSignals[] = {
    {SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGBREAK, "SIGBREAK"}};
constexpr size_t kCount = sizeof kSignals / sizeof kSignals[0];

volatile std::sig_atomic_t g_nArrived = 0;
volatile std::sig_atomic_t g_lastSignal = 0;
void (*g_previous[kCount])(int);

void OnStopSignal(int signal) {
    g_lastSignal = signal;
    g_nArrived = g_nArrived + 1;
    // The C library resets the handler before calling it; the next signal counts too.
    std::signal(signal, OnStopSignal);
}

}  // namespace

CStopSignals::CStopSignals() {
    g_nArrived = 0;
    for (size_t i = 0; i < kCount; ++i) {
        g_previous[i] = std::signal(kSignals[i].number, OnStopSignal);
    }
}

CStopSignals::~CStopSignals() {
    for (size_t i = 0; i < kCount; ++i) {
        std::signal(kSignals[i].number, g_previous[i]);
    }
}

// Without a pipe the numbers in between are not kept: each new one is named as the last.
std::vector<int> CStopSignals::Take() {
    const int arrived = g_nArrived;
    const int last = g_lastSignal;
    std::vector<int> signals(arrived > m_nTaken ? arrived - m_nTaken : 0, last);
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
