#pragma once

#include <string>

class CWPDBThread;

// Process-wide state of the plug-in, made at load and in VKTLibInit.
namespace PluginState {

// The process's current directory when the library was loaded (at most 200
// characters); the base of WPData and the default isolation-file directory.
const std::string& WorkingDirectory();

// Captures the working directory and creates "WPData" beneath it unless a file or
// folder of that name exists. Runs at library load; tests may run it again.
void OnLoad();

// The storage thread, or null before VKTLibInit and after VKTLibExit.
CWPDBThread* StorageThread();

}  // namespace PluginState
