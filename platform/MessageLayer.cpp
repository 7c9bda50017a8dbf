#include "platform/MessageLayer.h"

#include <map>
#include <memory>
#include <thread>

void MessageQueue::Post(const Message& message) {
    MutexLock guard(m_lock);
    m_messages.push_back(message);
}

bool MessageQueue::PeekAndRemove(Message& message) {
    MutexLock guard(m_lock);
    if (m_messages.empty()) return false;
    message = m_messages.front();
    m_messages.pop_front();
    return true;
}

bool MessageQueue::PeekAndRemove(Message& message, unsigned int only) {
    MutexLock guard(m_lock);
    for (auto it = m_messages.begin(); it != m_messages.end(); ++it) {
        if (it->message != only) continue;
        message = *it;
        m_messages.erase(it);
        return true;
    }
    return false;
}

namespace {

struct Window {
    std::thread::id owner;
    std::shared_ptr<MessageLayer::WindowHandler> handler;
};

struct Registry {
    Mutex lock;
    WindowHandle next GUARDED_BY(lock) = 1;
    std::map<WindowHandle, Window> windows GUARDED_BY(lock);
    // The lock guards the map itself; each queue has its own.
    std::map<std::thread::id, MessageQueue> perThread GUARDED_BY(lock);
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

thread_local WindowHandle t_mainWindow = 0;

}  // namespace

namespace MessageLayer {

WindowHandle RegisterWindow(WindowHandler handler) {
    Registry& r = TheRegistry();
    MutexLock guard(r.lock);
    const WindowHandle hwnd = r.next++;
    r.windows[hwnd] =
        Window{std::this_thread::get_id(), std::make_shared<WindowHandler>(std::move(handler))};
    return hwnd;
}

void UnregisterWindow(WindowHandle hwnd) {
    Registry& r = TheRegistry();
    MutexLock guard(r.lock);
    r.windows.erase(hwnd);
}

bool IsWindow(WindowHandle hwnd) {
    Registry& r = TheRegistry();
    MutexLock guard(r.lock);
    return r.windows.count(hwnd) != 0;
}

bool PostMessage(WindowHandle hwnd, unsigned int message, intptr_t wParam, intptr_t lParam) {
    Registry& r = TheRegistry();
    MutexLock guard(r.lock);
    auto it = r.windows.find(hwnd);
    if (it == r.windows.end()) return false;
    r.perThread[it->second.owner].Post(Message{hwnd, message, wParam, lParam});
    return true;
}

int PumpMessages() {
    Registry& r = TheRegistry();
    MessageQueue* queue = nullptr;
    {
        MutexLock guard(r.lock);
        queue = &r.perThread[std::this_thread::get_id()];  // std::map keeps the address
    }
    int dispatched = 0;
    Message message;
    while (queue->PeekAndRemove(message)) {
        std::shared_ptr<WindowHandler> handler;
        {
            MutexLock guard(r.lock);
            auto it = r.windows.find(message.hwnd);
            if (it != r.windows.end()) handler = it->second.handler;
        }
        if (!handler) continue;  // the window went away after the post
        (*handler)(message);
        ++dispatched;
    }
    return dispatched;
}

WindowHandle GetThreadMainWindow() {
    return t_mainWindow;
}

void SetThreadMainWindow(WindowHandle hwnd) {
    t_mainWindow = hwnd;
}

}  // namespace MessageLayer
