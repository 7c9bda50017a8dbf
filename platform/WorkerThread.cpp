#include "platform/WorkerThread.h"

#include <typeinfo>

#include "platform/ErrorLog.h"

CWorkerThread::CWorkerThread() = default;

CWorkerThread::~CWorkerThread() {
    if (m_thread.joinable()) StopWorker();
}

bool CWorkerThread::CreateThread() {
    if (m_thread.joinable()) return false;
    m_hMainWnd = MessageLayer::GetThreadMainWindow();
    try {
        m_thread = std::thread(&CWorkerThread::ThreadMain, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CWorkerThread::ThreadMain() {
    MessageLayer::SetThreadMainWindow(m_hMainWnd);
    m_nExitCode = Run();
    m_finished.Set();
}

bool CWorkerThread::StopWorker() {
    m_stopEvent.Set();
    if (!m_thread.joinable()) return true;
    const bool inTime = m_finished.Wait(kStopTimeoutMs);
    if (!inTime) {
        ErrorLog::Append(std::string("Worker thread did not end within 5000 ms of its stop signal; "
                                     "waiting for it: ") +
                         typeid(*this).name());
    }
    m_thread.join();
    return inTime;
}

bool CWorkerThread::StopWorkerWithin(int timeoutMs) {
    m_stopEvent.Set();
    if (!m_thread.joinable()) return true;
    if (!m_finished.Wait(timeoutMs)) return false;
    m_thread.join();
    return true;
}

void CWorkerThread::Abandon() {
    if (m_thread.joinable()) m_thread.detach();
}

void CWorkerThread::PostThreadMessage(unsigned int message, intptr_t wParam, intptr_t lParam) {
    m_messages.Post(Message{0, message, wParam, lParam});
}
