#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The serial link: a port is a value that open_port gives and close_port
// ends, so a program may hold several at once. Nothing here prints.
//
// Line: 9600 Bd, 8 data bits, odd parity, 1 stop bit, no flow control.
// A read of n bytes returns once n bytes have arrived, or after n + 1000 ms
// with whatever arrived by then.

// A COM port as Windows numbers them: COM1 to COM255.
struct ComPort {
    unsigned number = 0;
    friend bool operator==(const ComPort&, const ComPort&) = default;
};
inline constexpr unsigned highest_com_number = 255;

// "COM7" or "com7" is COM7; COM0, COM07, COM256 and anything else are none.
std::optional<ComPort> parse_com_port(std::string_view name);
std::string com_name(ComPort port);

// The one line setting every link runs at; the platform files set it.
inline constexpr unsigned line_baud = 9600;
inline constexpr const char* line_settings_text = "9600 Bd, 8 data bits, odd parity, 1 stop bit";

// How long a read of count bytes may take in all.
constexpr unsigned read_timeout_ms(std::size_t count)
{
    return 1000U + static_cast<unsigned>(count);
}

// Why a port did not open; --find tells a port in use from one that is not
// there.
enum class OpenStatus { open, no_device, in_use, denied, not_serial, setup_failed, other };

struct SerialPort;

// What crossed the link, as it happened: for a trace of the line.
struct LineEvent {
    enum class Kind { opened, open_failed, sent, received, discarded, closed };
    Kind kind = Kind::opened;
    std::span<const std::uint8_t> bytes{}; // sent, received or discarded
    std::size_t asked = 0;                 // received: the count the read asked for
    unsigned timeout_ms = 0;               // received: how long the read could wait
};
using LineObserver = std::function<void(const SerialPort& link, const LineEvent& event)>;

struct SerialPort {
    ComPort port{};
    std::string device{};      // what was opened: /dev/ttyUSB0, \\.\COM12
    std::intptr_t handle = -1; // the platform's descriptor or handle; -1 when not open
    OpenStatus status = OpenStatus::other;
    std::string failure{}; // why it did not open and what to do about it
    LineObserver observer{};
};

// "COM2 (/dev/ttyUSB1)", or "COM2" where the device is named so: the port as
// messages name it.
std::string port_and_device(const SerialPort& link);

// "COM2 (/dev/ttyUSB1): permission denied; ...": a failed open as one line
// for the technician.
std::string failure_line(const SerialPort& link);

// Opens the port exclusively and sets its line. On failure the link is not
// open and `status` and `failure` say why.
SerialPort open_port(ComPort port, LineObserver observer = {});
bool is_open(const SerialPort& link);

// Writes all count bytes; returns how many were written.
std::size_t port_write(SerialPort& link, const std::uint8_t* bytes, std::size_t count);

// Reads up to count bytes within read_timeout_ms(count); returns how many
// arrived.
std::size_t port_read(SerialPort& link, std::uint8_t* bytes, std::size_t count);

// The same with a time-out of the caller's: 0 takes only what is there.
std::size_t port_read_within(SerialPort& link, std::uint8_t* bytes, std::size_t count, unsigned timeout_ms);

// Drops whatever waits in the receive queue; returns how many bytes that was.
std::size_t port_discard_input(SerialPort& link);

void close_port(SerialPort& link);

// Where the platform lets the user say where COMn lives: COMn becomes the
// prefix followed by n-1. False where the platform names its ports itself.
bool set_com_device_prefix(const std::string& prefix);

// A serial port present on this machine, as --list shows it. Opens nothing.
struct PortInfo {
    std::optional<ComPort> port{}; // its COM name under the prefix in force, if any
    std::string device{};          // /dev/ttyUSB0, or the system's own name
    std::string description{};     // maker, product, serial number; Device Manager's name
    std::string reach{};           // a device outside the prefix: the options that reach it
    bool system_console = false;   // the kernel's console: --find leaves it alone
};
std::vector<PortInfo> list_ports();
