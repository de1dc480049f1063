#pragma once

// Telnet as a device server speaks it (RFC 854, 856 and 2217's
// COM-PORT-OPTION), pure: bytes in, data bytes and events out, and the bytes
// to send back. No I/O and no clock, so any stream a server sends has one
// defined result.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace telnet {

inline constexpr std::uint8_t se = 240;
inline constexpr std::uint8_t sb = 250;
inline constexpr std::uint8_t will = 251;
inline constexpr std::uint8_t wont = 252;
inline constexpr std::uint8_t do_ = 253;
inline constexpr std::uint8_t dont = 254;
inline constexpr std::uint8_t iac = 255;

inline constexpr std::uint8_t binary = 0;
inline constexpr std::uint8_t suppress_go_ahead = 3;
inline constexpr std::uint8_t com_port_option = 44;

// COM-PORT-OPTION commands by the client's codes; a server answers each
// with its code plus 100.
enum class ComPortCommand : std::uint8_t {
    signature = 0,
    set_baudrate = 1,
    set_datasize = 2,
    set_parity = 3,
    set_stopsize = 4,
    set_control = 5,
    notify_linestate = 6,
    notify_modemstate = 7,
    flowcontrol_suspend = 8,
    flowcontrol_resume = 9,
    set_linestate_mask = 10,
    set_modemstate_mask = 11,
    purge_data = 12,
};
inline constexpr std::uint8_t server_offset = 100;

// Values of the line settings as RFC 2217 codes them.
inline constexpr std::uint8_t parity_none = 1;
inline constexpr std::uint8_t parity_odd = 2;
inline constexpr std::uint8_t parity_even = 3;
inline constexpr std::uint8_t stop_one = 1;
inline constexpr std::uint8_t control_none = 1; // no flow control, outbound and both
inline constexpr std::uint8_t purge_both = 3;

// A subnegotiation keeps at most this many bytes; the rest is dropped up
// to its end, so one that never ends costs no memory.
inline constexpr std::size_t subnegotiation_limit = 32;

struct Event {
    enum class Kind {
        will, // the server will use `option`, or agrees to
        wont,
        do_, // the server asks this side to use `option`, or agrees to
        dont,
        com_port,       // a server's COM-PORT-OPTION answer or notice: `command`, `value`
        subnegotiation, // any other: of `option`, or one of COM-PORT-OPTION this does not read
        command,        // IAC and a command of its own (NOP, AYT, GA...): `option` holds it
    };
    Kind kind = Kind::command;
    std::uint8_t option = 0;
    ComPortCommand command = ComPortCommand::signature; // com_port: the client's code it answers
    std::uint32_t value = 0;                            // com_port: its value, most significant byte first
    std::size_t value_size = 0;                         // com_port: the value's bytes (4 at most are read)
    bool cut = false;                                   // subnegotiation: longer than the limit
    friend bool operator==(const Event&, const Event&) = default;
};

// Where a stream stands between two reads: a command may be split anywhere.
struct Decoder {
    enum class State { data, command, option, subnegotiation, subnegotiation_command };
    State state = State::data;
    std::uint8_t verb = 0;
    std::array<std::uint8_t, subnegotiation_limit> kept{};
    std::size_t kept_size = 0;
    bool cut = false;
};

// Appends the data bytes among `bytes` to `data` (IAC IAC as one 0xFF) and
// what else came to `events`. Each event takes at least two bytes of input.
void decode(Decoder& decoder, std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& data,
            std::vector<Event>& events);

// Data as it must go out: every 0xFF doubled.
void append_data(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> data);

void append_negotiation(std::vector<std::uint8_t>& out, std::uint8_t verb, std::uint8_t option);

// IAC SB COM-PORT-OPTION command value IAC SE, the value `size` bytes most
// significant first (SET-BAUDRATE 4, the others 1).
void append_com_port(std::vector<std::uint8_t>& out, ComPortCommand command, std::uint32_t value,
                     std::size_t size);

// Each option as this side knows it on both ends (RFC 1143's states, short):
// so an answer goes out only when something changes and two ends never
// loop.
enum class OptionState : std::uint8_t { off, asked, on, refused };
struct Options {
    std::array<OptionState, 256> local{};  // what this side does
    std::array<OptionState, 256> remote{}; // what the server does
};

// This side's opening: WILL and DO BINARY, WILL COM-PORT-OPTION (or only
// BINARY when `com_port` is false).
std::vector<std::uint8_t> opening(Options& options, bool com_port = true);

// What to send for the server's WILL, WONT, DO or DONT: agreement for
// BINARY, SUPPRESS-GO-AHEAD and (this side) COM-PORT-OPTION, refusal for
// anything else; nothing where nothing changed. Nothing for other events.
std::vector<std::uint8_t> answer(Options& options, const Event& event);

} // namespace telnet
