#include "storage/BackendServer.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "hostlib/VktBase.h"
#include "platform/SqlText.h"
#include "platform/System.h"

void CBackendServer::Load(const std::string& path) {
    m_strPath = path;
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in || !Parse(text.str(), m_server, m_tChecked)) {
        m_server = {};
        m_tChecked = DateTime::Invalid();
    }
}

ServerVerdict CBackendServer::Check(const CServerIdentity& seen, const DateTime& now,
                                    DateTime& lookBackFrom) {
    if (!seen.IsKnown()) return ServerVerdict::Same;
    if (!m_server.IsKnown()) {
        Remember(seen, now);
        return ServerVerdict::Same;
    }
    const bool sameSystem = seen.systemId == m_server.systemId;
    if (sameSystem && seen.timeline < m_server.timeline) return ServerVerdict::Outdated;
    if (sameSystem && seen.timeline == m_server.timeline) {
        Remember(seen, now);
        return ServerVerdict::Same;
    }
    const DateTime hourBefore = now - DateTimeSpan(kLookBackHours / 24.0);
    lookBackFrom = m_tChecked.IsValid() ? std::min(m_tChecked, hourBefore) : hourBefore;
    Remember(seen, now);
    return ServerVerdict::Changed;
}

void CBackendServer::Remember(const CServerIdentity& server, const DateTime& now) {
    m_server = server;
    m_tChecked = now;
    // Unwritten, it is still known to this process; a restart then compares from the
    // confirmed times alone.
    if (!m_strPath.empty() && !System::WriteFileWhole(m_strPath, Text(server, now))) {
        WriteErrorInfo("Cannot write " + m_strPath +
                       ": a restart will not know which backend server the rows were written on");
    }
}

std::string CBackendServer::Text(const CServerIdentity& server, const DateTime& checked) {
    return server.systemId + " " + std::to_string(server.timeline) + " " + checked.Format() + "\n";
}

bool CBackendServer::Parse(const std::string& text, CServerIdentity& server, DateTime& checked) {
    std::istringstream in(text);
    std::string date, time;
    if (!(in >> server.systemId >> server.timeline >> date >> time)) return false;
    checked = ParseDBTime(date + " " + time);
    return checked.IsValid() && server.IsKnown();
}
