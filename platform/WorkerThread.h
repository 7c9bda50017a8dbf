#pragma once

#include <atomic>
#include <thread>

#include "platform/Event.h"
#include "platform/MessageLayer.h"

// Base of the plug-in's worker threads. A derived class implements Run(), which must
// look at the stop event between units of work; StopWorker() signals it and waits.
// There is no forced termination: a worker that has not ended within the stop
// bound gets an error-log line and is then waited for.
class VKTBASE_API CWorkerThread {
public:
    static constexpr int kStopTimeoutMs = 5000;

    CWorkerThread();
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;
    // The owner stops the thread before destroying it; a running thread is stopped here.
    virtual ~CWorkerThread();

    // Starts the thread. Its main window is the creating thread's main window.
    bool CreateThread();
    // Signals the stop event, waits at most kStopTimeoutMs, then (logged) until it ends.
    // Returns false when the bound was exceeded. Call from the owning thread only.
    bool StopWorker();
    // Signals the stop event without waiting.
    void SignalStop() { m_stopEvent.Set(); }
    // Signals the stop event and waits at most `timeoutMs`: true (and joined) when the
    // thread ended in time; false leaves it running, for Abandon or another wait.
    bool StopWorkerWithin(int timeoutMs);
    // Gives up a thread that would not end: it is neither waited for nor terminated
    // (that could leave locks held). Its object, and what the thread uses, must then
    // stay alive for the rest of the process.
    void Abandon();
    bool IsRunning() const { return m_thread.joinable() && !m_finished.IsSet(); }

    // The thread's own message queue (non-blocking peek that removes).
    void PostThreadMessage(unsigned int message, intptr_t wParam, intptr_t lParam);
    bool PeekMessage(Message& message) { return m_messages.PeekAndRemove(message); }
    // The first queued message numbered `only`, removed; the others stay queued.
    bool PeekMessage(Message& message, unsigned int only) {
        return m_messages.PeekAndRemove(message, only);
    }

    WindowHandle m_hMainWnd = 0;

protected:
    virtual int Run() = 0;
    Event m_stopEvent{true, false};

private:
    void ThreadMain();

    std::thread m_thread;
    Event m_finished{true, false};
    MessageQueue m_messages;
    std::atomic<int> m_nExitCode{0};
};
