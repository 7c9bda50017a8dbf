#pragma once

#include <string>
#include <vector>

// SIGINT, SIGTERM and SIGHUP as requests to stop, for as long as the object lives.
// The handler does only what is safe in a signal handler: it writes the signal's
// number to a pipe, without blocking. An event loop waits on ReadFd() (a Qt
// QSocketNotifier, poll) and takes the signals with Take() on its own thread, where
// it may do anything. One object at a time; user-interface thread.
class CStopSignals {
public:
    CStopSignals();
    // Puts back the handlers that were there before.
    ~CStopSignals();
    CStopSignals(const CStopSignals&) = delete;
    CStopSignals& operator=(const CStopSignals&) = delete;

    // Readable while signals wait to be taken; -1 when the pipe could not be made
    // (the signals then keep their previous handlers).
    int ReadFd() const { return m_readFd; }
    // The signals that arrived since the last call, in order; never blocks.
    std::vector<int> Take();
    // How many were taken so far.
    int Count() const { return m_nTaken; }

    // "SIGTERM", "SIGINT", "SIGHUP", else "signal N".
    static std::string Name(int signal);

private:
    int m_readFd = -1;
    int m_writeFd = -1;
    int m_nTaken = 0;
};
