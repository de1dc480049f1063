// POSIX sockets for the network link: getaddrinfo, a non-blocking connect
// and poll against one monotonic deadline for every send and receive.

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "socket_platform.hpp"

struct sockets::Socket {
    int fd = -1;
};

void sockets::SocketClose::operator()(Socket* socket) const
{
    ::close(socket->fd);
    delete socket;
}

namespace {

using Clock = std::chrono::steady_clock;

int ms_until(sockets::Deadline deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1'000'000'000));
}

// Until `events` or the deadline: 1 ready, 0 time up, -1 failed (errno).
int wait_for(int fd, short events, sockets::Deadline deadline, short& revents)
{
    for (;;) {
        pollfd one{fd, events, 0};
        const int ready = ::poll(&one, 1, ms_until(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        revents = one.revents;
        return ready;
    }
}

std::string address_text(const sockaddr* address)
{
    char host[INET6_ADDRSTRLEN] = "";
    unsigned port = 0;
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        port = ntohs(v6->sin6_port);
        std::string text = "[";
        text.append(host).append("]:").append(std::to_string(port));
        return text;
    }
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
    port = ntohs(v4->sin_port);
    return std::string(host) + ":" + std::to_string(port);
}

OpenStatus connect_status(int error)
{
    switch (error) {
    case ECONNREFUSED:
        return OpenStatus::connection_refused;
    case ETIMEDOUT:
        return OpenStatus::connect_timed_out;
    default:
        return OpenStatus::other;
    }
}

// One address: 0 when connected, else the errno.
int connect_one(int fd, const addrinfo& address, sockets::Deadline deadline)
{
    if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) {
        return 0;
    }
    if (errno != EINPROGRESS) {
        return errno;
    }
    short revents = 0;
    const int ready = wait_for(fd, POLLOUT, deadline, revents);
    if (ready < 0) {
        return errno;
    }
    if (ready == 0) {
        return ETIMEDOUT;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        return errno;
    }
    return error;
}

TransferEnd end_for(int error)
{
    return error == ECONNRESET || error == EPIPE || error == ENOTCONN ? TransferEnd::hung_up
                                                                      : TransferEnd::failed;
}

} // namespace

sockets::Connection sockets::connect_to(const std::string& host, unsigned port, Deadline deadline)
{
    Connection connection;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const int looked_up = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (looked_up != 0) {
        connection.failed_call = "getaddrinfo";
        const bool no_host = looked_up == EAI_NONAME || looked_up == EAI_AGAIN || looked_up == EAI_FAIL ||
                             looked_up == EAI_NODATA || looked_up == EAI_FAMILY;
        connection.status = no_host ? OpenStatus::no_such_host : OpenStatus::other;
        connection.error = looked_up == EAI_SYSTEM ? errno : looked_up;
        return connection;
    }
    int error = 0;
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                address->ai_protocol);
        if (fd == -1) {
            error = errno;
            continue;
        }
        connection.address = address_text(address->ai_addr);
        error = connect_one(fd, *address, deadline);
        if (error == 0) {
            // Requests are a few bytes each: out at once, not gathered.
            const int on = 1;
            (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            connection.socket.reset(new Socket{fd});
            break;
        }
        ::close(fd);
        if (error == ETIMEDOUT) {
            break; // the time is spent
        }
    }
    freeaddrinfo(found);
    if (!connection.socket) {
        connection.status = connect_status(error);
        connection.error = error;
        connection.failed_call = connection.status == OpenStatus::other ? "connect" : "";
    }
    return connection;
}

Transfer sockets::send_all(Socket& socket, std::span<const std::uint8_t> bytes, Deadline deadline)
{
    Transfer sent;
    while (sent.count < bytes.size()) {
        const ssize_t n =
            ::send(socket.fd, bytes.data() + sent.count, bytes.size() - sent.count, MSG_NOSIGNAL);
        if (n > 0) {
            sent.count += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            short revents = 0;
            const int ready = wait_for(socket.fd, POLLOUT, deadline, revents);
            if (ready == 0) {
                sent.end = TransferEnd::timed_out;
                return sent;
            }
            if (ready < 0) {
                sent.end = TransferEnd::failed;
                sent.error = errno;
                return sent;
            }
            continue;
        }
        sent.error = n < 0 ? errno : 0;
        sent.end = n < 0 ? end_for(errno) : TransferEnd::hung_up;
        return sent;
    }
    return sent;
}

Transfer sockets::receive_some(Socket& socket, std::span<std::uint8_t> buffer, Deadline deadline)
{
    Transfer received;
    for (;;) {
        const ssize_t n = ::recv(socket.fd, buffer.data(), buffer.size(), 0);
        if (n > 0) {
            received.count = static_cast<std::size_t>(n);
            return received;
        }
        if (n == 0) {
            received.end = TransferEnd::hung_up; // the server closed
            return received;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            received.error = errno;
            received.end = end_for(errno);
            return received;
        }
        short revents = 0;
        const int ready = wait_for(socket.fd, POLLIN, deadline, revents);
        if (ready == 0) {
            received.end = TransferEnd::timed_out;
            return received;
        }
        if (ready < 0) {
            received.error = errno;
            received.end = TransferEnd::failed;
            return received;
        }
    }
}
