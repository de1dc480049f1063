#include "bench/responder.hpp"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <span>
#include <unistd.h>
#include <utility>

namespace {

bool write_all(int fd, const std::vector<std::uint8_t>& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return false;
        }
    }
    return true;
}

} // namespace

Responder::Responder(std::filesystem::path link)
    : link_(std::move(link)), controller_(emulator::make_controller(emulator::ControllerSetup{}))
{
    char name[256];
    if (openpty(&master_, &held_slave_, name, nullptr, nullptr) != 0) {
        return;
    }
    // The programs under test must not inherit the line's other ends.
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(held_slave_, F_SETFD, FD_CLOEXEC);
    std::error_code code;
    std::filesystem::create_directories(link_.parent_path(), code);
    std::filesystem::remove(link_, code);
    std::filesystem::create_symlink(name, link_, code);
    if (code) {
        return;
    }
    thread_ = std::thread([this] { run(); });
}

Responder::~Responder()
{
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    for (int fd : {master_, held_slave_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    std::error_code code;
    std::filesystem::remove(link_, code);
}

void Responder::run()
{
    while (!stopping_) {
        pollfd line{master_, POLLIN, 0};
        // The time limit only lets the stop flag be seen.
        const int ready = poll(&line, 1, 50);
        const Clock::time_point arrived = Clock::now();
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if (ready <= 0) {
            continue;
        }
        if ((line.revents & POLLIN) == 0) {
            return; // cannot happen while the slave is held open
        }
        std::uint8_t buffer[512];
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            continue;
        }
        std::lock_guard lock(mutex_);
        // A session begins with the identify request: what comes before it
        // is the client starting, not a gap between exchanges.
        const bool session_start =
            n >= 2 && buffer[0] == emulator::start_byte && buffer[1] == emulator::command_type;
        if (session_start) {
            reply_out_.reset();
        }
        if (controller_.frame.empty() && reply_out_) {
            gaps_.push_back(std::chrono::duration<double, std::milli>(arrived - *reply_out_).count());
            reply_out_.reset();
        }
        const auto now = std::chrono::duration_cast<emulator::Microseconds>(arrived - epoch_);
        for (const emulator::Response& response :
             emulator::feed(controller_, std::span(buffer, static_cast<std::size_t>(n)), now)) {
            for (const emulator::Action& action : response.actions) {
                // Taken before the write, so a preemption after it cannot
                // hide part of the gap; the gap then holds this write too.
                reply_out_ = Clock::now();
                if (!write_all(master_, action.bytes)) {
                    return;
                }
            }
        }
    }
}

std::vector<double> Responder::take_gaps()
{
    std::lock_guard lock(mutex_);
    reply_out_.reset();
    return std::exchange(gaps_, {});
}

std::vector<std::uint8_t> Responder::last_write_frame() const
{
    std::lock_guard lock(mutex_);
    for (auto request = controller_.requests.rbegin(); request != controller_.requests.rend(); ++request) {
        if (request->command == emulator::command_write) {
            return request->frame;
        }
    }
    return {};
}
