#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "port_name.hpp"

// The serial link: a port is a value that open_port gives and that closes
// itself when it goes, so a program may hold several at once. It reports
// facts (what happened, the system's error code) and never words: nothing
// here prints or phrases anything for a person. The caller gives the line's
// settings and every time-out.

// Where COMn lives. Off Windows, COMn is `prefix` followed by n-1; on
// Windows the system names its ports and the prefix is not used.
struct ComNaming {
    std::string prefix;
    // Where programs that take a UUCP lock file (LCK..ttyUSB0) put it.
    std::vector<std::string> lock_folders{};
};
// The build's own naming.
ComNaming default_com_naming();
// False where the system names its COM ports itself, so no prefix applies.
bool com_prefix_applies();

enum class Parity { none, odd, even };
struct LineSettings {
    unsigned baud = 9600;
    unsigned data_bits = 8;
    Parity parity = Parity::none;
    unsigned stop_bits = 1;
};

// What a line is left with when its port closes: the settings this program
// gave it, or those it found (a port probed among others, which may belong
// to a terminal program or a getty).
enum class Leaving { as_set, as_found };

// Why a port did not open.
enum class OpenStatus {
    open,
    no_device,
    in_use,
    own_terminal, // the terminal this program runs in
    denied,
    not_serial,
    setup_failed,     // a call that sets the line up failed; see failed_call
    settings_refused, // the driver does not keep the settings asked for; a server answered others
    // A port on a device server:
    connection_refused,       // nothing listens there
    no_such_host,             // the name does not resolve; system_error is getaddrinfo's code
    connect_timed_out,        // no answer within the connect's time
    in_use_by_another_client, // the server said so (ServerLine::said) or closed at once
    other,
};

// How a read or a write ended.
enum class TransferEnd {
    complete,  // every byte asked for
    timed_out, // the caller's time ran out first
    hung_up,   // the line is gone: an adapter pulled out, a modem line dropped
    failed,    // the system reported an error; see `error`
};

struct Transfer {
    std::size_t count = 0;
    TransferEnd end = TransferEnd::complete;
    int error = 0; // the system's error code when it failed
};

struct SerialPort;

// The open line as its own link holds it (a device's descriptor or handle),
// defined in that link's file; closing it is deleting it.
struct DeviceLine;
struct DeviceLineClose {
    void operator()(DeviceLine* line) const;
};
struct NetworkLine; // a connection to a device server
struct NetworkLineClose {
    void operator()(NetworkLine* line) const;
};

// What a device server answered for its line (RFC 2217 COM-PORT-OPTION), in
// its codes; none where it did not answer in time.
struct ComPortAnswers {
    std::optional<std::uint32_t> baud{};
    std::optional<std::uint8_t> data_size{};
    std::optional<std::uint8_t> parity{};    // 1 none, 2 odd, 3 even, 4 mark, 5 space
    std::optional<std::uint8_t> stop_size{}; // 1 one, 2 two, 3 one and a half
    std::optional<std::uint8_t> control{};
    bool purged = false;
    friend bool operator==(const ComPortAnswers&, const ComPortAnswers&) = default;
};

// A port on a device server, as its open found it.
struct ServerLine {
    // The line runs on the server's own settings: a socket:// server, or one
    // that refused COM-PORT-OPTION or never answered it.
    bool own_settings = false;
    ComPortAnswers answers{};
    std::string said{}; // in_use_by_another_client: the text it sent, if any (at most 256 bytes)
};

// How long the open of a port on a device server may wait.
struct NetworkTiming {
    unsigned connect_ms = 5000;
    unsigned answers_ms = 500;  // for the RFC 2217 answers; a server that gives none still works
    unsigned greeting_ms = 150; // socket://: for a busy server's words or its close
};

