#include "host/HostSession.h"

#include <cstdio>

#include "host/HostDirectory.h"
#include "hostlib/HostSide.h"
#include "platform/System.h"

namespace {

// Diagnostics come one record a line; a message to the user is one line.
std::string OneLine(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at)) {
        text.replace(at, 1, "; ");
    }
    return text.empty() ? "see VKTError.log" : text;
}

}  // namespace

HostSession::~HostSession() {
    Stop();
    if (m_hMainWindow) MessageLayer::UnregisterWindow(m_hMainWindow);
    if (m_bPrepared) VktHost::CloseHost();
}

void HostSession::Stop() {
    if (m_bStarted) m_plugin.VKTLibExit();
    m_bStarted = false;
    m_plugin.Unload();
}

bool HostSession::Prepare(std::string& error) {
    if (!HostDirectory::CheckReady(error)) return false;
    m_bPrepared = true;
    if (!VktHost::LoadHostCatalogue()) {
        error = "cannot read the host catalogue " + HostDirectory::Absolute("VKTCOMM.MDB") + ": " +
                OneLine(VktHost::LastDatabaseError());
        return false;
    }
    // Only a directory that can be used is locked, so a refused run leaves it as it was.
    if (!m_directoryLock.Take(System::CurrentDirectory(), error)) {
        if (m_directoryLock.HeldByAnother()) {
            error +=
                ": one host at a time (stop it first; vkthost settings DIR changes the "
                "settings of a running host, and a window host exports through its 插件 menu)";
        }
        return false;
    }
    return true;
}

bool HostSession::Start(const std::string& pluginPath, std::string& error) {
    m_hMainWindow = MessageLayer::RegisterWindow([](const Message&) {});
    MessageLayer::SetThreadMainWindow(m_hMainWindow);
    if (!m_plugin.Load(pluginPath, error)) return false;
    int type = 0;
    std::string name, description;
    m_plugin.GetExtDBInfo(type, name, description);
    std::printf("plug-in: %s (%s), type %d\n", name.c_str(), description.c_str(), type);
    std::fflush(stdout);  // a service's log shows the start before the first figures
    m_plugin.VKTLibInit();
    m_bStarted = true;
    return true;
}
