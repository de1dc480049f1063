#include "ports.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <vector>

#include "configuration_file.hpp"
#include "requests.hpp"

namespace {

using Clock = std::chrono::steady_clock;

void print_line(std::string text)
{
    text.erase(text.find_last_not_of(' ') + 1);
    std::printf("%s\n", text.c_str());
}

std::string padded(std::string text, std::size_t width)
{
    text.resize(std::max(text.size(), width), ' ');
    return text;
}

// "COM7  " then two spaces: the first column of --list and --find.
std::string port_column(ComPort port)
{
    return padded(com_name(port), 6) + "  ";
}

// One port's probe: the identify request went out at `sent`.
struct Probe {
    SerialPort link;
    Clock::time_point sent{};
    std::array<std::uint8_t, type_reply_length> reply{};
    std::size_t received = 0;
};

unsigned ms_left(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<unsigned>(std::max<long long>(left, 0));
}

// What became of one probe, and for a controller its identity.
std::string verdict(Probe& probe, bool& found)
{
    SerialPort& link = probe.link;
    if (!is_open(link)) {
        return link.status == OpenStatus::in_use ? "in use by another program; not touched"
                                                 : "not opened: " + link.failure;
    }
    if (probe.received == 0) {
        return "no answer";
    }
    if (probe.received < probe.reply.size()) {
        return std::to_string(probe.received) + " of " + std::to_string(probe.reply.size()) +
               " bytes: not a controller's answer";
    }
    ControllerType type;
    std::copy_n(probe.reply.begin() + 2, type.characters.size(), type.characters.begin());
    FirmwareVersion version;
    if (!answered(query_firmware_version(link, version))) {
        return "answered the identify request but not the firmware request";
    }
    found = true;
    return "controller " + controller_identity(type, version);
}

} // namespace

int list_serial_ports_command()
{
    const std::vector<PortInfo> ports = list_ports();
    if (ports.empty()) {
        print_line("No serial ports found.");
    }
    bool others = false;
    for (const PortInfo& info : ports) {
        if (info.port) {
            print_line(port_column(*info.port) + padded(info.device, 14) + "  " + info.description);
            continue;
        }
        if (!others) {
            print_line("Other serial devices, not COM ports under the prefix in force:");
            others = true;
        }
        print_line("        " + padded(info.device, 14) + "  " + info.description +
                   (info.reach.empty() ? "" : "; reached by " + info.reach));
    }
    std::fflush(stdout);
    return 0;
}

int find_controllers(const std::string& com_prefix, const LineObserver& observer)
{
    // All requests go out first and the replies are awaited together, so
    // many silent ports take about one time-out in all.
    std::vector<Probe> probes;
    for (const PortInfo& info : list_ports()) {
        if (!info.port) {
            continue; // outside the prefix in force: named by --list, never opened
        }
        if (info.system_console) {
            print_line(port_column(*info.port) + "the system's console; not touched");
            continue;
        }
        Probe& probe = probes.emplace_back(Probe{.link = open_port(*info.port, observer)});
        if (is_open(probe.link)) {
            port_discard_input(probe.link);
            port_write(probe.link, type_request.data(), type_request.size());
            probe.sent = Clock::now();
        }
    }
    for (Probe& probe : probes) {
        if (is_open(probe.link)) {
            const auto deadline = probe.sent + std::chrono::milliseconds(read_timeout_ms(probe.reply.size()));
            probe.received =
                port_read_within(probe.link, probe.reply.data(), probe.reply.size(), ms_left(deadline));
        }
    }
    std::vector<std::string> found_on;
    for (Probe& probe : probes) {
        bool found = false;
        print_line(port_column(probe.link.port) + verdict(probe, found));
        close_port(probe.link);
        if (found) {
            found_on.push_back(com_name(probe.link.port));
        }
    }
    const std::string prefix = com_prefix.empty() ? "" : " --com-prefix " + com_prefix;
    for (const std::string& port : found_on) {
        print_line("A controller is on " + port + ": zumel-config" + prefix + " --port " + port);
    }
    if (found_on.empty()) {
        print_line(probes.empty() ? "No serial ports to ask." : "No controller answered.");
    }
    std::fflush(stdout);
    return found_on.empty() ? 1 : 0;
}
