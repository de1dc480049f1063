// Winsock for the network link: getaddrinfo, a non-blocking connect, and
// select against one deadline for every send and receive.

#include <algorithm>
#include <mutex>

#include "socket_platform.hpp"

#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>

struct sockets::Socket {
    SOCKET handle = INVALID_SOCKET;
};

void sockets::SocketClose::operator()(Socket* socket) const
{
    closesocket(socket->handle);
    delete socket;
}

namespace {

using Clock = std::chrono::steady_clock;

// Winsock is started once, on the first connect, and left for the
// process's end to close.
int started()
{
    static int error = -1;
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data{};
        error = WSAStartup(MAKEWORD(2, 2), &data);
    });
    return error;
}

timeval left_until(sockets::Deadline deadline)
{
    const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now()).count();
    const long long us = std::clamp<long long>(left, 0, 1'000'000'000'000LL);
    return {static_cast<long>(us / 1'000'000), static_cast<long>(us % 1'000'000)};
}

// Until the socket can `write` (or read) or the deadline: 1 ready, 0 time
// up, -1 failed (WSAGetLastError). A failed connect shows in `failed`.
int wait_for(SOCKET socket, bool write, sockets::Deadline deadline, bool* failed = nullptr)
{
    fd_set ready;
    fd_set errors;
    FD_ZERO(&ready);
    FD_ZERO(&errors);
    FD_SET(socket, &ready);
    FD_SET(socket, &errors);
    timeval wait = left_until(deadline);
    const int n = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &errors, &wait);
    if (failed != nullptr) {
        *failed = n > 0 && FD_ISSET(socket, &errors);
    }
    return n == SOCKET_ERROR ? -1 : n > 0 ? 1 : 0;
}

std::string address_text(const sockaddr* address)
{
    char host[INET6_ADDRSTRLEN] = "";
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        std::string text = "[";
        text.append(host).append("]:").append(std::to_string(ntohs(v6->sin6_port)));
        return text; // appended: GCC 12 sees an overlap in a + chain here
    }
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(v4->sin_port));
}

// One address: 0 when connected, else the WSA error.
int connect_one(SOCKET socket, const addrinfo& address, sockets::Deadline deadline)
{
    if (connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) {
        return 0;
    }
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) {
        return error;
    }
    bool failed = false;
    const int ready = wait_for(socket, true, deadline, &failed);
    if (ready < 0) {
        return WSAGetLastError();
    }
    if (ready == 0) {
        return WSAETIMEDOUT;
    }
    int result = 0;
    int size = sizeof result;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&result), &size) != 0) {
        return WSAGetLastError();
    }
    return failed && result == 0 ? WSAECONNREFUSED : result;
}

TransferEnd end_for(int error)
{
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAESHUTDOWN || error == WSAENOTCONN
               ? TransferEnd::hung_up
               : TransferEnd::failed;
}

} // namespace

sockets::Connection sockets::connect_to(const std::string& host, unsigned port, Deadline deadline)
{
    Connection connection;
    if (const int error = started(); error != 0) {
        connection.error = error;
        connection.failed_call = "WSAStartup";
        return connection;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int looked_up = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (looked_up != 0) {
        connection.failed_call = "getaddrinfo";
        connection.status =
            looked_up == WSAHOST_NOT_FOUND || looked_up == WSANO_DATA || looked_up == WSATRY_AGAIN
                ? OpenStatus::no_such_host
                : OpenStatus::other;
        connection.error = looked_up;
        return connection;
    }
    int error = 0;
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        const SOCKET socket = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
        if (socket == INVALID_SOCKET) {
            error = WSAGetLastError();
            continue;
        }
        u_long non_blocking = 1;
        ioctlsocket(socket, FIONBIO, &non_blocking);
        connection.address = address_text(address->ai_addr);
        error = connect_one(socket, *address, deadline);
        if (error == 0) {
            // Requests are a few bytes each: out at once, not gathered.
            const BOOL on = TRUE;
            (void)setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
            connection.socket.reset(new Socket{socket});
            break;
        }
        closesocket(socket);
        if (error == WSAETIMEDOUT) {
            break; // the time is spent
        }
    }
    freeaddrinfo(found);
    if (!connection.socket) {
        connection.status = error == WSAECONNREFUSED ? OpenStatus::connection_refused
                            : error == WSAETIMEDOUT  ? OpenStatus::connect_timed_out
                                                     : OpenStatus::other;
        connection.error = error;
        connection.failed_call = connection.status == OpenStatus::other ? "connect" : "";
    }
    return connection;
}

Transfer sockets::send_all(Socket& socket, std::span<const std::uint8_t> bytes, Deadline deadline)
{
    Transfer sent;
    while (sent.count < bytes.size()) {
        const int n = send(socket.handle, reinterpret_cast<const char*>(bytes.data() + sent.count),
                           static_cast<int>(bytes.size() - sent.count), 0);
        if (n > 0) {
            sent.count += static_cast<std::size_t>(n);
            continue;
        }
        const int error = n == SOCKET_ERROR ? WSAGetLastError() : 0;
        if (error == WSAEWOULDBLOCK) {
            const int ready = wait_for(socket.handle, true, deadline);
            if (ready == 0) {
                sent.end = TransferEnd::timed_out;
                return sent;
            }
            if (ready < 0) {
                sent.end = TransferEnd::failed;
                sent.error = WSAGetLastError();
                return sent;
            }
            continue;
        }
        sent.error = error;
        sent.end = error == 0 ? TransferEnd::hung_up : end_for(error);
        return sent;
    }
    return sent;
}

Transfer sockets::receive_some(Socket& socket, std::span<std::uint8_t> buffer, Deadline deadline)
{
    Transfer received;
    for (;;) {
        const int n =
            recv(socket.handle, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0);
        if (n > 0) {
            received.count = static_cast<std::size_t>(n);
            return received;
        }
        if (n == 0) {
            received.end = TransferEnd::hung_up; // the server closed
            return received;
        }
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            received.error = error;
            received.end = end_for(error);
            return received;
        }
        const int ready = wait_for(socket.handle, false, deadline);
        if (ready == 0) {
            received.end = TransferEnd::timed_out;
            return received;
        }
        if (ready < 0) {
            received.error = WSAGetLastError();
            received.end = TransferEnd::failed;
            return received;
        }
    }
}
