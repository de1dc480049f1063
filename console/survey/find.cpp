#include <array>
#include <chrono>
#include <vector>

#include "messages/words.hpp"
#include "requests.hpp"
#include "survey.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// One port's probe: the identify request went out at `sent`.
struct Probe {
    SerialPort link;
    Clock::time_point sent{};
    std::array<std::uint8_t, type_reply_length> reply{};
    Exchange identify{.expected = type_reply_length};
};

// What became of one probe: for a controller its identity.
std::string verdict(Probe& probe, bool& found)
{
    SerialPort& link = probe.link;
    if (!is_open(link)) {
        switch (link.status) {
        case OpenStatus::in_use:
            return "in use by another program; not touched";
        case OpenStatus::own_terminal:
            return "the terminal this program runs in; not touched";
        default:
            return "not opened: " + open_failure_text(link);
        }
    }
    const Exchange& identify = probe.identify;
    if (!answered(identify)) {
        if (identify.sent.end == TransferEnd::complete && identify.received.end == TransferEnd::timed_out) {
            return identify.received.count == 0
                       ? "no answer"
                       : std::to_string(identify.received.count) + " of " +
                             std::to_string(identify.expected) + " bytes: not a controller's answer";
        }
        return exchange_problem(identify, "the identify request");
    }
    ControllerIdentity identity{.type = parse_type_reply(probe.reply)};
    if (!answered(query_firmware_version(link, identity.version))) {
        return "answered the identify request but not the firmware request";
    }
    found = true;
    return "controller " + identity_text(identity);
}

} // namespace

ExitStatus find_controllers(const ComNaming& naming, const LineObserver& observer)
{
    // All requests go out first and the replies are awaited together, so
    // many silent ports take about one time-out in all.
    std::vector<Probe> probes;
    for (const PortInfo& info : list_ports(naming)) {
        if (!info.port) {
            continue; // outside the naming in force: named by --list, never opened
        }
        // Lines no probe may touch, and ports that would only stall it.
        const char* left_alone = info.system_console ? "the system's console; not touched"
                                 : info.bluetooth    ? "Bluetooth link; not probed: use --port "
                                 : !info.running     ? "present but not running; not probed"
                                                     : nullptr;
        if (left_alone != nullptr) {
            print_line(port_column(*info.port) + left_alone + (info.bluetooth ? com_name(*info.port) : ""));
            continue;
        }
        Probe& probe = probes.emplace_back(
            Probe{.link = open_port(*info.port, naming, controller_line, observer, Leaving::as_found)});
        if (is_open(probe.link)) {
            port_discard_input(probe.link);
            probe.identify.sent = send_request(probe.link, type_request);
            probe.sent = Clock::now();
        }
    }
    for (Probe& probe : probes) {
        if (is_open(probe.link) && probe.identify.sent.end == TransferEnd::complete) {
            probe.identify.received = await_reply(probe.link, probe.reply, probe.sent);
        }
    }
    std::vector<ComPort> found_on;
    for (Probe& probe : probes) {
        bool found = false;
        print_line(port_column(probe.link.port) + verdict(probe, found));
        close_port(probe.link);
        if (found) {
            found_on.push_back(probe.link.port);
        }
    }
    for (const ComPort port : found_on) {
        print_line("A controller is on " + com_name(port) + ": " + program_name + " " +
                   port_options(port, naming));
    }
    if (found_on.empty()) {
        print_line(probes.empty() ? "No serial ports to ask." : "No controller answered.");
    }
    return found_on.empty() ? ExitStatus::failed : ExitStatus::done;
}
