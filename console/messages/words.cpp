#include "words.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "messages.hpp"
#include "system/terminal.hpp"

std::string hex_pairs(std::span<const std::uint8_t> bytes)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        text += text.empty() ? "" : " ";
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

std::string utc_now(const char* format)
{
    return utc_time(std::time(nullptr), format);
}

std::string utc_time(std::time_t when, const char* format)
{
    char text[32];
    std::strftime(text, sizeof text, format, std::gmtime(&when));
    return text;
}

std::string line_text(const LineSettings& line)
{
    const char* parity = line.parity == Parity::none ? "no" : line.parity == Parity::odd ? "odd" : "even";
    return std::to_string(line.baud) + " Bd, " + std::to_string(line.data_bits) + " data bits, " + parity +
           " parity, " + std::to_string(line.stop_bits) + (line.stop_bits == 1 ? " stop bit" : " stop bits");
}

std::string port_and_device(const SerialPort& link)
{
    const std::string name =
        std::holds_alternative<ServerAddress>(link.name) ? port_name_text(link.name) : com_name(link.port);
    return link.device.empty() || link.device.ends_with(name) ? name : name + " (" + link.device + ")";
}

namespace {

// A server's words on one line: control characters and trailing line ends
// dropped.
std::string printable(const std::string& said)
{
    std::string text;
    for (const char c : said) {
        const auto byte = static_cast<unsigned char>(c);
        text += byte >= 0x20 && byte < 0x7F ? std::string(1, c) : byte == '\r' || byte == '\n' ? " " : "?";
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

} // namespace

std::string open_failure_text(const SerialPort& link)
{
    const std::string list = std::string(program_name) + " --list";
    const std::string system_said = link.failed_call.empty()
                                        ? system_error_text(link.system_error)
                                        : link.failed_call + ": " + system_error_text(link.system_error);
    switch (link.status) {
    case OpenStatus::open:
        return "open";
    case OpenStatus::no_device:
        // Where the system names its ports, it knows which exist.
        return com_prefix_applies()
                   ? "no such device; is the adapter plugged in? " + list + " shows the serial ports"
                   : "no such port; is the adapter plugged in? " + list + " shows the ports";
    case OpenStatus::in_use:
        return "in use by another program; end it and try again";
    case OpenStatus::own_terminal:
        return "the terminal this program runs in, not a line to a controller";
    case OpenStatus::denied:
        if (link.device_group.empty()) {
            return "permission denied; ask for access to the device";
        }
        return "permission denied; the device belongs to the group " + link.device_group +
               ": add yourself to it (sudo usermod -aG " + link.device_group + " $USER) and log in again";
    case OpenStatus::not_serial:
        return "not a serial device";
    case OpenStatus::setup_failed:
        return "the line cannot be set to " + line_text(link.line) + " (" + system_said + ")";
    case OpenStatus::settings_refused:
        return "the line cannot be set to " + line_text(link.line) +
               (std::holds_alternative<ServerAddress>(link.name)
                    ? "; the server answered other settings"
                    : "; the driver does not take these settings");
    case OpenStatus::connection_refused:
        return "the server refused the connection; is the host and port right, and its service running?";
    case OpenStatus::no_such_host:
        return "no such host; is the server's name right?";
    case OpenStatus::connect_timed_out:
        return "the server did not answer in time; is it on and reachable?";
    case OpenStatus::in_use_by_another_client:
        return link.server.said.empty()
                   ? "in use by another client of the server; end it and try again"
                   : "in use by another client of the server (it said: " + printable(link.server.said) + ")";
    case OpenStatus::other:
        break;
    }
    return link.failed_call.empty() ? system_said : "cannot be opened (" + system_said + ")";
}

std::string failure_line(const SerialPort& link)
{
    return port_and_device(link) + ": " + open_failure_text(link);
}

std::string port_name_problem_text(PortNameProblem problem)
{
    switch (problem) {
    case PortNameProblem::none:
        break;
    case PortNameProblem::not_a_port:
        return "COM1 to COM4096, rfc2217://HOST:PORT or socket://HOST:PORT";
    case PortNameProblem::unknown_scheme:
        return "a device server is rfc2217://HOST:PORT or socket://HOST:PORT";
    case PortNameProblem::no_host:
        return "no host before the port";
    case PortNameProblem::bad_host:
        return "the host is not a name, an IPv4 address or an IPv6 address in brackets";
    case PortNameProblem::no_port:
        return "no port after the host (HOST:PORT)";
    case PortNameProblem::bad_port:
        return "the port is not a number from 1 to 65535";
    }
    return "";
}

std::string own_settings_notice(const SerialPort& link)
{
    const ServerAddress* server = std::get_if<ServerAddress>(&link.name);
    if (server == nullptr || !is_open(link) || !link.server.own_settings) {
        return "";
    }
    const LineSettings& line = link.line;
    const char parity = line.parity == Parity::none ? 'N' : line.parity == Parity::odd ? 'O' : 'E';
    const std::string wanted = std::to_string(line.baud) + " " + std::to_string(line.data_bits) + parity +
                               std::to_string(line.stop_bits);
    return port_name_text(link.name) +
           (server->scheme == ServerScheme::socket
                ? ": a socket:// server keeps its own line settings"
                : ": the server does not let its line be set (no COM-PORT-OPTION)") +
           "; set " + wanted + " on the server";
}

std::string port_options(ComPort port, const ComNaming& naming)
{
    const bool own = naming.prefix == default_com_naming().prefix;
    return (own ? "" : "--com-prefix " + naming.prefix + " ") + "--port " + com_name(port);
}

std::string port_options(const PortName& port, const ComNaming& naming)
{
    const ComPort* com = std::get_if<ComPort>(&port);
    return com != nullptr ? port_options(*com, naming) : "--port " + command_word(port_name_text(port));
}

std::string command_word(const std::string& name)
{
    const bool plain = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x80 || std::isalnum(byte) != 0 ||
               std::string_view("_./:\\@%+=,-").find(c) != std::string_view::npos;
    });
    return plain ? name : "\"" + name + "\"";
}

