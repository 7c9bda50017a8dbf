#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/TestHost.h"

// Connects to the loopback port; with `port` 0, binds a free one and tells it.
inline bool Loopback(int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    auto* any = reinterpret_cast<sockaddr*>(&address);
    const bool done = port ? connect(fd, any, size) == 0
                           : bind(fd, any, size) == 0 && getsockname(fd, any, &size) == 0;
    port = ntohs(address.sin_port);
    close(fd);
    return done;
}

// A mosquitto broker of the test's own on a free loopback port (its configuration in
// `dir`), keeping every message queued for a session however many; stopped with the
// object.
struct TestBroker {
    explicit TestBroker(const std::string& dir) : m_config(dir + "/broker.conf") {
        Loopback(m_port);
        std::ofstream(m_config) << "listener " << m_port << " 127.0.0.1\nallow_anonymous true\n"
                                << "persistence false\nmax_queued_messages 0\nlog_dest none\n";
    }
    ~TestBroker() {
        if (m_pid > 0) kill(m_pid, SIGTERM), waitpid(m_pid, nullptr, 0);
    }
    TestBroker(const TestBroker&) = delete;
    TestBroker& operator=(const TestBroker&) = delete;

    void Start() {
        if ((m_pid = fork()) == 0)
            execl("/usr/sbin/mosquitto", "mosquitto", "-c", m_config.c_str(), nullptr), _exit(127);
        int port = m_port;
        ASSERT_TRUE(WaitFor([&] { return Loopback(port); }));
    }
    // Each line one QoS 1 message to `topic`; returns once the broker took every one.
    void Publish(const std::string& topic, const std::vector<std::string>& lines) const {
        const std::string pub =
            "mosquitto_pub -h 127.0.0.1 -q 1 -l -t '" + topic + "' -p " + std::to_string(m_port);
        FILE* in = popen(pub.c_str(), "w");
        for (const std::string& line : lines) std::fprintf(in, "%s\n", line.c_str());
        ASSERT_EQ(pclose(in), 0);
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }

    const std::string m_config;
    int m_port = 0;
    pid_t m_pid = -1;
};
