// vkt-linkproxy: a TCP proxy between two loopback endpoints that makes the link between
// a host and its backend slow, silent or broken on command, and counts its round trips.
// One thread and poll(): every chunk read is held until its own due time, so a delay
// in one direction never holds up the other.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kHelp =
    "usage: vkt-linkproxy --listen ADDR:PORT --target ADDR:PORT [--delay MS] [--control PORT]\n"
    "\n"
    "Forwards every TCP connection made to --listen to --target. Both addresses must be\n"
    "loopback addresses (127.0.0.0/8); PORT 0 of --listen takes a free port. The first line\n"
    "printed says where it listens:\n"
    "  listening 127.0.0.1:PORT target 127.0.0.1:PORT [control 127.0.0.1:PORT]\n"
    "\n"
    "Commands, one a line, each answered with one line (\"ok ...\", \"error ...\" or the\n"
    "figures): on standard input (its end quits), or with --control on a TCP port of the\n"
    "listening address (0: a free one; standard input is then left alone).\n"
    "  delay MS     hold every chunk MS milliseconds in each direction (0 to 600000);\n"
    "               chunks already held keep their time, and the order is kept\n"
    "  cut [fin]    close every open connection on both sides, with RST (or FIN)\n"
    "  hang         forward nothing either way; connections stay open, new ones are\n"
    "               taken but not passed on: a link that went silent\n"
    "  down         cut with RST, and reset every new connection until heal\n"
    "  heal         forward again (after hang or down)\n"
    "  stats        open=N accepted=N to_server=BYTES to_client=BYTES turns=N delay_ms=MS\n"
    "               state=live|hung|down; bytes as forwarded; a turn is data sent by a\n"
    "               client that follows data of its server, or a connection's first data\n"
    "  quit         end the proxy\n"
    "\n"
    "Exit code: 0 after quit (or the end of standard input), 1 when it cannot listen, 2 for a\n"
    "usage error or an address beyond the loopback.\n";

constexpr size_t kReadSize = 64 * 1024;
// Beyond this much held in one direction the sender is not read: the kernel's window
// then slows it, as a slow link would.
constexpr size_t kMaxHeld = 4 * 1024 * 1024;
constexpr long kMaxDelayMs = 600000;

enum class State { Live, Hung, Down };

struct Chunk {
    Clock::time_point due;
    std::string bytes;  // empty: the sender's end of data
};

// One direction of a link: what was read from one side and is due to the other.
struct Flow {
    std::deque<Chunk> held;
    size_t heldBytes = 0;
    size_t sentOfFront = 0;
    bool readEnded = false;  // the end of data is held or passed on
    bool done = false;       // the end of data is passed on
};

struct Link {
    int client = -1, server = -1;
    bool connecting = false;
    bool lastFromClient = false;  // whose data came last: a turn starts at the client's
    Flow up, down;                // client → server, server → client
};

struct Endpoint {
    in_addr address{};
    int port = 0;
};

struct Totals {
    long accepted = 0, turns = 0;
    unsigned long long toServer = 0, toClient = 0;
};

bool ParseEndpoint(const std::string& text, bool portZeroAllowed, Endpoint& endpoint) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    const std::string host = text.substr(0, colon), port = text.substr(colon + 1);
    char* end = nullptr;
    const long number = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || number < (portZeroAllowed ? 0 : 1) || number > 65535) {
        return false;
    }
    if (inet_pton(AF_INET, host.c_str(), &endpoint.address) != 1) return false;
    endpoint.port = static_cast<int>(number);
    return true;
}

bool IsLoopback(const Endpoint& endpoint) {
    return (ntohl(endpoint.address.s_addr) >> 24) == 127;
}

std::string Describe(const Endpoint& endpoint) {
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &endpoint.address, text, sizeof text);
    return std::string(text) + ":" + std::to_string(endpoint.port);
}

