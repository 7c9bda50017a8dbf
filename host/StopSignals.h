#pragma once

#include <string>
#include <vector>

// SIGINT, SIGTERM and SIGHUP (on Windows SIGINT, SIGTERM and SIGBREAK) as requests to
// stop, for as long as the object lives: the one way every command of the host learns
// of them. The handler does only what is safe in a signal handler: it counts, and
// writes the signal's number to a pipe without blocking. A polling loop reads
// Arrived(); an event loop waits on ReadFd() (a Qt QSocketNotifier, poll) and takes the
// signals with Take() on its own thread, where it may do anything. One object at a
// time; the thread that made it.
class CStopSignals {
public:
    CStopSignals();
    // Puts back the handlers that were there before.
    ~CStopSignals();
    CStopSignals(const CStopSignals&) = delete;
    CStopSignals& operator=(const CStopSignals&) = delete;

    // Readable while signals wait to be taken; -1 when the pipe could not be made
    // (and on Windows): Arrived() still counts them.
    int ReadFd() const { return m_readFd; }
    // The signals that arrived since the last call, in order; never blocks.
    std::vector<int> Take();
    // How many were taken so far.
    int Count() const { return m_nTaken; }
    // How many arrived since the living object was made, taken or not; 0 without one.
    // Any thread.
    static int Arrived();

    // "SIGTERM", "SIGINT", "SIGHUP", else "signal N".
    static std::string Name(int signal);

private:
    int m_readFd = -1;
    int m_writeFd = -1;
    int m_nTaken = 0;
};
