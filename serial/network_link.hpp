#pragma once

// The network link behind serial_link.cpp: a port on a device server, over
// RFC 2217 or bare TCP, on the platform's sockets (socket_platform.hpp).

#include <span>
#include <string_view>

#include "serial_link.hpp"

namespace network {

// Fills in device, network_line, server and status; on failure what the
// system or the server said.
void open(SerialPort& link, const ServerAddress& server, const NetworkTiming& timing);
// The caller's data: 0xFF goes out doubled over RFC 2217, and counts once.
Transfer write(NetworkLine& line, std::span<const std::uint8_t> bytes, unsigned timeout_ms);
// The line's bytes only, every telnet command taken out and answered.
Transfer read(NetworkLine& line, std::span<std::uint8_t> bytes, unsigned timeout_ms);

// Pure judgements of the open, with their own table tests.

// Whether what a server sent before the first request is its own words (a
// busy server's "Port already in use"), not a line's bytes: printable text.
bool is_server_text(std::span<const std::uint8_t> bytes);

// False when the server answered a setting other than the one asked for;
// a setting it did not answer is no mismatch.
bool answers_hold(const ComPortAnswers& answers, const LineSettings& line);

} // namespace network
