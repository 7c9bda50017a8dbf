#include <poll.h>
#include <unistd.h>

#include "host/StandardInput.h"

struct CStandardInput::State {};

CStandardInput::CStandardInput() = default;
CStandardInput::~CStandardInput() = default;

long CStandardInput::Read(char* buffer, size_t size, int waitMs) {
    pollfd ready{STDIN_FILENO, POLLIN, 0};
    if (::poll(&ready, 1, waitMs) <= 0) return -1;
    const ssize_t got = ::read(STDIN_FILENO, buffer, size);
    return got < 0 ? -1 : static_cast<long>(got);
}

bool StandardOutputIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}
