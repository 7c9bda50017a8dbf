#include "host/HostCommand.h"

#include <cstdlib>
#include <cstring>

#include "host/HostDirectory.h"
#include "hostlib/HostSide.h"

namespace {

const CommandSteps& StepsOf(const char* name) {
    for (const CommandSteps& steps : kCommandSteps) {
        if (std::strcmp(steps.name, name) == 0) return steps;
    }
    // A command missing from the table is a mistake of this program, found by its tests.
    std::abort();
}

}  // namespace

CHostCommand::CHostCommand(const char* name, const std::string& pluginPath)
    : m_steps(StepsOf(name)),
      m_pluginPath(
          HostDirectory::Absolute(pluginPath.empty() ? PluginLoader::DefaultPath() : pluginPath)) {}

CHostCommand::~CHostCommand() {
    Stop();
}

bool CHostCommand::Enter(const std::string& dir, const std::string& now, std::string& error) {
    // From here on a stop signal stops the command cleanly, however early it comes.
    if (m_steps.takesStopSignals) m_stopSignals = std::make_unique<CStopSignals>();
    if (!HostDirectory::Enter(dir, error)) return false;
    return !m_steps.placesClock || HostDirectory::PlaceClock(now, error);
}

bool CHostCommand::Prepare(std::string& error) {
    return m_session.Prepare(error);
}

bool CHostCommand::Start(std::function<void(const std::string&)> show, std::string& error) {
    VktHost::SetMessageWindow(std::move(show));
    m_bShowing = true;
    return m_session.Start(m_pluginPath, error);
}

void CHostCommand::Stop() {
    m_session.Stop();
    if (m_bShowing) VktHost::SetMessageWindow(nullptr);
    m_bShowing = false;
}