sockaddr_in SocketAddress(const Endpoint& endpoint) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr = endpoint.address;
    at.sin_port = htons(static_cast<uint16_t>(endpoint.port));
    return at;
}

void MakeNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// A listening socket; `endpoint.port` becomes the port bound when it was 0.
int Listen(Endpoint& endpoint) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in at = SocketAddress(endpoint);
    socklen_t length = sizeof at;
    if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
        close(fd);
        return -1;
    }
    endpoint.port = ntohs(at.sin_port);
    MakeNonBlocking(fd);
    return fd;
}

// Closes with RST: the peer's next call fails at once, as on a link torn down.
void Reset(int fd) {
    if (fd < 0) return;
    const linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(fd);
}

// Closes with FIN. Unread data would turn the close into RST, so it is read away first.
void Finish(int fd) {
    if (fd < 0) return;
    shutdown(fd, SHUT_WR);
    char sink[4096];
    while (recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
    close(fd);
}

class Proxy {
public:
    Proxy(Endpoint target, long delayMs) : m_target(target), m_delayMs(delayMs) {}

    int Run(int listener, int controlListener);

private:
    struct Control {
        int in, out;
        std::string pending;
    };

    void Accept(int listener);
    void StartConnect(Link& link);
    // Reads what `from` has into `flow`; false when the link is to be dropped.
    bool Read(Link& link, int from, Flow& flow, bool fromClient);
    // Passes on what is due of `flow` to `to`; false when the link is to be dropped.
    bool Write(int to, Flow& flow, bool toServer);
    bool Serve(Link& link, short clientEvents, short serverEvents);
    void CutAll(bool reset);
    // Reads a control peer; false at its end.
    bool ReadControl(Control& control);
    std::string Execute(const std::string& line);
    std::string Stats() const;
    int PollTimeoutMs() const;
    // What this round polls: each link's client and server, the listener, the control
    // listener (when there is one) and the controls, in that order.
    std::vector<pollfd> PollSet(int listener, int controlListener) const;
    // Serves the links, drops the ended ones and accepts; `at` is left at the first
    // control's place in `polled`.
    void ServeLinks(const std::vector<pollfd>& polled, int listener, int controlListener,
                    size_t& at);
    // Reads the controls; false when standard input ended (the proxy ends then).
    bool ServeControls(const std::vector<pollfd>& polled, size_t at);

    const Endpoint m_target;
    long m_delayMs;
    State m_state = State::Live;
    bool m_quit = false;
    std::list<Link> m_links;
    std::list<Control> m_controls;
    Totals m_totals;
    std::vector<char> m_buffer = std::vector<char>(kReadSize);
};

void Proxy::Accept(int listener) {
    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (m_state == State::Down) {
            Reset(fd);
            continue;
        }
        ++m_totals.accepted;
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        m_links.emplace_back();
        m_links.back().client = fd;
        // A hung link passes nothing on, not even the connection: that waits for heal.
        if (m_state == State::Live) StartConnect(m_links.back());
    }
}

