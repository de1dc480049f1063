#include <string>
#include <utility>
#include <vector>

#include "messages/words.hpp"
#include "requests.hpp"
#include "survey.hpp"

namespace {

const std::string no_answer = "no answer";

// What became of one probe: for a controller its identity.
std::string verdict(SerialPort& link, const Probe& probe, bool& found)
{
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
                       ? no_answer
                       : std::to_string(identify.received.count) + " of " +
                             std::to_string(identify.expected) + " bytes: not a controller's answer";
        }
        return exchange_problem(identify, "the identify request");
    }
    ControllerIdentity identity{.type = parse_type_reply(probe.reply)};
    // By the checked rule: two controllers answering each request at once
    // are no controller to name.
    const Exchange version = query_firmware_version(link, identity.version, Rule::checked);
    if (!answered(version)) {
        return version.trailing.empty() ? "answered the identify request but not the firmware request"
                                        : exchange_problem(version, "the firmware request") +
                                              "; more than one controller on this line?";
    }
    found = true;
    return "controller " + identity_text(identity);
}

} // namespace

ExitStatus find_controllers(const ComNaming& naming, const LineObserver& observer)
{
    std::vector<SerialPort> links;
    std::vector<PortInfo> outside;
    for (PortInfo& info : list_ports(naming)) {
        if (!info.port) {
            if (info.reached_as) {
                outside.push_back(std::move(info)); // named by --list, never opened
            }
            continue;
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
        links.push_back(open_port(*info.port, naming, controller_line, observer, Leaving::as_found));
    }
    std::vector<Probe> probes(links.size());
    for (std::size_t i = 0; i < links.size(); ++i) {
        probes[i].link = &links[i];
    }
    probe_ports(probes, false);
    std::vector<ComPort> found_on;
    bool silent = false;
    for (std::size_t i = 0; i < links.size(); ++i) {
        bool found = false;
        const std::string said = verdict(links[i], probes[i], found);
        silent = silent || said == no_answer;
        print_line(port_column(links[i].port) + said);
        close_port(links[i]);
        if (found) {
            found_on.push_back(links[i].port);
        }
    }
    for (const ComPort port : found_on) {
        print_line("A controller is on " + com_name(port) + ": " + program_name + " " +
                   port_options(port, naming));
    }
    if (found_on.empty() && !probes.empty()) {
        print_line(silent
                       ? "No controller answered; is it switched on with jumper J6 fitted, and its cable on "
                         "one of these ports?"
                       : "No controller answered.");
    } else if (found_on.empty() && outside.empty()) {
        print_line("No serial ports to ask.");
    } else if (found_on.empty()) {
        // As --list names them.
        print_line("No serial ports to ask under the prefix in force; serial devices outside it:");
        for (const PortInfo& info : outside) {
            print_line("        " + padded(info.device, 14) + "  reached by " +
                       port_options(*info.reached_as, {info.reached_with_prefix}));
        }
    }
    return found_on.empty() ? ExitStatus::failed : ExitStatus::done;
}
