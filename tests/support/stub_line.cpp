#include "stub_line.hpp"

#include <algorithm>

#include "serial_platform.hpp"

namespace stub {

Line line;

void reset(Line fresh)
{
    line = std::move(fresh);
}

} // namespace stub

using stub::line;

// The stub has one line; an open port holds a token of it.
struct DeviceLine {};

void DeviceLineClose::operator()(DeviceLine* open) const
{
    delete open;
    line.open = false;
    ++line.closes;
}

ComNaming default_com_naming()
{
    return {"/stub/ttyS"};
}

bool com_prefix_applies()
{
    return true;
}

std::vector<PortInfo> list_ports(const ComNaming&)
{
    return line.ports;
}

void platform::open(SerialPort& link, const ComNaming& naming)
{
    line.last_port_name = com_name(link.port);
    link.device = naming.prefix + std::to_string(link.port.number - 1);
    ++line.opens;
    line.open = !line.refuse_open;
    if (line.open) {
        link.device_line.reset(new DeviceLine{});
    }
    link.status = line.open ? OpenStatus::open : OpenStatus::no_device;
}

Transfer platform::write(DeviceLine&, std::span<const std::uint8_t> bytes, unsigned)
{
    if (line.write_end != TransferEnd::complete) {
        return {.end = line.write_end};
    }
    line.written.insert(line.written.end(), bytes.begin(), bytes.end());
    if (!line.replies.empty()) {
        line.incoming.insert(line.incoming.end(), line.replies.front().begin(), line.replies.front().end());
        line.replies.pop_front();
    }
    return {.count = bytes.size()};
}

// What has arrived, up to the count asked for, at once.
Transfer platform::read(DeviceLine&, std::span<std::uint8_t> bytes, unsigned timeout_ms)
{
    line.reads.push_back(bytes.size());
    line.timeouts.push_back(timeout_ms);
    const std::size_t n = std::min(bytes.size(), line.incoming.size());
    std::copy_n(line.incoming.begin(), n, bytes.begin());
    line.incoming.erase(line.incoming.begin(), line.incoming.begin() + static_cast<std::ptrdiff_t>(n));
    if (n == bytes.size()) {
        return {.count = n};
    }
    return {.count = n, .end = line.dry_end, .error = line.dry_error};
}
