#include "device_servers.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "controller.hpp"

namespace kit {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t iac = 255;
constexpr std::uint8_t sb = 250;
constexpr std::uint8_t se = 240;
constexpr std::uint8_t will = 251;
constexpr std::uint8_t do_ = 253;
constexpr std::uint8_t dont = 254;
constexpr std::uint8_t com_port = 44;

sockaddr_in loopback(unsigned port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

int listen_loopback(unsigned port, int backlog)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in address = loopback(port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Not waited for: a full listener never answers.
int connect_loopback(unsigned port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    (void)::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return fd;
}

unsigned bound_port(int fd)
{
    sockaddr_in address{};
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

// Whether something listens on 127.0.0.1:port, from the kernel's table:
// a probe connection would open the device behind ser2net.
bool listening(unsigned port)
{
    std::ifstream table("/proc/net/tcp");
    std::string line;
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A") {
            return true;
        }
    }
    return false;
}

void send_all(int fd, const Bytes& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

Bytes doubled(const Bytes& bytes)
{
    Bytes out;
    for (const std::uint8_t byte : bytes) {
        out.push_back(byte);
        if (byte == iac) {
            out.push_back(iac);
        }
    }
    return out;
}

} // namespace

unsigned free_loopback_port()
{
    const int fd = listen_loopback(0, 1);
    const unsigned port = bound_port(fd);
    ::close(fd);
    return port;
}

Sockets::~Sockets()
{
    for (const int fd : fds) {
        ::close(fd);
    }
}

Sockets connection_to(unsigned port)
{
    Sockets held;
    held.port = port;
    held.fds.push_back(connect_loopback(port));
    return held;
}

Sockets full_listener(int waiting)
{
    const int listener = listen_loopback(0, 0);
    Sockets full;
    full.port = bound_port(listener);
    full.fds.push_back(listener);
    for (int i = 0; i < waiting; ++i) {
        full.fds.push_back(connect_loopback(full.port));
    }
    return full;
}

void Ser2netStop::operator()(Ser2net* server) const
{
    if (server->pid > 0) {
        kill(server->pid, SIGTERM);
        int status = 0;
        waitpid(server->pid, &status, 0);
    }
    delete server;
}

Ser2netHandle start_ser2net(const std::filesystem::path& folder, const std::string& device, Ser2netMode mode,
                            std::string& error, const std::string& line_default)
{
    std::filesystem::create_directories(folder);
    Ser2netHandle server(new Ser2net{.port = free_loopback_port(), .folder = folder});
    const std::filesystem::path config = folder / "ser2net.yaml";
    {
        std::ofstream yaml(config);
        yaml << "connection: &line\n"
             << "  accepter: " << (mode == Ser2netMode::telnet_rfc2217 ? "telnet(rfc2217),tcp," : "tcp,")
             << "127.0.0.1," << server->port << "\n"
             << "  connector: serialdev," << device << "," << line_default << ",local\n";
    }
    const std::string output = (folder / "ser2net.out").string();
    const std::string pid_file = (folder / "ser2net.pid").string();
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        setsid();
        // -n: in the foreground; -u: no UUCP lock files outside the test's folder.
        execlp("ser2net", "ser2net", "-n", "-u", "-c", config.c_str(), "-P", pid_file.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    server->pid = pid;
    const Clock::time_point until = Clock::now() + std::chrono::seconds(5);
    while (!listening(server->port)) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            server->pid = -1;
            error = "ser2net ended at once; see " + output;
            return nullptr;
        }
        if (Clock::now() > until) {
            error = "ser2net does not listen on port " + std::to_string(server->port);
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return server;
}

struct TelnetServer {
    ServerScript script{};
    emulator::ControllerSetup controller{};
    int listener = -1;
    unsigned port = 0;
    std::atomic<bool> stopping{false};
    std::thread thread{};
    mutable std::mutex mutex{};
    ServerSeen seen{}; // guarded by mutex
};

namespace {

// One client: its telnet taken apart as RFC 854 says, without the
// product's codec, and its requests answered by the emulated controller.
struct Client {
    TelnetServer& server;
    int fd;
    std::optional<emulator::Line> line{};
    enum class State { data, command, option, sub, sub_command } state = State::data;
    std::uint8_t verb = 0;
    Bytes sub{};
    Clock::time_point start = Clock::now();

    template <class Change> void note(Change change)
    {
        std::lock_guard lock(server.mutex);
        change(server.seen);
    }

    void reply(const Bytes& bytes)
    {
        const ServerScript& script = server.script;
        const Bytes out = script.telnet ? doubled(bytes) : bytes;
        // The first reply's start, then a close; or the reply in two halves.
        const auto cut = out.begin() + static_cast<std::ptrdiff_t>(std::min(
                                           script.close_inside_reply.value_or(out.size() / 2), out.size()));
        send_all(fd, Bytes(out.begin(), cut));
        if (script.close_inside_reply) {
            shutdown(fd, SHUT_RDWR); // later sends fail
            return;
        }
        send_all(fd, script.inside_replies);
        send_all(fd, Bytes(cut, out.end()));
    }

    void data(std::uint8_t byte)
    {
        note([byte](ServerSeen& seen) { seen.data.push_back(byte); });
        const auto now = std::chrono::duration_cast<emulator::Microseconds>(Clock::now() - start);
        for (const emulator::Response& response : emulator::feed(*line, std::span(&byte, 1), now)) {
            if (!server.script.silent) {
                reply(response.reply);
            }
        }
    }

    void negotiation(std::uint8_t option)
    {
        note([&](ServerSeen& seen) { seen.negotiation.insert(seen.negotiation.end(), {iac, verb, option}); });
        if (server.script.silent) {
            return;
        }
        if (verb == will && option == com_port) {
            send_all(fd, {iac, server.script.refuse_com_port ? dont : do_, com_port});
        } else if (verb == will && option == 0) {
            send_all(fd, {iac, do_, 0});
        } else if (verb == do_ && option == 0) {
            send_all(fd, {iac, will, 0});
        }
    }

    void subnegotiation()
    {
        if (sub.size() < 2 || sub[0] != com_port) {
            return;
        }
        // As a server reads a value: SET-BAUDRATE's four bytes, another's one.
        std::uint32_t value = 0;
        for (std::size_t i = 2; i < std::min<std::size_t>(sub.size(), sub[1] == 1 ? 6 : 3); ++i) {
            value = value << 8 | sub[i];
        }
        note([&](ServerSeen& seen) { seen.com_port.emplace_back(sub[1], value); });
        const ServerScript& script = server.script;
        if (script.silent || script.refuse_com_port || (sub[1] == 5 && !script.answer_control)) {
            return;
        }
        Bytes value_bytes(sub.begin() + 2, sub.end());
        if (sub[1] == 1 && script.answered_baud) {
            const std::uint32_t baud = *script.answered_baud;
            value_bytes = {static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
                           static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)};
        }
        const Bytes answer{static_cast<std::uint8_t>(sub[1] + 100)};
        send_all(fd, concat({{iac, sb, com_port}, doubled(concat({answer, value_bytes})), {iac, se}}));
    }

    // RFC 854: IAC IAC is a 0xFF of the data or of a value.
    void take(std::uint8_t byte)
    {
        const State was = state;
        state = State::data;
        if (!server.script.telnet || (was == State::data && byte != iac) ||
            (was == State::command && byte == iac)) {
            data(byte);
        } else if (was == State::data) {
            state = State::command;
        } else if (was == State::command) {
            verb = byte;
            sub.clear();
            state = byte >= will ? State::option : byte == sb ? State::sub : State::data;
        } else if (was == State::option) {
            negotiation(byte);
        } else if (was == State::sub_command && byte != iac) {
            subnegotiation();
        } else if (was == State::sub && byte == iac) {
            state = State::sub_command;
        } else {
            sub.push_back(byte);
            state = State::sub;
        }
    }
};

void serve(TelnetServer& server, int fd)
{
    std::string error;
    Client client{.server = server, .fd = fd};
    client.line = emulator::make_line({server.controller}, {}, error);
    const ServerScript& script = server.script;
    if (!script.silent) {
        if (script.telnet) {
            // Options a server may offer that the client must refuse.
            send_all(fd, {iac, will, 1 /* ECHO */, iac, do_, 24 /* TERMINAL-TYPE */});
        }
        send_all(fd, Bytes(script.greeting.begin(), script.greeting.end()));
        if (script.close_after_greeting) {
            if (script.reset) {
                const linger abort{.l_onoff = 1, .l_linger = 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            }
            return;
        }
    }
    std::uint8_t buffer[512];
    while (!server.stopping) {
        pollfd one{fd, POLLIN, 0};
        if (poll(&one, 1, 50) <= 0) {
            continue;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            client.take(buffer[i]);
        }
    }
}

void accept_loop(TelnetServer& server)
{
    while (!server.stopping) {
        pollfd one{server.listener, POLLIN, 0};
        if (poll(&one, 1, 50) <= 0) {
            continue;
        }
        const int fd = accept4(server.listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        {
            std::lock_guard lock(server.mutex);
            ++server.seen.connections;
        }
        serve(server, fd);
        ::close(fd);
    }
}

} // namespace

void TelnetServerStop::operator()(TelnetServer* server) const
{
    server->stopping = true;
    if (server->thread.joinable()) {
        server->thread.join();
    }
    ::close(server->listener);
    delete server;
}

TelnetServerHandle start_telnet_server(const ServerScript& script,
                                       const emulator::ControllerSetup& controller)
{
    TelnetServerHandle server(new TelnetServer{.script = script, .controller = controller});
    server->listener = listen_loopback(0, 4);
    server->port = bound_port(server->listener);
    server->thread = std::thread(accept_loop, std::ref(*server));
    return server;
}

unsigned port_of(const TelnetServer& server)
{
    return server.port;
}

std::string url_of(const TelnetServer& server)
{
    return (server.script.telnet ? "rfc2217://127.0.0.1:" : "socket://127.0.0.1:") +
           std::to_string(server.port);
}

ServerSeen seen_by(const TelnetServer& server)
{
    std::lock_guard lock(server.mutex);
    return server.seen;
}

} // namespace kit
