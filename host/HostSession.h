#pragma once

#include <cstdint>
#include <string>

#include "host/DirectoryLock.h"
#include "host/PluginLoader.h"
#include "platform/MessageLayer.h"

// One session of the host with its plug-in, in the order a host keeps: the host
// directory checked and its catalogue loaded (Prepare), then the main window made and
// the plug-in loaded and started (Start); the destructor stops and unloads the
// plug-in and closes the host.
class HostSession {
public:
    HostSession() = default;
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;
    ~HostSession();

    // The current directory must be the host directory (HostDirectory::Enter). Takes
    // the directory's lock (vkthost.lock) for the life of the session: a second host
    // on the same directory is refused, naming the process that holds it.
    bool Prepare(std::string& error);
    // Loads the plug-in at `pluginPath`, prints its name and calls VKTLibInit.
    bool Start(const std::string& pluginPath, std::string& error);

    // Calls VKTLibExit and unloads the plug-in, once.
    void Stop();

    PluginLoader& Plugin() { return m_plugin; }

private:
    DirectoryLock m_directoryLock;  // one host per directory while it holds the plug-in
    bool m_bPrepared = false;
    WindowHandle m_hMainWindow = 0;
    PluginLoader m_plugin;
    bool m_bStarted = false;
};
