#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The serial link: a port is a value that open_port gives and that closes
// itself when it goes, so a program may hold several at once. It reports
// facts (what happened, the system's error code) and never words: nothing
// here prints or phrases anything for a person. The caller gives the line's
// settings and every time-out.

// A COM port as Windows numbers them: COM1 to COM4096, as far as a resized
// COM database goes.
struct ComPort {
    unsigned number = 0;
    friend bool operator==(const ComPort&, const ComPort&) = default;
};
inline constexpr unsigned highest_com_number = 4096;

// "COM7" or "com7" is COM7; COM0, COM07, COM4097 and anything else are none.
std::optional<ComPort> parse_com_port(std::string_view name);
std::string com_name(ComPort port);

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
    settings_refused, // the driver does not keep the settings asked for
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
    ComPort port{};
    std::string device{}; // what was opened: /dev/ttyUSB0, \\.\COM12
    LineSettings line{};
    Leaving leaving = Leaving::as_set;
    OpenStatus status = OpenStatus::other;
    int system_error = 0;       // the system's code for a failed open or setup
    std::string failed_call{};  // the system call that failed, where that tells more (SetCommState)
    std::string device_group{}; // denied: the group that may use the device, if known
    LineObserver observer{};
    std::intptr_t handle = -1; // the platform's descriptor or handle; -1 when not open

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
