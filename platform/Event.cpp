#include "platform/Event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

// Never destroyed: a worker the plug-in had to leave behind may still wait on them
// while the process exits, and destroying a condition variable with a waiter blocks.
std::mutex& SharedLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

std::condition_variable& SharedSignal() {
    static auto* signal = new std::condition_variable;
    return *signal;
}

}  // namespace

Event::Event(bool manualReset, bool initiallySet)
    : m_bManualReset(manualReset), m_bSet(initiallySet) {}

void Event::Set() {
    {
        std::lock_guard<std::mutex> guard(SharedLock());
        m_bSet = true;
    }
    SharedSignal().notify_all();
}

void Event::Reset() {
    std::lock_guard<std::mutex> guard(SharedLock());
    m_bSet = false;
}

bool Event::IsSet() const {
    std::lock_guard<std::mutex> guard(SharedLock());
    return m_bSet;
}

bool Event::TryConsume() {
    if (!m_bSet) return false;
    if (!m_bManualReset) m_bSet = false;
    return true;
}

bool Event::Wait(int timeoutMs) {
    return WaitAny({this}, timeoutMs) == 0;
}

int Event::WaitAny(std::initializer_list<Event*> events, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(SharedLock());
    for (;;) {
        int index = 0;
        for (Event* event : events) {
            if (event->TryConsume()) return index;
            ++index;
        }
        if (timeoutMs < 0) {
            SharedSignal().wait(lock);
        } else if (SharedSignal().wait_until(lock, deadline) == std::cv_status::timeout) {
            // One last look: a signal may have come with the time-out.
            index = 0;
            for (Event* event : events) {
                if (event->TryConsume()) return index;
                ++index;
            }
            return -1;
        }
    }
}
