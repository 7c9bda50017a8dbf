#pragma once

#include <functional>
#include <memory>
#include <string>

#include "host/HostSession.h"
#include "host/StopSignals.h"

// What every command that holds the plug-in does first, in the host's order, and undoes
// at its end: the plug-in's path resolved, stop signals taken, the host directory
// entered, the process clock placed, the session prepared (the directory checked, the
// catalogue, the lock), the message window shown somewhere, the plug-in started; at the
// end the plug-in stopped and the message window forgotten. Which steps a command takes
// is its row of the table below, as a command line's table of commands says what each
// needs.
struct CommandSteps {
    const char* name;
    bool takesStopSignals;  // from the first step on a stop signal is a request to stop
    bool placesClock;       // --now starts the process clock there
};

inline constexpr CommandSteps kCommandSteps[] = {
    {"run", true, true},          {"gui", true, true},     {"export", true, false},
    {"recalc-rain", true, false}, {"dialog", true, false}, {"screenshots", false, false},
};

class CHostCommand {
public:
    // `name` is a row of kCommandSteps; `pluginPath` as given (empty: the host's own),
    // resolved now, before the current directory changes.
    CHostCommand(const char* name, const std::string& pluginPath);
    ~CHostCommand();
    CHostCommand(const CHostCommand&) = delete;
    CHostCommand& operator=(const CHostCommand&) = delete;

    // Takes the stop signals, enters DIR and places the clock at `now` (when the row says).
    bool Enter(const std::string& dir, const std::string& now, std::string& error);
    // The directory checked, the catalogue loaded, its lock taken.
    bool Prepare(std::string& error);
    // The plug-in's messages go to `show` from now to the command's end (null: plainly to
    // the standard output); then the plug-in is loaded and started.
    bool Start(std::function<void(const std::string&)> show, std::string& error);
    // VKTLibExit and the plug-in unloaded, once (the destructor too).
    void Stop();

    PluginLoader& Plugin() { return m_session.Plugin(); }
    const std::string& PluginPath() const { return m_pluginPath; }
    // Null for a command that takes no stop signals.
    CStopSignals* StopSignals() { return m_stopSignals.get(); }

private:
    const CommandSteps& m_steps;
    const std::string m_pluginPath;
    std::unique_ptr<CStopSignals> m_stopSignals;
    HostSession m_session;
    bool m_bShowing = false;
};
