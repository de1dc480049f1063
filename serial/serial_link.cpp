// What every platform's serial link shares: telling the observer
// what crossed the line, moving and closing a port, and discarding what
// waits.

#include "serial_link.hpp"

#include <array>
#include <chrono>
#include <utility>

#include "network_link.hpp"
#include "serial_platform.hpp"

namespace {

using Clock = std::chrono::steady_clock;

void tell(const SerialPort& link, LineEvent event)
{
    if (link.observer) {
        link.observer(link, event);
    }
}

unsigned ms_since(Clock::time_point start)
{
    return static_cast<unsigned>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

LineEvent transfer_event(LineEvent::Kind kind, std::span<const std::uint8_t> bytes, std::size_t asked,
                         unsigned timeout_ms, Clock::time_point start, const Transfer& transfer)
{
    return {.kind = kind,
            .bytes = bytes.first(transfer.count),
            .asked = asked,
            .timeout_ms = timeout_ms,
            .elapsed_ms = ms_since(start),
            .end = transfer.end,
            .error = transfer.error};
}

Transfer line_write(SerialPort& link, std::span<const std::uint8_t> bytes, unsigned timeout_ms)
{
    return link.network_line ? network::write(*link.network_line, bytes, timeout_ms)
                             : platform::write(*link.device_line, bytes, timeout_ms);
}

Transfer line_read(SerialPort& link, std::span<std::uint8_t> bytes, unsigned timeout_ms)
{
    return link.network_line ? network::read(*link.network_line, bytes, timeout_ms)
                             : platform::read(*link.device_line, bytes, timeout_ms);
}

} // namespace

SerialPort::SerialPort(SerialPort&& other) noexcept
{
    *this = std::move(other);
}

SerialPort& SerialPort::operator=(SerialPort&& other) noexcept
{
    if (this != &other) {
        close_port(*this);
        name = other.name;
        port = other.port;
        device = std::move(other.device);
        line = other.line;
        leaving = other.leaving;
        status = other.status;
        system_error = other.system_error;
        failed_call = std::move(other.failed_call);
        device_group = std::move(other.device_group);
        observer = std::move(other.observer);
        server = std::move(other.server);
        // The line is this one's now, and closes with it.
        device_line = std::move(other.device_line);
        network_line = std::move(other.network_line);
    }
    return *this;
}

SerialPort::~SerialPort()
{
    close_port(*this);
}

SerialPort open_port(ComPort port, const ComNaming& naming, const LineSettings& line, LineObserver observer,
                     Leaving leaving)
{
    SerialPort link;
    link.name = port;
    link.port = port;
    link.line = line;
    link.leaving = leaving;
    link.observer = std::move(observer);
    platform::open(link, naming);
    tell(link, {.kind = is_open(link) ? LineEvent::Kind::opened : LineEvent::Kind::open_failed});
    return link;
}

SerialPort open_port(const PortName& name, const ComNaming& naming, const LineSettings& line,
                     LineObserver observer, Leaving leaving, const NetworkTiming& timing)
{
    if (const ComPort* port = std::get_if<ComPort>(&name)) {
        return open_port(*port, naming, line, std::move(observer), leaving);
    }
    SerialPort link;
    link.name = name;
    link.line = line;
    link.leaving = leaving;
    link.observer = std::move(observer);
    network::open(link, std::get<ServerAddress>(name), timing);
    tell(link, {.kind = is_open(link) ? LineEvent::Kind::opened : LineEvent::Kind::open_failed});
    return link;
}

bool is_open(const SerialPort& link)
{
    return link.device_line != nullptr || link.network_line != nullptr;
}

Transfer port_write(SerialPort& link, std::span<const std::uint8_t> bytes, unsigned timeout_ms)
{
    const Clock::time_point start = Clock::now();
    const Transfer written = line_write(link, bytes, timeout_ms);
    tell(link, transfer_event(LineEvent::Kind::sent, bytes, bytes.size(), timeout_ms, start, written));
    return written;
}

Transfer port_read(SerialPort& link, std::span<std::uint8_t> bytes, unsigned timeout_ms)
{
    const Clock::time_point start = Clock::now();
    const Transfer received = line_read(link, bytes, timeout_ms);
    tell(link, transfer_event(LineEvent::Kind::received, bytes, bytes.size(), timeout_ms, start, received));
    return received;
}

std::size_t port_discard_input(SerialPort& link)
{
    // Read rather than flushed, so a trace shows what went; bounded, so a
    // line that never stops sending cannot hold the program here.
    std::array<std::uint8_t, 256> waiting{};
    std::size_t discarded = 0;
    for (int round = 0; round < 16; ++round) {
        const Transfer taken = line_read(link, waiting, 0);
        if (taken.count > 0) {
            tell(link, {.kind = LineEvent::Kind::discarded, .bytes = std::span(waiting).first(taken.count)});
            discarded += taken.count;
        }
        if (taken.count < waiting.size()) {
            break;
        }
    }
    return discarded;
}

void close_port(SerialPort& link)
{
    if (is_open(link)) {
        link.device_line.reset();
        link.network_line.reset();
        tell(link, {.kind = LineEvent::Kind::closed});
    }
}
