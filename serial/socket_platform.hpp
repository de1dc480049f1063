#pragma once

// What each platform's sockets give network_link.cpp: a bounded connect,
// and sends and receives against a deadline. Errors are the system's codes.

#include <chrono>
#include <memory>
#include <span>
#include <string>

#include "serial_link.hpp"

namespace sockets {

using Deadline = std::chrono::steady_clock::time_point;

struct Socket; // defined by the platform's file
struct SocketClose {
    void operator()(Socket* socket) const;
};
using SocketHandle = std::unique_ptr<Socket, SocketClose>;

struct Connection {
    SocketHandle socket{}; // null when it failed, and then:
    OpenStatus status = OpenStatus::other;
    int error = 0;
    std::string failed_call{};
    std::string address{}; // the address reached: 10.0.0.5:4001, [::1]:4001
};

// Resolves the host and connects to its first address that answers, by the
// deadline at the latest (the name lookup itself is the system's).
Connection connect_to(const std::string& host, unsigned port, Deadline deadline);

// Sends every byte by the deadline: complete, timed_out, hung_up (the peer
// closed or reset) or failed.
Transfer send_all(Socket& socket, std::span<const std::uint8_t> bytes, Deadline deadline);

// Waits for bytes until the deadline (past it, only what is there), then
// takes what has arrived: complete with at least one byte, else timed_out,
// hung_up or failed.
Transfer receive_some(Socket& socket, std::span<std::uint8_t> buffer, Deadline deadline);

} // namespace sockets
