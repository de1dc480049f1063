#include "pty_line.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace emulator {

using Clock = std::chrono::steady_clock;

struct PtyLine {
    std::filesystem::path link{};
    std::string slave_path{};
    int master = -1;
    int held_slave = -1;
    int session_watch = -1; // inotify on the slave: tells when clients open and close it
    int wake_read = -1;
    int wake_write = -1;
    Clock::time_point epoch{};
    LogSink log{};
    LineMode mode = LineMode::paced;
    std::thread thread{};

    mutable std::mutex mutex{};
    mutable std::condition_variable changed{};
    Controller controller; // guarded by mutex
    bool closed = false;   // guarded by mutex
};

namespace {

// A hang-up empties the slave's input, so it waits this long at most for the
// client to read what was sent before it.
constexpr auto hang_up_drain_limit = std::chrono::seconds(1);
constexpr auto hang_up_drain_step = std::chrono::milliseconds(1);

void close_fd(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
    }
    fd = -1;
}

// An action with the request it answers.
struct Scheduled {
    Action action;
    std::size_t request = 0;
    bool last = false; // the reply's last part: the request is answered once it is out
};

void log(const PtyLine& line, const std::string& text)
{
    if (line.log) {
        line.log(text);
    }
}

std::string errno_text(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

Microseconds since_epoch(const PtyLine& line, Clock::time_point when)
{
    return std::chrono::duration_cast<Microseconds>(when - line.epoch);
}

std::string current_line_problems(const PtyLine& line)
{
    termios settings{};
    // On a Linux pty the master reports the slave's settings.
    if (::tcgetattr(line.master, &settings) != 0) {
        return errno_text("line settings unreadable");
    }
    return line_setting_problems(settings);
}

void log_input(const PtyLine& line, const std::vector<Response>& responses,
               const std::vector<Request>& requests, unsigned errors_before, unsigned errors_after)
{
    if (errors_after > errors_before) {
        log(line, "input not understood, protocol errors now " + std::to_string(errors_after));
    }
    for (std::size_t i = 0; i < responses.size(); ++i) {
        const Response& response = responses[i];
        const Request& request = requests[i];
        log(line, "request " + std::to_string(response.request) + ": " + hex(request.frame));
        if (!request.line_problems.empty()) {
            log(line, "warning: line settings wrong, not answering: " + request.line_problems);
        } else if (!response.reply.empty()) {
            log(line, "reply: " + hex(response.reply));
        } else {
            log(line, "no reply");
        }
        if (!response.actions.empty() && response.actions.back().hang_up) {
            log(line, "hanging up");
        }
    }
}

void mark_answered(PtyLine& line, std::size_t request)
{
    const Microseconds now = since_epoch(line, Clock::now());
    std::lock_guard lock(line.mutex);
    line.controller.requests[request].answered = now;
}

// Reads what the client wrote and queues the answers. False when the
// master failed.
bool take_input(PtyLine& line, std::deque<Scheduled>& queue)
{
    std::uint8_t buffer[512];
    const ssize_t count = ::read(line.master, buffer, sizeof buffer);
    if (count < 0) {
        return errno == EAGAIN || errno == EINTR;
    }
    if (count == 0) {
        return true;
    }
    const Microseconds now = since_epoch(line, Clock::now());
    const std::string problems = current_line_problems(line);

    std::vector<Response> responses;
    std::vector<Request> requests;
    unsigned errors_before = 0;
    unsigned errors_after = 0;
    {
        std::lock_guard lock(line.mutex);
        errors_before = total(line.controller.errors);
        responses = feed(line.controller, std::span(buffer, static_cast<std::size_t>(count)), now, problems);
        errors_after = total(line.controller.errors);
        for (const Response& response : responses) {
            requests.push_back(line.controller.requests[response.request]);
        }
    }
    line.changed.notify_all();
    if (line.log) {
        log_input(line, responses, requests, errors_before, errors_after);
    }
    for (const Response& response : responses) {
        for (std::size_t i = 0; i < response.actions.size(); ++i) {
            queue.push_back({response.actions[i], response.request, i + 1 == response.actions.size()});
        }
    }
    return true;
}

// Writes as much as the master takes. False when it failed.
bool write_out(PtyLine& line, std::vector<std::uint8_t>& unwritten)
{
    while (!unwritten.empty()) {
        const ssize_t count = ::write(line.master, unwritten.data(), unwritten.size());
        if (count < 0) {
            return errno == EAGAIN || errno == EINTR;
        }
        unwritten.erase(unwritten.begin(), unwritten.begin() + count);
    }
    return true;
}

bool client_has_unread_input(const PtyLine& line)
{
    // Polling the slave hurries bytes still on their way into its input
    // queue, where FIONREAD counts them.
    pollfd slave{line.held_slave, POLLIN, 0};
    ::poll(&slave, 1, 0);
    int pending = 0;
    return ::ioctl(line.held_slave, FIONREAD, &pending) == 0 && pending > 0;
}

// What the controller sent that the client did not read is lost with the
// session, as on a real port; the held slave would otherwise keep it for the
// next client. The settings stay, as a real port's do. This runs once the
// close is noticed: a client that reopens at once may still see the rest.
void end_session(PtyLine& line)
{
    ::tcflush(line.held_slave, TCIFLUSH);
    log(line, "port closed by the client");
}

// Keeps `clients` up to date from the watch's events.
void track_sessions(PtyLine& line, unsigned& clients)
{
    alignas(inotify_event) char buffer[4096];
    const ssize_t count = ::read(line.session_watch, buffer, sizeof buffer);
    for (ssize_t offset = 0; offset < count;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        if ((event->mask & IN_OPEN) != 0) {
            ++clients;
        }
        if ((event->mask & IN_CLOSE) != 0 && clients > 0 && --clients == 0) {
            end_session(line);
        }
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
}

void hang_up(PtyLine& line)
{
    // Closing the master hangs up every open of the slave.
    close_fd(line.master);
    close_fd(line.held_slave);
}

timespec to_timespec(Clock::duration duration)
{
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(duration, Clock::duration{}));
    return {static_cast<time_t>(ns.count() / 1'000'000'000), static_cast<long>(ns.count() % 1'000'000'000)};
}

void run(PtyLine& line)
{
    std::deque<Scheduled> queue;
    std::vector<std::uint8_t> unwritten;
    std::optional<Clock::time_point> drain_retry; // a hang-up waiting for the client to read
    std::optional<Clock::time_point> drain_give_up;
    unsigned clients = 0;
    bool failed = false;
    bool hung_up = false;

    while (!failed && !hung_up) {
        pollfd fds[3] = {
            {line.wake_read, POLLIN, 0}, {line.master, POLLIN, 0}, {line.session_watch, POLLIN, 0}};
        if (!unwritten.empty()) {
            fds[1].events |= POLLOUT;
        }
        std::optional<Clock::time_point> deadline;
        if (unwritten.empty() && !queue.empty()) {
            deadline = drain_retry.value_or(line.epoch + queue.front().action.at);
        }
        timespec timeout{};
        if (deadline) {
            timeout = to_timespec(*deadline - Clock::now());
        }

        if (::ppoll(fds, 3, deadline ? &timeout : nullptr, nullptr) < 0) {
            if (errno == EINTR) {
                continue;
            }
            log(line, errno_text("poll failed"));
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        // Before the input: a client opens the port before it writes.
        if (fds[2].revents != 0) {
            track_sessions(line, clients);
        }
        if ((fds[1].revents & POLLIN) != 0 && !take_input(line, queue)) {
            log(line, errno_text("reading the line failed"));
            failed = true;
        } else if ((fds[1].revents & (POLLIN | POLLOUT)) == 0 &&
                   (fds[1].revents & (POLLHUP | POLLERR)) != 0) {
            // Cannot happen while the slave is held open; stop rather than spin.
            log(line, "the line failed");
            failed = true;
        }
        if (!failed && !write_out(line, unwritten)) {
            log(line, errno_text("writing the line failed"));
            failed = true;
        }

        while (!failed && unwritten.empty() && !queue.empty()) {
            const Clock::time_point now = Clock::now();
            if (now < drain_retry.value_or(line.epoch + queue.front().action.at)) {
                break;
            }
            Action& action = queue.front().action;
            if (action.hang_up) {
                if (!drain_give_up) {
                    drain_give_up = now + hang_up_drain_limit;
                }
                if (client_has_unread_input(line) && now < *drain_give_up) {
                    drain_retry = now + hang_up_drain_step;
                    break;
                }
                hang_up(line);
                hung_up = true;
                break;
            }
            // Stamped before the write, so being preempted after it cannot
            // hide part of the client's delay.
            if (queue.front().last) {
                mark_answered(line, queue.front().request);
            }
            unwritten = std::move(action.bytes);
            queue.pop_front();
            if (!write_out(line, unwritten)) {
                log(line, errno_text("writing the line failed"));
                failed = true;
            }
            // Sent while the port is closed: lost, as on a real line. An
            // instant line does not track sessions.
            if (line.mode == LineMode::paced && clients == 0) {
                ::tcflush(line.held_slave, TCIFLUSH);
                unwritten.clear();
            }
        }
    }

    {
        std::lock_guard lock(line.mutex);
        line.closed = hung_up || failed;
    }
    line.changed.notify_all();
}

bool open_pty(PtyLine& line, std::string& error)
{
    line.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line.master < 0 || ::grantpt(line.master) != 0 || ::unlockpt(line.master) != 0) {
        error = errno_text("cannot create a pseudo-terminal");
        return false;
    }
    char name[128];
    if (::ptsname_r(line.master, name, sizeof name) != 0) {
        error = errno_text("cannot name the pseudo-terminal");
        return false;
    }
    line.slave_path = name;
    line.held_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line.held_slave < 0) {
        error = errno_text("cannot open the pseudo-terminal's slave");
        return false;
    }
    if (line.mode == LineMode::paced) {
        line.session_watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (line.session_watch < 0 || ::inotify_add_watch(line.session_watch, name, IN_OPEN | IN_CLOSE) < 0) {
            error = errno_text("cannot watch the pseudo-terminal");
            return false;
        }
    }
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = errno_text("cannot create a pipe");
        return false;
    }
    line.wake_read = wake[0];
    line.wake_write = wake[1];
    return true;
}

