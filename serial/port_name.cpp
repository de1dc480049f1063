#include "port_name.hpp"

#include <algorithm>
#include <cctype>

namespace {

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool is_host_name_character(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
}

bool is_ipv6_character(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
}

bool equal_ignoring_case(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::optional<unsigned> tcp_port(std::string_view digits)
{
    if (digits.empty() || digits.size() > 5 || !std::all_of(digits.begin(), digits.end(), is_digit)) {
        return std::nullopt;
    }
    unsigned port = 0;
    for (const char c : digits) {
        port = port * 10 + static_cast<unsigned>(c - '0');
    }
    return port >= 1 && port <= 65535 ? std::optional(port) : std::nullopt;
}

ParsedPortName refused(PortNameProblem problem)
{
    return {.problem = problem};
}

// HOST:PORT after the scheme.
ParsedPortName parse_server(ServerScheme scheme, std::string_view rest)
{
    std::string_view host;
    std::string_view after;
    if (rest.starts_with('[')) {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos) {
            return refused(PortNameProblem::bad_host);
        }
        host = rest.substr(1, close - 1);
        after = rest.substr(close + 1);
        if (host.empty()) {
            return refused(PortNameProblem::no_host);
        }
        // At least two colons: an IPv6 address, not a name in brackets.
        if (!std::all_of(host.begin(), host.end(), is_ipv6_character) ||
            std::count(host.begin(), host.end(), ':') < 2) {
            return refused(PortNameProblem::bad_host);
        }
    } else {
        const std::size_t colon = rest.find(':');
        host = rest.substr(0, colon);
        after = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon);
        if (host.empty()) {
            return refused(PortNameProblem::no_host);
        }
        if (!std::all_of(host.begin(), host.end(), is_host_name_character) || host.front() == '-' ||
            host.front() == '.') {
            return refused(PortNameProblem::bad_host);
        }
    }
    if (after.empty() || after == ":" || after == "/" || after == ":/") {
        return refused(PortNameProblem::no_port);
    }
    if (!after.starts_with(':')) {
        return refused(PortNameProblem::bad_host);
    }
    const std::optional<unsigned> port = tcp_port(after.substr(1));
    if (!port) {
        return refused(PortNameProblem::bad_port);
    }
    return {.name = ServerAddress{.scheme = scheme, .host = std::string(host), .port = *port}};
}

const char* scheme_text(ServerScheme scheme)
{
    return scheme == ServerScheme::rfc2217 ? "rfc2217" : "socket";
}

} // namespace

std::optional<ComPort> parse_com_port(std::string_view name)
{
    if (name.size() < 4 || name.size() > 7 || name[3] == '0') {
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

bool looks_like_url(std::string_view text)
{
    return text.find("://") != std::string_view::npos;
}

ParsedPortName parse_port_name(std::string_view text)
{
    if (const std::optional<ComPort> port = parse_com_port(text)) {
        return {.name = *port};
    }
    const std::size_t separator = text.find("://");
    if (separator == std::string_view::npos) {
        return refused(PortNameProblem::not_a_port);
    }
    const std::string_view scheme = text.substr(0, separator);
    const std::string_view rest = text.substr(separator + 3);
    if (equal_ignoring_case(scheme, "rfc2217")) {
        return parse_server(ServerScheme::rfc2217, rest);
    }
    if (equal_ignoring_case(scheme, "socket")) {
        return parse_server(ServerScheme::socket, rest);
    }
    return refused(PortNameProblem::unknown_scheme);
}

std::string port_name_text(const PortName& name)
{
    if (const ComPort* port = std::get_if<ComPort>(&name)) {
        return com_name(*port);
    }
    const ServerAddress& server = std::get<ServerAddress>(name);
    const bool ipv6 = server.host.find(':') != std::string::npos;
    return std::string(scheme_text(server.scheme)) + "://" + (ipv6 ? "[" + server.host + "]" : server.host) +
           ":" + std::to_string(server.port);
}

std::string port_file_name(const PortName& name)
{
    if (const ComPort* port = std::get_if<ComPort>(&name)) {
        return com_name(*port);
    }
    const ServerAddress& server = std::get<ServerAddress>(name);
    std::string host = server.host;
    std::replace(host.begin(), host.end(), ':', '-');
    return std::string(scheme_text(server.scheme)) + "-" + host + "-" + std::to_string(server.port);
}
