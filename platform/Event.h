#pragma once

#include <initializer_list>

#include "platform/Api.h"

// A signalling object in the manner of the framework's events: manual reset (stays
// signalled until Reset) or automatic reset (one waiter consumes the signal).
// Thread-safe; all events share one internal lock, which keeps waiting for any of
// several events simple and exact.
class VKTBASE_API Event {
public:
    explicit Event(bool manualReset = true, bool initiallySet = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;

    // True when the event was (or became) signalled within timeoutMs; a negative
    // time-out waits for ever. An automatic-reset event is consumed by the wait.
    bool Wait(int timeoutMs);

    // Waits until one of the events is signalled; returns its index, the first listed
    // winning when several are, or -1 on time-out. Consumes an automatic-reset winner.
    static int WaitAny(std::initializer_list<Event*> events, int timeoutMs);

private:
    bool TryConsume();  // caller holds the shared lock

    const bool m_bManualReset;
    bool m_bSet;  // guarded by the shared event lock
};