// Puts what the controller sent before anyone opened the port into the
// slave's input. The held slave goes raw first: as it starts (canonical,
// with echo) the bytes would come back to the master and sit in a line
// buffer. Its speed stays, so a client still has to set the line itself.
bool put_waiting(PtyLine& line, const std::vector<std::uint8_t>& bytes, std::string& error)
{
    if (bytes.empty()) {
        return true;
    }
    termios settings{};
    if (::tcgetattr(line.held_slave, &settings) != 0) {
        error = errno_text("cannot read the pseudo-terminal's settings");
        return false;
    }
    ::cfmakeraw(&settings);
    if (::tcsetattr(line.held_slave, TCSANOW, &settings) != 0) {
        error = errno_text("cannot set the pseudo-terminal raw");
        return false;
    }
    std::vector<std::uint8_t> unwritten = bytes;
    if (!write_out(line, unwritten) || !unwritten.empty()) {
        error = errno_text("cannot put the waiting bytes on the line");
        return false;
    }
    // Ready only once they are in the queue: a client that flushes it at
    // open must not have them arrive after its flush.
    for (int tries = 0; tries < 1000; ++tries) {
        pollfd slave{line.held_slave, POLLIN, 0};
        ::poll(&slave, 1, 1);
        int pending = 0;
        if (::ioctl(line.held_slave, FIONREAD, &pending) == 0 && pending >= static_cast<int>(bytes.size())) {
            log(line, "waiting in the port: " + hex(bytes));
            return true;
        }
    }
    error = "the waiting bytes did not reach the port";
    return false;
}

