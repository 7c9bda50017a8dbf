#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/TestHost.h"

// The host program run as a process, for the tests of its commands; VKT_HOST_PROGRAM
// names it (the test's target defines it).

// What a run of the host program left: its exit status (-1 when it did not exit) and
// what it wrote to its standard and error output.
struct ProgramRun {
    int status = -1;
    std::string out, err;
};

// Runs the host program with `args`, its output in files beside `scratch` meanwhile.
// With `whileRunning` the test acts on the running program (its process id, the file
// of its standard output) before it is waited for.
// With `user` (a user id) it runs as that user.
inline ProgramRun RunHost(const std::vector<std::string>& args, const std::string& scratch,
                          const std::function<void(pid_t, const std::string&)>& whileRunning = {},
                          std::optional<uid_t> user = std::nullopt) {
    const std::string outFile = scratch + ".out", errFile = scratch + ".err";
    const pid_t child = fork();
    if (child == 0) {
        std::freopen(outFile.c_str(), "w", stdout);
        std::freopen(errFile.c_str(), "w", stderr);
        if (user && (setgroups(0, nullptr) != 0 || setgid(*user) != 0 || setuid(*user) != 0)) {
            _exit(126);
        }
        std::vector<char*> argv{const_cast<char*>("vkthost")};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(VKT_HOST_PROGRAM, argv.data());
        _exit(127);
    }
    if (whileRunning) whileRunning(child, outFile);
    int status = 0;
    waitpid(child, &status, 0);
    ProgramRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadWholeFile(outFile),
                   ReadWholeFile(errFile)};
    std::filesystem::remove(outFile);
    std::filesystem::remove(errFile);
    return run;
}
