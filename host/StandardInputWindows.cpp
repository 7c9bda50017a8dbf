#include <io.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "host/StandardInput.h"

// A console or pipe cannot be waited on with a time-out here: a reader thread of its
// own blocks instead and hands over what it read. It is left behind when the host
// stops before the input ends, and shares its state so that nothing it touches goes.
struct CStandardInput::State {
    std::mutex lock;
    std::condition_variable arrived;
    std::string data;
    bool ended = false;
};

CStandardInput::CStandardInput() : m_state(std::make_shared<State>()) {
    std::thread([state = m_state] {
        char chunk[4096];
        for (;;) {
            const size_t got = std::fread(chunk, 1, sizeof chunk, stdin);
            std::lock_guard<std::mutex> guard(state->lock);
            if (got == 0) {
                state->ended = true;
                state->arrived.notify_all();
                return;
            }
            state->data.append(chunk, got);
            state->arrived.notify_all();
        }
    }).detach();
}

CStandardInput::~CStandardInput() = default;

long CStandardInput::Read(char* buffer, size_t size, int waitMs) {
    std::unique_lock<std::mutex> guard(m_state->lock);
    m_state->arrived.wait_for(guard, std::chrono::milliseconds(waitMs),
                              [&] { return !m_state->data.empty() || m_state->ended; });
    if (m_state->data.empty()) return m_state->ended ? 0 : -1;
    const size_t taken = std::min(size, m_state->data.size());
    m_state->data.copy(buffer, taken);
    m_state->data.erase(0, taken);
    return static_cast<long>(taken);
}

bool StandardOutputIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}