bool make_link(const PtyLine& line, std::string& error)
{
    std::error_code code;
    const std::filesystem::path parent = line.link.parent_path();
    if (!parent.empty()) {
        std::filesystem::create_directories(parent, code);
    }
    if (code) {
        error = "cannot create " + parent.string() + ": " + code.message();
        return false;
    }
    const std::filesystem::file_status status = std::filesystem::symlink_status(line.link, code);
    if (std::filesystem::is_symlink(status)) {
        std::filesystem::remove(line.link, code);
    } else if (std::filesystem::exists(status)) {
        error = line.link.string() + " exists and is not a symlink";
        return false;
    }
    std::filesystem::create_symlink(line.slave_path, line.link, code);
    if (code) {
        error = "cannot create " + line.link.string() + ": " + code.message();
        return false;
    }
    return true;
}

void remove_link(const PtyLine& line)
{
    // Only if it is still ours: a later emulator may have taken the path.
    std::error_code code;
    if (std::filesystem::read_symlink(line.link, code) == line.slave_path && !code) {
        std::filesystem::remove(line.link, code);
    }
}

} // namespace

void PtyLineStop::operator()(PtyLine* line) const
{
    if (line == nullptr) {
        return;
    }
    stop(*line);
    delete line;
}

PtyLineHandle start_pty_line(const std::filesystem::path& link, const ControllerSetup& setup,
                             std::string& error, LogSink log, LineMode mode)
{
    PtyLineHandle line(
        new PtyLine{.link = link, .log = std::move(log), .mode = mode, .controller = make_controller(setup)});
    if (!open_pty(*line, error) || !put_waiting(*line, setup.waiting, error) || !make_link(*line, error)) {
        return nullptr; // the deleter closes what was opened
    }
    line->epoch = Clock::now();
    line->thread = std::thread(run, std::ref(*line));
    return line;
}

