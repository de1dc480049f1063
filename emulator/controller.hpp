#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The controller's side of the serial protocol, without any I/O or clock.
// Bytes go in with the time they arrived; what to send, and when, comes out.
// It knows the frames on its own (no code shared with the configurator), so
// it catches a configurator that builds them wrong.

namespace emulator {

using Microseconds = std::chrono::microseconds;
using Configuration = std::array<std::uint8_t, 6>;

inline constexpr std::uint8_t start_byte = 0xFF;
inline constexpr std::uint8_t end_byte = 0x80;

inline constexpr std::uint8_t command_type = 0x28;
inline constexpr std::uint8_t command_firmware = 0x26;
inline constexpr std::uint8_t command_read = 0x30;
inline constexpr std::uint8_t command_write = 0x56;

// One character at 9600 Bd with start, eight data, parity and stop bit.
inline constexpr unsigned byte_time_9600_8o1_us = 1146;

enum class FaultKind {
    silent,              // no reply
    short_reply,         // reply without its last `count` bytes
    extra_bytes,         // reply followed by `bytes`
    replace_reply,       // `bytes` instead of the reply
    pieces,              // `count` bytes at a time, `delay_ms` apart, after `first_delay_ms`
    delay,               // whole reply after `delay_ms`
    hang_up,             // drop the line instead of answering
    hang_up_after_reply, // drop the line `delay_ms` after the reply's last byte
    ignore_write,        // acknowledge a write but keep the configuration
    garble,              // reply byte number `count` XOR-ed with `bytes[0]`
};

// Applies to valid request number `request`, or to every request when
// `always` is set. Requests are counted from 0, in arrival order, over those
// that reached this controller: on a line where controllers come and go,
// each counts its own. Several faults may hit one request; they apply in
// script order.
struct Fault {
    FaultKind kind = FaultKind::silent;
    std::size_t request = 0;
    bool always = false;
    std::size_t count = 0;
    unsigned delay_ms = 0;
    unsigned first_delay_ms = 0;
    std::vector<std::uint8_t> bytes{};
};

struct ControllerSetup {
    std::array<char, 8> type = {'Z', 'M', 'L', '-', '4', 'C', '0', '8'};
    std::uint8_t firmware_high = 1;
    std::uint8_t firmware_low = 5;
    Configuration configuration = {0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D};
    std::vector<Fault> faults{};
    // 0: bytes take no time on the line. Otherwise a request counts as
    // complete only when its last byte would have been on the wire, and
    // reply bytes leave one byte time apart.
    unsigned byte_time_us = 0;
    // Already in the port's input when the first client opens it, as an
    // adapter keeps what the controller sent at power-up; gone with that
    // client's session.
    std::vector<std::uint8_t> waiting{};
};

struct Request {
    std::uint8_t command = 0;
    std::vector<std::uint8_t> frame{};
    Microseconds arrived{0};  // its first byte, on the caller's clock
    Microseconds answered{0}; // its reply handed to the line; set by the transport
    // What was wrong with the line settings when it came; empty when they
    // were right. A request on a wrongly set line is not understood: no
    // reply, no change to the configuration.
    std::string line_problems{};
    // On a line: the controller connected when it came; none while nobody
    // was there to answer.
    std::optional<std::size_t> controller{};
};

// Counts of input that was not a valid request.
struct ProtocolErrors {
    unsigned stray_bytes = 0;     // skipped while looking for a start byte
    unsigned unknown_command = 0; // start byte followed by no known command
    unsigned bad_frame = 0;       // byte above 0x7F inside a frame, or wrong end byte
    unsigned bad_checksum = 0;
};

unsigned total(const ProtocolErrors& errors);

// At `at` on the caller's clock: write `bytes`, or hang up.
struct Action {
    Microseconds at{0};
    std::vector<std::uint8_t> bytes{};
    bool hang_up = false;
};

// What one valid request caused.
struct Response {
    std::size_t request = 0;           // index into Line::requests
    std::vector<std::uint8_t> reply{}; // everything that will be sent for it
    std::vector<Action> actions{};     // in time order
};

struct ReceivedByte {
    std::uint8_t value = 0;
    Microseconds at{0};
};

// A controller as it is now. Inside a Line its `received` and `errors` stay
// empty: the line keeps them.
struct Controller {
    ControllerSetup setup;
    Configuration configuration{};
    std::vector<std::uint8_t> received{}; // every byte, in order
    std::vector<Request> requests{};      // every valid frame, in order
    ProtocolErrors errors{};
    bool hung_up = false; // after a hang-up it takes no more input
};

Controller make_controller(const ControllerSetup& setup);

// One controller's time on the line. It is connected until it has received
// `stays` valid requests (0: to the end), then the line is silent for
// `absent` valid requests before the next visit's controller is connected.
// Only the last visit may stay to the end. Counting requests, not time,
// keeps a scripted run repeatable.
struct Visit {
    std::size_t controller = 0; // index into Line::controllers
    std::size_t stays = 0;
    std::size_t absent = 0;
};

struct Line;
std::vector<Response> feed(Line& line, std::span<const std::uint8_t> bytes, Microseconds now,
                           std::string_view line_problems);

// The serial line with the controllers that may be plugged into it. What
// arrives while nobody is connected is taken in and never answered. A
// controller that comes back holds the configuration it left with, as a
// real one keeps it without power.
struct Line {
    // Each with its configuration and the requests that reached it.
    std::vector<Controller> controllers{};
    std::vector<Visit> visits{};          // none: the first controller stays throughout
    std::vector<std::uint8_t> received{}; // every byte, in order
    std::vector<Request> requests{};      // every valid frame, in order
    ProtocolErrors errors{};
    bool hung_up = false; // after a hang-up it takes no more input
    // Disconnected by hand: nobody answers, and the visits' count waits
    // until it is connected again.
    bool unplugged = false;

