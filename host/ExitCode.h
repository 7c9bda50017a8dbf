#pragma once

// The exit codes of every command. What each means to an operator is the README's
// table and the help's footer below; each command's header says when it returns which.
enum class ExitCode : int {
    Done = 0,           // everything stored, copied or recalculated
    CouldNotStart = 1,  // could not start, or a usage error
    Stopped = 2,        // stopped by the operator before the end
    Pending = 3,        // ended with data still pending, dropped or refused
};

constexpr int ToInt(ExitCode code) {
    return static_cast<int>(code);
}

// The help's footer: the same for every command, and what scripts test.
inline constexpr const char* kExitCodesHelp =
    "Exit codes of every command:\n"
    "  0  done: everything stored, copied or recalculated; for a continuous run stopped by\n"
    "     SIGINT/SIGTERM/SIGHUP also when backend rows wait safe in the station files\n"
    "  1  could not start, or a usage error (unknown option, missing source, bad time,\n"
    "     unknown RTU or RTU type)\n"
    "  2  stopped by the operator (Ctrl-C, SIGINT, SIGTERM or SIGHUP) before the end\n"
    "  3  ended with data still pending or dropped (not stored, copied or recalculated),\n"
    "     with rows the backend refused, or without the frame spool\n";