std::string type_text(const ControllerType& type)
{
    std::string text;
    for (char c : type.characters) {
        const auto byte = static_cast<unsigned char>(c);
        text += byte >= 0x20 && byte < 0x7F ? c : '?';
    }
    return text;
}

std::string firmware_text(const FirmwareVersion& version)
{
    // Two parts side by side, never one number: 1 and 5 show as 105.
    char firmware[16];
    std::snprintf(firmware, sizeof firmware, "%u%02u", unsigned{version.high}, unsigned{version.low});
    return firmware;
}

std::string identity_text(const ControllerIdentity& identity)
{
    return type_text(identity.type) + ", firmware " + firmware_text(identity.version);
}

std::string exchange_problem(const Exchange& exchange, const std::string& what)
{
    const Transfer& sent = exchange.sent;
    switch (sent.end) {
    case TransferEnd::complete:
        break;
    case TransferEnd::timed_out:
        return "the port did not send " + what + " in time; is the adapter stuck?";
    case TransferEnd::hung_up:
        return "the line hung up while sending " + what + "; is the adapter plugged in?";
    case TransferEnd::failed:
        return "sending " + what + " failed: " + system_error_text(sent.error);
    }
    const Transfer& received = exchange.received;
    const std::string came = received.count == 0 ? ""
                                                 : " (" + std::to_string(received.count) + " of " +
                                                       std::to_string(exchange.expected) + " bytes came)";
    switch (received.end) {
    case TransferEnd::complete:
        break;
    case TransferEnd::timed_out:
        return "the controller does not respond to " + what + came;
    case TransferEnd::hung_up:
        return "the line hung up awaiting the reply to " + what + came + "; is the adapter plugged in?";
    case TransferEnd::failed:
        return "reading the reply to " + what + " failed: " + system_error_text(received.error) + came;
    }
    const auto& trailing = exchange.trailing;
    return "the controller sent more than the " + std::to_string(exchange.expected) +
           " bytes of its reply to " + what + " (then " + hex_pairs(trailing) +
           (trailing.size() == trailing_bytes_kept ? " ..." : "") + "), so the reply is not trusted";
}