  private:
    std::vector<ReceivedByte> frame_{}; // a frame begun but not complete
    Microseconds line_free_at_{0};      // when the last scheduled output ends
    std::size_t visit_ = 0;             // visits.size() once the last absence is over
    bool present_ = true;               // the visit's controller is still connected
    std::size_t counted_ = 0;           // valid requests in this stay or absence
    friend std::vector<Response> feed(Line&, std::span<const std::uint8_t>, Microseconds, std::string_view);
    friend std::optional<std::size_t> connected(const Line& line);
    friend Controller as_one(const Line& line);
};

// Null with `error` set when there is no controller, a visit names one that
// is not there, or visits follow one that stays to the end.
std::optional<Line> make_line(const std::vector<ControllerSetup>& controllers,
                              const std::vector<Visit>& visits, std::string& error);

// The controller connected now; none while the line is silent or unplugged.
std::optional<std::size_t> connected(const Line& line);

// The line seen as one controller: its bytes, requests, errors and hang-up,
// with the setup and configuration of the controller connected last.
// Without visits, that is the line's only controller.
Controller as_one(const Line& line);

// Takes bytes that arrived at `now`. `line_problems` describes the line
// settings at that moment (empty when right). Returns one response per valid
// request completed by these bytes, without actions for one that reached
// nobody; Response::request indexes Line::requests. Action times never go
// backwards, also across calls, so output for one request never overtakes
// that of another.
std::vector<Response> feed(Line& line, std::span<const std::uint8_t> bytes, Microseconds now,
                           std::string_view line_problems = {});

// Records when the reply to line request `request` was handed to the line,
// there and in the list of the controller it reached.
void mark_answered(Line& line, std::size_t request, Microseconds at);

// "FF 28 59 80": bytes as logs and test messages show them.
std::string hex(std::span<const std::uint8_t> bytes);

// Checksum of a frame's leading bytes: the negated byte sum, seven bits.
std::uint8_t checksum(std::span<const std::uint8_t> bytes);

// Total length of a request frame with this command.
std::optional<std::size_t> request_length(std::uint8_t command);

} // namespace emulator