// What crossed the link, as it happened: for a trace of the line.
struct LineEvent {
    enum class Kind { opened, open_failed, sent, received, discarded, closed };
    Kind kind = Kind::opened;
    std::span<const std::uint8_t> bytes{}; // sent, received or discarded
    std::size_t asked = 0;                 // sent, received: the count asked for
    unsigned timeout_ms = 0;               // sent, received: how long it could take
    unsigned elapsed_ms = 0;               // sent, received: how long it took
    TransferEnd end = TransferEnd::complete;
    int error = 0;
    bool behind_reply = false; // received: the wait for bytes right behind a whole reply
};
using LineObserver = std::function<void(const SerialPort& link, const LineEvent& event)>;

// An open port, or why it is not one. Move-only: it closes itself.
struct SerialPort {
    PortName name{};      // what it was opened for: a COM port or a server
    ComPort port{};       // the COM port; none (0) for a server
    std::string device{}; // what was opened: /dev/ttyUSB0, \\.\COM12, 10.0.0.5:4001
    LineSettings line{};
    Leaving leaving = Leaving::as_set;
    OpenStatus status = OpenStatus::other;
    int system_error = 0;       // the system's code for a failed open or setup
    std::string failed_call{};  // the system call that failed, where that tells more (SetCommState)
    std::string device_group{}; // denied: the group that may use the device, if known
    LineObserver observer{};
    ServerLine server{}; // a port on a device server: what its server answered
    std::unique_ptr<DeviceLine, DeviceLineClose> device_line{}; // open on this machine, or
    std::unique_ptr<NetworkLine, NetworkLineClose>
        network_line{}; // open on a server; both null when not open

    SerialPort() = default;
    SerialPort(SerialPort&& other) noexcept;
    SerialPort& operator=(SerialPort&& other) noexcept;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;
    ~SerialPort();
};

// Opens the port exclusively and sets its line. On failure the port is not
// open and `status`, `system_error`, `failed_call` and `device_group` say why.
SerialPort open_port(ComPort port, const ComNaming& naming, const LineSettings& line,
                     LineObserver observer = {}, Leaving leaving = Leaving::as_set);
// A COM port as above, or a server: it connects within timing.connect_ms,
// and over RFC 2217 sets the server's line to `line`, purges its buffers and
// checks what it answered. A server that sends text or closes before the
// first request is in_use_by_another_client.
SerialPort open_port(const PortName& name, const ComNaming& naming, const LineSettings& line,
                     LineObserver observer = {}, Leaving leaving = Leaving::as_set,
                     const NetworkTiming& timing = {});
bool is_open(const SerialPort& link);

// Writes the bytes within timeout_ms, until they have left the port.
Transfer port_write(SerialPort& link, std::span<const std::uint8_t> bytes, unsigned timeout_ms);

// Reads until bytes.size() have arrived, or timeout_ms have passed (0 takes
// only what is there), or the line ends.
Transfer port_read(SerialPort& link, std::span<std::uint8_t> bytes, unsigned timeout_ms);

// Drops whatever waits in the receive queue; returns how many bytes that was.
std::size_t port_discard_input(SerialPort& link);

void close_port(SerialPort& link);

// A serial port present on this machine, as the system knows it. Opens
// nothing.
struct PortInfo {
    enum class Kind { unknown, serial, pseudo_terminal, usb };
    std::optional<ComPort> port{}; // its COM name under the naming in force, if any
    std::string device{};          // /dev/ttyUSB0, or the system's own name
    Kind kind = Kind::unknown;
    struct Usb {
        std::string manufacturer, product, serial_number, vendor_id, product_id;
    } usb{};
    std::string system_name{}; // the name the system shows its users (Device Manager's)
    std::string port_name{};   // the system's name for a port that is no COMn (CNCA0), else empty
    bool bluetooth = false;    // a link over Bluetooth: opening it may block for seconds
    bool running = true;       // false: present, but its driver is not running
    // A device outside the naming in force: the naming and port that reach it.
    std::optional<ComPort> reached_as{};
    std::string reached_with_prefix{};
    bool system_console = false; // the kernel's console: never to be probed
};
std::vector<PortInfo> list_ports(const ComNaming& naming);
