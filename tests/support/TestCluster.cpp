#include "tests/support/TestCluster.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "hostlib/VktBase.h"
#include "platform/OdbcHandles.h"
#include "platform/OdbcQuery.h"
#include "tests/support/TestHost.h"

namespace {

// Ports tried before Init gives up: enough for a few held ones, few enough that a
// cluster that cannot start at all fails quickly.
constexpr int kPortsTried = 4;

}  // namespace

bool NothingBoundAt(const std::string& address, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    // As the server binds: a connection of the past in TIME_WAIT does not hold the port.
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    const bool free = inet_pton(AF_INET, address.c_str(), &at.sin_addr) == 1 &&
                      bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0;
    close(fd);
    return free;
}

TestCluster::TestCluster(std::string script, std::string address)
    : m_script(std::move(script)), m_address(std::move(address)) {}

TestCluster::~TestCluster() {
    Remove();
}

bool TestCluster::Init(int firstPort, const std::vector<std::string>& alsoFreeOn) {
    int tried = 0;
    for (int port = firstPort; port <= 65535 && tried < kPortsTried; port += kPortStep) {
        bool free = NothingBoundAt(m_address, port);
        for (const std::string& address : alsoFreeOn) free = free && NothingBoundAt(address, port);
        if (!free) continue;
        ++tried;
        if (Make(port, "init")) return true;
    }
    return false;
}

bool TestCluster::InitStandby(const TestCluster& primary, bool synchronous) {
    m_environment = synchronous ? "" : "PG_SYNC=off ";
    return Make(primary.Port(), "standby", "'" + primary.Dir() + "' " + primary.Address());
}

bool TestCluster::Make(int port, const std::string& command, const std::string& more) {
    Remove();
    char pattern[] = "/tmp/vkt-pg-own-XXXXXX";
    if (!mkdtemp(pattern)) return false;
    m_dir = pattern;
    m_port = port;
    return Run(command, more);
}

void TestCluster::Remove() {
    if (m_dir.empty()) return;
    Run("stop");
    m_earlierLogs += Log();
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
    std::filesystem::remove(m_dir + ".log", ec);
    m_dir.clear();
}

bool TestCluster::Run(const std::string& command, const std::string& more) const {
    if (m_dir.empty()) return false;
    const std::string line = m_environment + "PG_ADDRESS=" + m_address + " bash '" + m_script +
                             "' " + command + " '" + m_dir + "' " + std::to_string(m_port) + " " +
                             more + " >>'" + m_dir + ".log' 2>&1";
    return std::system(line.c_str()) == 0;
}

std::string TestCluster::Log() const {
    if (m_dir.empty()) return m_earlierLogs;
    return m_earlierLogs + "-- " + m_address + ":" + std::to_string(m_port) + "\n" +
           ReadWholeFile(m_dir + ".log") + ReadWholeFile(m_dir + "/log");
}

std::string TestCluster::ConnectionString(const std::string& user) const {
    return "Driver=PostgreSQL ANSI;Servername=" + m_address + ";Port=" + std::to_string(m_port) +
           ";Database=windpower;UID=" + user + ";PWD=wendol";
}

std::string TestCluster::Value(const std::string& sql, const std::string& user) const {
    OdbcConnection connection;
    if (!connection.DriverConnect(ConnectionString(user), kLoginTimeoutSeconds))
        return "<no connection>";
    return Odbc::QueryText(connection.Get(), sql).value_or("<none or error>");
}