void Proxy::StartConnect(Link& link) {
    link.server = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (link.server < 0) return;
    const int on = 1;
    setsockopt(link.server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const sockaddr_in at = SocketAddress(m_target);
    const int rc = connect(link.server, reinterpret_cast<const sockaddr*>(&at), sizeof at);
    link.connecting = rc != 0 && errno == EINPROGRESS;
    if (rc != 0 && !link.connecting) {
        close(link.server);
        link.server = -1;
    }
}

bool Proxy::Read(Link& link, int from, Flow& flow, bool fromClient) {
    while (!flow.readEnded && flow.heldBytes < kMaxHeld) {
        const ssize_t got = recv(from, m_buffer.data(), m_buffer.size(), 0);
        if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        const Clock::time_point due = Clock::now() + std::chrono::milliseconds(m_delayMs);
        if (got == 0) {
            flow.readEnded = true;
            flow.held.push_back({due, {}});
            return true;
        }
        if (fromClient && !link.lastFromClient) ++m_totals.turns;
        link.lastFromClient = fromClient;
        flow.heldBytes += static_cast<size_t>(got);
        flow.held.push_back({due, std::string(m_buffer.data(), static_cast<size_t>(got))});
    }
    return true;
}

bool Proxy::Write(int to, Flow& flow, bool toServer) {
    const Clock::time_point now = Clock::now();
    while (!flow.held.empty() && flow.held.front().due <= now) {
        Chunk& front = flow.held.front();
        if (front.bytes.empty()) {
            shutdown(to, SHUT_WR);
            flow.held.pop_front();
            flow.done = true;
            return true;
        }
        const ssize_t sent = send(to, front.bytes.data() + flow.sentOfFront,
                                  front.bytes.size() - flow.sentOfFront, MSG_NOSIGNAL);
        if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        flow.sentOfFront += static_cast<size_t>(sent);
        (toServer ? m_totals.toServer : m_totals.toClient) += static_cast<size_t>(sent);
        if (flow.sentOfFront < front.bytes.size()) return true;
        flow.heldBytes -= front.bytes.size();
        flow.sentOfFront = 0;
        flow.held.pop_front();
    }
    return true;
}

bool Proxy::Serve(Link& link, short clientEvents, short serverEvents) {
    if (link.server < 0) StartConnect(link);
    if (link.server < 0) return false;
    if (link.connecting && serverEvents != 0) {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(link.server, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) return false;
        link.connecting = false;
        serverEvents = POLLIN;
    }
    if ((clientEvents & (POLLIN | POLLHUP | POLLERR)) && !Read(link, link.client, link.up, true)) {
        return false;
    }
    if (!link.connecting && (serverEvents & (POLLIN | POLLHUP | POLLERR)) &&
        !Read(link, link.server, link.down, false)) {
        return false;
    }
    if (!link.connecting && !Write(link.server, link.up, true)) return false;
    return Write(link.client, link.down, false);
}

void Proxy::CutAll(bool reset) {
    for (Link& link : m_links) {
        for (int fd : {link.client, link.server}) reset ? Reset(fd) : Finish(fd);
    }
    m_links.clear();
}

int Proxy::PollTimeoutMs() const {
    if (m_state != State::Live) return -1;
    const Clock::time_point now = Clock::now();
    long wait = -1;
    for (const Link& link : m_links) {
        // Accepted while hung: its connect starts in the next round.
        if (link.server < 0) return 0;
        // A chunk due already waits for POLLOUT; one to come, for its time.
        for (const Flow* flow : {&link.up, &link.down}) {
            if (flow->held.empty() || flow->held.front().due <= now) continue;
            const long ms = static_cast<long>(
                std::chrono::ceil<std::chrono::milliseconds>(flow->held.front().due - now).count());
            wait = wait < 0 ? ms : std::min(wait, ms);
        }
    }
    return static_cast<int>(wait);
}

bool Proxy::ReadControl(Control& control) {
    char buffer[1024];
    const ssize_t got = read(control.in, buffer, sizeof buffer);
    if (got < 0) return errno == EAGAIN || errno == EINTR;
    if (got == 0) return false;
    control.pending.append(buffer, static_cast<size_t>(got));
    for (size_t end; (end = control.pending.find('\n')) != std::string::npos;) {
        std::string line = control.pending.substr(0, end);
        control.pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string answer = Execute(line) + "\n";
        // The answers are short and the peer waits for them: a blocking write.
        if (write(control.out, answer.data(), answer.size()) < 0) return false;
    }
    return control.pending.size() <= 4096;
}

std::string Proxy::Execute(const std::string& line) {
    char word[16] = "", extra[16] = "";
    const int fields = std::sscanf(line.c_str(), "%15s %15s", word, extra);
    const std::string command = fields >= 1 ? word : "";
    const std::string argument = fields >= 2 ? extra : "";
    if (command == "delay") {
        char* end = nullptr;
        const long value = std::strtol(argument.c_str(), &end, 10);
        if (argument.empty() || *end != '\0' || value < 0 || value > kMaxDelayMs) {
            return "error delay takes milliseconds, 0 to " + std::to_string(kMaxDelayMs);
        }
        m_delayMs = value;
        return "ok delay " + std::to_string(value);
    }
    if (command == "cut" && (argument.empty() || argument == "fin" || argument == "rst")) {
        const size_t count = m_links.size();
        CutAll(argument != "fin");
        return "ok cut " + std::to_string(count);
    }
    if (command == "down") {
        const size_t count = m_links.size();
        CutAll(true);
        m_state = State::Down;
        return "ok down, cut " + std::to_string(count);
    }
    if (command == "hang") {
        if (m_state == State::Live) m_state = State::Hung;
        return "ok hang";
    }
    if (command == "heal") {
        m_state = State::Live;
        return "ok heal";
    }
    if (command == "stats") return Stats();
    if (command == "quit") {
        m_quit = true;
        return "ok quit";
    }
    return "error unknown command: " + line.substr(0, 64);
}

std::string Proxy::Stats() const {
    const char* state = m_state == State::Live ? "live" : m_state == State::Hung ? "hung" : "down";
    return "open=" + std::to_string(m_links.size()) +
           " accepted=" + std::to_string(m_totals.accepted) +
           " to_server=" + std::to_string(m_totals.toServer) +
           " to_client=" + std::to_string(m_totals.toClient) +
           " turns=" + std::to_string(m_totals.turns) + " delay_ms=" + std::to_string(m_delayMs) +
           " state=" + state;
}

std::vector<pollfd> Proxy::PollSet(int listener, int controlListener) const {
    const bool live = m_state == State::Live;
    const Clock::time_point now = Clock::now();
    auto due = [&](const Flow& flow) { return !flow.held.empty() && flow.held.front().due <= now; };
    std::vector<pollfd> polled;
    for (const Link& link : m_links) {
        short client = 0, server = 0;
        if (!link.up.readEnded && link.up.heldBytes < kMaxHeld) client |= POLLIN;
        if (due(link.down)) client |= POLLOUT;
        if (link.connecting) {
            server = POLLOUT;
        } else {
            if (!link.down.readEnded && link.down.heldBytes < kMaxHeld) server |= POLLIN;
            if (due(link.up)) server |= POLLOUT;
        }
        // A negative descriptor is passed over by poll() and keeps the places; one
        // with nothing asked is left out too, as its hang-up would be told again and
        // again until the other side ends.
        polled.push_back({live && client ? link.client : -1, client, 0});
        polled.push_back({live && server ? link.server : -1, server, 0});
    }
    polled.push_back({listener, POLLIN, 0});
    if (controlListener >= 0) polled.push_back({controlListener, POLLIN, 0});
    for (const Control& control : m_controls) polled.push_back({control.in, POLLIN, 0});
    return polled;
}

void Proxy::ServeLinks(const std::vector<pollfd>& polled, int listener, int controlListener,
                       size_t& at) {
    const bool live = m_state == State::Live;
    at = 0;
    for (auto link = m_links.begin(); link != m_links.end(); at += 2) {
        const bool keep = !live || Serve(*link, polled[at].revents, polled[at + 1].revents);
        if (keep && !(link->up.done && link->down.done)) {
            ++link;
            continue;
        }
        for (int fd : {link->client, link->server}) keep ? (void)close(fd) : Reset(fd);
        link = m_links.erase(link);
    }
    if (polled[at++].revents) Accept(listener);
    if (controlListener >= 0 && polled[at++].revents) {
        const int fd = accept4(controlListener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) m_controls.push_back({fd, fd, {}});
    }
}

bool Proxy::ServeControls(const std::vector<pollfd>& polled, size_t at) {
    for (auto control = m_controls.begin(); at < polled.size(); ++at) {
        if (!polled[at].revents || ReadControl(*control)) {
            ++control;
            continue;
        }
        // The end of standard input ends the proxy; a control peer just goes.
        if (control->in == STDIN_FILENO) return false;
        close(control->in);
        control = m_controls.erase(control);
    }
    return true;
}

int Proxy::Run(int listener, int controlListener) {
    if (controlListener < 0) m_controls.push_back({STDIN_FILENO, STDOUT_FILENO, {}});
    while (!m_quit) {
        // The links first, in list order, then the listeners and the controls: a link
        // accepted or a cut made in this round changes only what the next round polls.
        std::vector<pollfd> polled = PollSet(listener, controlListener);
        if (poll(polled.data(), polled.size(), PollTimeoutMs()) < 0 && errno != EINTR) return 1;
        size_t at = 0;
        ServeLinks(polled, listener, controlListener, at);
        if (!ServeControls(polled, at)) return 0;
    }
    return 0;
}

}  // namespace

