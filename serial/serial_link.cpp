// What every platform's serial link shares: COM names, telling the observer
// what crossed the line, and discarding what waits.

#include "serial_link.hpp"

#include <array>

#include "serial_platform.hpp"

namespace {

void tell(const SerialPort& link, LineEvent::Kind kind, std::span<const std::uint8_t> bytes = {},
          std::size_t asked = 0, unsigned timeout_ms = 0)
{
    if (link.observer) {
        link.observer(link, {.kind = kind, .bytes = bytes, .asked = asked, .timeout_ms = timeout_ms});
    }
}

} // namespace

std::optional<ComPort> parse_com_port(std::string_view name)
{
    if (name.size() < 4 || name.size() > 6 || name[3] == '0') {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if ((name[i] | 0x20) != "com"[i]) {
            return std::nullopt;
        }
    }
    unsigned number = 0;
    for (const char c : name.substr(3)) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        number = number * 10 + static_cast<unsigned>(c - '0');
    }
    if (number > highest_com_number) {
        return std::nullopt;
    }
    return ComPort{number};
}

std::string com_name(ComPort port)
{
    return "COM" + std::to_string(port.number);
}

std::string port_and_device(const SerialPort& link)
{
    const std::string name = com_name(link.port);
    return link.device.empty() || link.device.ends_with(name) ? name : name + " (" + link.device + ")";
}

std::string failure_line(const SerialPort& link)
{
    return port_and_device(link) + ": " + link.failure;
}

SerialPort open_port(ComPort port, LineObserver observer)
{
    SerialPort link{.port = port, .observer = std::move(observer)};
    platform::open(link);
    tell(link, is_open(link) ? LineEvent::Kind::opened : LineEvent::Kind::open_failed);
    return link;
}

bool is_open(const SerialPort& link)
{
    return link.handle != -1;
}

std::size_t port_write(SerialPort& link, const std::uint8_t* bytes, std::size_t count)
{
    const std::size_t written = platform::write(link.handle, bytes, count);
    tell(link, LineEvent::Kind::sent, {bytes, written});
    return written;
}

std::size_t port_read(SerialPort& link, std::uint8_t* bytes, std::size_t count)
{
    return port_read_within(link, bytes, count, read_timeout_ms(count));
}

std::size_t port_read_within(SerialPort& link, std::uint8_t* bytes, std::size_t count, unsigned timeout_ms)
{
    const std::size_t received = platform::read(link.handle, bytes, count, timeout_ms);
    tell(link, LineEvent::Kind::received, {bytes, received}, count, timeout_ms);
    return received;
}

std::size_t port_discard_input(SerialPort& link)
{
    // Read rather than flushed, so a trace shows what went; bounded, so a
    // line that never stops sending cannot hold the program here.
    std::array<std::uint8_t, 256> waiting{};
    std::size_t discarded = 0;
    for (int round = 0; round < 16; ++round) {
        const std::size_t n = platform::read(link.handle, waiting.data(), waiting.size(), 0);
        if (n == 0) {
            break;
        }
        tell(link, LineEvent::Kind::discarded, {waiting.data(), n});
        discarded += n;
    }
    return discarded;
}

void close_port(SerialPort& link)
{
    if (is_open(link)) {
        platform::close(link.handle);
        link.handle = -1;
        tell(link, LineEvent::Kind::closed);
    }
}
