#pragma once

#include <cstddef>
#include <memory>

// The host's standard input, read without blocking the acquisition for longer than
// asked.
class CStandardInput {
public:
    CStandardInput();
    ~CStandardInput();
    CStandardInput(const CStandardInput&) = delete;
    CStandardInput& operator=(const CStandardInput&) = delete;

    // Waits at most `waitMs` for input; the bytes read, 0 at the input's end, or -1
    // when nothing came.
    long Read(char* buffer, size_t size, int waitMs);

private:
    struct State;
    std::shared_ptr<State> m_state;
};

// Whether the host's standard output is a terminal (not a file or a pipe): only a
// terminal redraws a line in place.
bool StandardOutputIsTerminal();
