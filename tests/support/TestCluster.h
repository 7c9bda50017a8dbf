#pragma once
// A PostgreSQL cluster of a test's own, made by the cluster script (VKT_PG_SCRIPT),
// so that stopping, freezing or promoting it disturbs no other test. Stopped and
// removed with the object.
#include <string>
#include <vector>

class TestCluster {
public:
    // Clusters of tests that may run at once are given different first ports; each
    // looks on from there in steps of this many, so two never meet.
    static constexpr int kPortStep = 12;

    TestCluster(std::string script, std::string address = "127.0.0.1");
    ~TestCluster();
    TestCluster(const TestCluster&) = delete;
    TestCluster& operator=(const TestCluster&) = delete;

    // Makes and starts a cluster (`init`) on the first port from `firstPort` on which
    // nothing is bound on its address nor on `alsoFreeOn` (a standby's address to
    // come), and on the next such port when the server does not start: the ports lie
    // in the range the kernel hands to clients, so another test's connection may hold
    // one for a moment.
    bool Init(int firstPort, const std::vector<std::string>& alsoFreeOn = {});
    // Makes this a hot standby of `primary`, on the primary's port; synchronous unless
    // told otherwise.
    bool InitStandby(const TestCluster& primary, bool synchronous = true);
    // A command of the cluster script on this cluster, `more` arguments after the port.
    bool Run(const std::string& command, const std::string& more = "") const;

    int Port() const { return m_port; }
    const std::string& Dir() const { return m_dir; }
    const std::string& Address() const { return m_address; }
    // What the script and the server printed, with that of the attempts given up.
    std::string Log() const;
    std::string ConnectionString(const std::string& user = "fd") const;
    // The first value of a query on this server alone, as `user` (the superuser is
    // postgres); "<…>" when it cannot be had.
    std::string Value(const std::string& sql, const std::string& user = "fd") const;

private:
    bool Make(int port, const std::string& command, const std::string& more = "");
    void Remove();

    std::string m_script, m_address, m_dir, m_earlierLogs;
    std::string m_environment;  // put before the script's commands
    int m_port = 0;
};

// Whether a listening socket could be bound to `address`:`port` now.
bool NothingBoundAt(const std::string& address, int port);
