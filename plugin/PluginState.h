#pragma once

#include <string>

class CWPContext;

// What the plug-in keeps between the host's calls.
namespace PluginState {

// The process's current directory when the library was loaded (at most 200
// characters); the base of WPData and the default isolation-file directory.
const std::string& WorkingDirectory();

// Captures the working directory and creates "WPData" beneath it unless a file or
// folder of that name exists. Runs at library load; tests may run it again.
void OnLoad();

// The context made by VKTLibInit, or null before it and after VKTLibExit. For the
// user-interface thread and tests: a host thread reaches it only through SaveRTDB.
CWPContext* Context();

}  // namespace PluginState
