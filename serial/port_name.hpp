#pragma once

// A port's name: a COM port on this machine, or a serial line a device
// server offers on the network (rfc2217://HOST:PORT, socket://HOST:PORT).
// Pure: parsing and writing names opens nothing.

#include <optional>
#include <string>
#include <string_view>
#include <variant>

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

// rfc2217: telnet with the COM-PORT-OPTION, which sets the server's line.
// socket: the bare bytes; the server's line keeps its own settings.
enum class ServerScheme { rfc2217, socket };

struct ServerAddress {
    ServerScheme scheme = ServerScheme::rfc2217;
    std::string host{}; // a name, an IPv4 address, or an IPv6 address without its brackets
    unsigned port = 0;  // 1 to 65535
    friend bool operator==(const ServerAddress&, const ServerAddress&) = default;
};

using PortName = std::variant<ComPort, ServerAddress>;

// Why a text is not a port's name.
enum class PortNameProblem {
    none,
    not_a_port,     // neither COMn nor a URL
    unknown_scheme, // a URL, but neither rfc2217:// nor socket://
    no_host,
    bad_host, // not a host name, an IPv4 address or a bracketed IPv6 address
    no_port,  // rfc2217://host without :PORT
    bad_port, // not a number from 1 to 65535, or something after it
};

struct ParsedPortName {
    std::optional<PortName> name{};
    PortNameProblem problem = PortNameProblem::none;
};

// COMn as parse_com_port takes it, or a server's URL. The scheme is taken
// in any case; the host is kept as written.
ParsedPortName parse_port_name(std::string_view text);

// True for a text that is meant as a URL (it holds "://"), good or not.
bool looks_like_url(std::string_view text);

// As a person writes it: COM7, rfc2217://10.0.0.5:4001, socket://[fe80::1]:23.
std::string port_name_text(const PortName& name);

// The same as a file name may hold it on Windows and Linux (no ':', '/',
// '[' or ']'): COM7, rfc2217-10.0.0.5-4001, socket-fe80--1-23.
std::string port_file_name(const PortName& name);
