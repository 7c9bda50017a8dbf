#pragma once

#include "hostlib/VktBase.h"
#include "platform/ThreadAnnotations.h"

// The host's Access lock as the compiler's lock analysis sees it: a name for the
// capability that GlobalLockAccess takes. It holds no state.
class CAPABILITY("mutex") AccessLockName {};
inline AccessLockName g_accessLock;

// Holds the host's Access lock (re-entrant) for its scope.
class SCOPED_CAPABILITY AccessGuard {
public:
    AccessGuard() ACQUIRE(g_accessLock) { GlobalLockAccess(); }
    ~AccessGuard() RELEASE() { GlobalUnLockAccess(); }
    AccessGuard(const AccessGuard&) = delete;
    AccessGuard& operator=(const AccessGuard&) = delete;
};
