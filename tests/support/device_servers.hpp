#pragma once

// Device servers for the tests: Debian's ser2net in front of a pseudo-
// terminal, and a small telnet server of the kit's own that misbehaves as
// told, with the emulator's controller behind it. Both on loopback, on a
// free port, for as long as their handle lives.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kit.hpp"

namespace kit {

// A TCP port on 127.0.0.1 that nothing listens on just now.
unsigned free_loopback_port();

// Sockets of the test's own on 127.0.0.1:port, closed with the value.
struct Sockets {
    unsigned port = 0;
    std::vector<int> fds{};
    Sockets() = default;
    Sockets(Sockets&& other) noexcept : port(other.port), fds(std::move(other.fds)) {}
    ~Sockets();
};
// A listener that never accepts nor reads, `waiting` connections in its
// queue: with 4 a further connect gets no answer, with 0 one more is taken
// and never read.
Sockets full_listener(int waiting = 4);
// A client that holds a connection to a server, as another program would.
Sockets connection_to(unsigned port);

enum class Ser2netMode { telnet_rfc2217, raw };

struct Ser2net {
    int pid = -1;
    unsigned port = 0;
    std::filesystem::path folder{}; // its configuration and output
};
struct Ser2netStop {
    void operator()(Ser2net* server) const;
};
using Ser2netHandle = std::unique_ptr<Ser2net, Ser2netStop>;

// ser2net in the foreground, serving `device` at `line_default`
// (ser2net's words: 19200e71) on a free loopback port, its configuration
// in `folder`. Null with `error` when it does not listen within 5 s.
Ser2netHandle start_ser2net(const std::filesystem::path& folder, const std::string& device, Ser2netMode mode,
                            std::string& error, const std::string& line_default = "19200e71");

// How the kit's own server misbehaves.
struct ServerScript {
    bool telnet = true;                           // false: bare TCP
    bool refuse_com_port = false;                 // DONT COM-PORT-OPTION
    bool answer_control = true;                   // false: SET-CONTROL never acknowledged
    std::optional<std::uint32_t> answered_baud{}; // answers this instead of what was asked
    bool silent = false;                          // accepts, reads, never sends a byte
    std::string greeting{};                       // sent at once on accepting
    bool close_after_greeting = false;
    bool reset = false;                              // that close a reset (RST), not an end (FIN)
    Bytes inside_replies{};                          // sent in the middle of every reply
    std::optional<std::size_t> close_inside_reply{}; // closes after this many bytes of the first reply
};

// What the server saw, for the test to judge.
struct ServerSeen {
    Bytes data{};        // the client's line bytes, telnet taken out
    Bytes negotiation{}; // the client's IAC WILL/WONT/DO/DONT triples, in order
    std::vector<std::pair<std::uint8_t, std::uint32_t>> com_port{}; // each COM-PORT-OPTION command and value
    int connections = 0;
};

struct TelnetServer;
struct TelnetServerStop {
    void operator()(TelnetServer* server) const;
};
using TelnetServerHandle = std::unique_ptr<TelnetServer, TelnetServerStop>;

// Listens on a free loopback port and answers with the emulated controller.
TelnetServerHandle start_telnet_server(const ServerScript& script,
                                       const emulator::ControllerSetup& controller = {});
unsigned port_of(const TelnetServer& server);
// Its URL: rfc2217:// or, for bare TCP, socket://.
std::string url_of(const TelnetServer& server);
ServerSeen seen_by(const TelnetServer& server);

} // namespace kit
