#pragma once

#include <cstdint>
#include <deque>
#include <functional>

#include "platform/Api.h"
#include "platform/Mutex.h"

// Window handles and posted messages. A window handle is an id that a
// user-interface thread registers together with its handler; posting to it queues
// the message for that thread, which dispatches it in PumpMessages. Messages to a
// window that is gone are dropped.
using WindowHandle = int;  // 0: no window

struct VKTBASE_API Message {
    WindowHandle hwnd = 0;
    unsigned int message = 0;
    intptr_t wParam = 0;
    intptr_t lParam = 0;
};

// A thread's own message queue: any thread posts, the owner peeks and removes
// without blocking. Thread-safe.
class VKTBASE_API MessageQueue {
public:
    void Post(const Message& message);
    bool PeekAndRemove(Message& message);
    // The first queued message numbered `only`, removed; the others stay queued.
    bool PeekAndRemove(Message& message, unsigned int only);

private:
    Mutex m_lock;
    std::deque<Message> m_messages GUARDED_BY(m_lock);
};

namespace MessageLayer {

using WindowHandler = std::function<void(const Message&)>;

// Registers a window owned by the calling thread.
VKTBASE_API WindowHandle RegisterWindow(WindowHandler handler);
// After this no message reaches the handler, queued ones included.
VKTBASE_API void UnregisterWindow(WindowHandle hwnd);
VKTBASE_API bool IsWindow(WindowHandle hwnd);

// Queues the message for the window's thread; false when the window is gone.
VKTBASE_API bool PostMessage(WindowHandle hwnd, unsigned int message, intptr_t wParam,
                             intptr_t lParam);

// Dispatches every message queued for windows of the calling thread, in order;
// returns how many were dispatched.
VKTBASE_API int PumpMessages();

// The main window of the calling thread (0 when it has none). Workers inherit the
// main window of the thread that created them.
VKTBASE_API WindowHandle GetThreadMainWindow();
VKTBASE_API void SetThreadMainWindow(WindowHandle hwnd);

}  // namespace MessageLayer