namespace {

struct Options {
    Endpoint listen, target, control;
    bool haveListen = false, haveTarget = false, haveControl = false;
    long delayMs = 0;
};

// One option and its value into `options`; false when the value is bad or the option
// unknown.
bool TakeOption(const std::string& option, const std::string& value, Options& options) {
    char* end = nullptr;
    if (option == "--listen") {
        return options.haveListen = ParseEndpoint(value, true, options.listen);
    }
    if (option == "--target") {
        return options.haveTarget = ParseEndpoint(value, false, options.target);
    }
    if (option == "--delay") {
        options.delayMs = std::strtol(value.c_str(), &end, 10);
        return !value.empty() && *end == '\0' && options.delayMs >= 0 &&
               options.delayMs <= kMaxDelayMs;
    }
    if (option == "--control") {
        const long port = std::strtol(value.c_str(), &end, 10);
        options.control.port = static_cast<int>(port);
        return options.haveControl = !value.empty() && *end == '\0' && port >= 0 && port <= 65535;
    }
    return false;
}

// The options, or the exit code when the proxy is not to run (-1: it runs).
int ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "vkt-linkproxy: %s needs a value\n%s", option.c_str(), kHelp);
            return 2;
        }
        const std::string value = argv[++i];
        if (!TakeOption(option, value, options)) {
            std::fprintf(stderr, "vkt-linkproxy: bad %s %s\n%s", option.c_str(), value.c_str(),
                         kHelp);
            return 2;
        }
    }
    if (!options.haveListen || !options.haveTarget) {
        std::fprintf(stderr, "vkt-linkproxy: --listen and --target are needed\n%s", kHelp);
        return 2;
    }
    // A tool that breaks links must never be pointed at a real network.
    if (!IsLoopback(options.listen) || !IsLoopback(options.target)) {
        std::fprintf(stderr, "vkt-linkproxy: only loopback addresses (127.0.0.0/8): %s, %s\n",
                     Describe(options.listen).c_str(), Describe(options.target).c_str());
        return 2;
    }
    return -1;
}

int ListenAndRun(Options& options) {
    const int listener = Listen(options.listen);
    options.control.address = options.listen.address;
    const int controlListener = options.haveControl ? Listen(options.control) : -1;
    if (listener < 0 || (options.haveControl && controlListener < 0)) {
        std::fprintf(stderr, "vkt-linkproxy: cannot listen on %s: %s\n",
                     Describe(listener < 0 ? options.listen : options.control).c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::printf("listening %s target %s%s\n", Describe(options.listen).c_str(),
                Describe(options.target).c_str(),
                options.haveControl ? (" control " + Describe(options.control)).c_str() : "");
    std::fflush(stdout);
    Proxy proxy(options.target, options.delayMs);
    return proxy.Run(listener, controlListener);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::signal(SIGPIPE, SIG_IGN);
        Options options;
        const int exit = ParseOptions(argc, argv, options);
        return exit >= 0 ? exit : ListenAndRun(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vkt-linkproxy: %s\n", error.what());
        return 1;
    }
}
