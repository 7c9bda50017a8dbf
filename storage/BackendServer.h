#pragma once

#include <cstdint>
#include <string>

#include "platform/DateTime.h"

// Which PostgreSQL server, and which history of it, the backend rows were confirmed on:
// the cluster's system identifier and the timeline its writes are on. A promoted
// standby has its primary's identifier on a newer timeline; an old primary started
// again after a failover keeps the older one. Rows an asynchronous standby had not
// received when it was promoted are lost to the backend although they were confirmed,
// so a connection to another server, or to another history, has the station rows of
// a look-back window compared with the backend again; one to an older timeline than
// the rows were written on is an old primary that was not fenced: written to, it would
// split the rows between two servers.
struct CServerIdentity {
    std::string systemId;  // empty: not known (another product, or not readable)
    int64_t timeline = 0;

    bool IsKnown() const { return !systemId.empty(); }
};

// What a connection to a server means for the rows.
enum class ServerVerdict {
    Same,      // the server the rows were written on, or the first one known
    Changed,   // another server or history: compare the look-back window again
    Outdated,  // an older timeline of the server: no row may be written there
};

// The server last written to, kept in a file of its own so that a restart remembers
// it. Backend lock.
class CBackendServer {
public:
    // A look-back window is at least this long: rows confirmed within it may not have
    // reached a standby yet.
    static constexpr double kLookBackHours = 1.0;

    // Reads what `path` remembers (nothing when it is missing or unreadable).
    void Load(const std::string& path);
    // Judges a new connection's server at `now`. Same and Changed make it the server
    // written to (kept in the file); Changed gives in `lookBackFrom` the time from
    // which station rows are compared again: the last check, at least the look-back
    // hour before `now`.
    ServerVerdict Check(const CServerIdentity& seen, const DateTime& now, DateTime& lookBackFrom);
    const CServerIdentity& Remembered() const { return m_server; }

    // The file's text for the server and the time of its last check, and back.
    static std::string Text(const CServerIdentity& server, const DateTime& checked);
    static bool Parse(const std::string& text, CServerIdentity& server, DateTime& checked);

private:
    void Remember(const CServerIdentity& server, const DateTime& now);

    std::string m_strPath;
    CServerIdentity m_server;
    DateTime m_tChecked = DateTime::Invalid();
};
