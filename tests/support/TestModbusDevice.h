#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

// A Modbus TCP device of pymodbus (tests/support/modbus_device.py, which VKT_MODBUS_DEVICE
// names: the test's target defines it) on a loopback port; killed with the object.
// modbus_device.py with `args`, on a port of its choosing or the one given.
class TestModbusDevice {
public:
    explicit TestModbusDevice(std::vector<std::string> args) : m_args(std::move(args)) { Start(0); }
    ~TestModbusDevice() { Kill(); }

    int Port() const { return m_port; }
    void Kill() {
        if (m_pid > 0 && ::kill(m_pid, SIGKILL) == 0) ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    void Start(int port) {
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        std::vector<std::string> words = {"/usr/bin/python3", VKT_MODBUS_DEVICE, "--port",
                                          std::to_string(port)};
        words.insert(words.end(), m_args.begin(), m_args.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        std::string said;
        char c = 0;
        pollfd ready{out[0], POLLIN, 0};
        while (said.find('\n') == std::string::npos && ::poll(&ready, 1, 20000) == 1 &&
               ::read(out[0], &c, 1) == 1) {
            said += c;
        }
        ::close(out[0]);
        ASSERT_EQ(said.rfind("ready ", 0), 0u) << said;
        m_port = std::stoi(said.substr(6));
    }

private:
    const std::vector<std::string> m_args;
    pid_t m_pid = -1;
    int m_port = 0;
};