void stop(PtyLine& line)
{
    if (line.thread.joinable()) {
        const char wake = 1;
        // Without the wake-up the join would wait for ever.
        if (::write(line.wake_write, &wake, 1) != 1) {
            std::abort();
        }
        line.thread.join();
    }
    close_fd(line.master);
    close_fd(line.held_slave);
    close_fd(line.session_watch);
    close_fd(line.wake_read);
    close_fd(line.wake_write);
    if (!line.slave_path.empty()) {
        remove_link(line);
    }
    line.slave_path.clear();
}

std::string slave_path(const PtyLine& line)
{
    return line.slave_path;
}

Controller snapshot(const PtyLine& line)
{
    std::lock_guard lock(line.mutex);
    return line.controller;
}

bool wait_for_requests(const PtyLine& line, std::size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(line.mutex);
    line.changed.wait_for(lock, timeout,
                          [&] { return line.controller.requests.size() >= count || line.closed; });
    return line.controller.requests.size() >= count;
}

bool closed(const PtyLine& line)
{
    std::lock_guard lock(line.mutex);
    return line.closed;
}

std::string line_setting_problems(const termios& settings)
{
    struct Flag {
        tcflag_t termios::*field;
        tcflag_t mask;
        bool wanted;
        const char* name;
    };
    static constexpr Flag flags[] = {
        {&termios::c_cflag, PARODD, true, "PARODD"},    {&termios::c_cflag, CSTOPB, false, "CSTOPB"},
        {&termios::c_cflag, CREAD, true, "CREAD"},      {&termios::c_cflag, CLOCAL, true, "CLOCAL"},
        {&termios::c_cflag, CRTSCTS, false, "CRTSCTS"}, {&termios::c_iflag, IXON, false, "IXON"},
        {&termios::c_iflag, IXOFF, false, "IXOFF"},     {&termios::c_iflag, IXANY, false, "IXANY"},
        {&termios::c_iflag, ICRNL, false, "ICRNL"},     {&termios::c_iflag, INLCR, false, "INLCR"},
        {&termios::c_iflag, IGNCR, false, "IGNCR"},     {&termios::c_iflag, ISTRIP, false, "ISTRIP"},
        {&termios::c_lflag, ICANON, false, "ICANON"},   {&termios::c_lflag, ECHO, false, "ECHO"},
        {&termios::c_lflag, ISIG, false, "ISIG"},       {&termios::c_lflag, IEXTEN, false, "IEXTEN"},
        {&termios::c_oflag, OPOST, false, "OPOST"},
    };

    std::string problems;
    auto add = [&problems](const std::string& problem) {
        problems += problems.empty() ? problem : ", " + problem;
    };
    if (::cfgetispeed(&settings) != B9600) {
        add("input speed not 9600");
    }
    if (::cfgetospeed(&settings) != B9600) {
        add("output speed not 9600");
    }
    if ((settings.c_cflag & CSIZE) != CS8) {
        add("not 8 data bits");
    }
    for (const Flag& flag : flags) {
        const bool set = (settings.*flag.field & flag.mask) != 0;
        if (set != flag.wanted) {
            add(std::string(flag.name) + (flag.wanted ? " clear" : " set"));
        }
    }
    return problems;
}

} // namespace emulator
