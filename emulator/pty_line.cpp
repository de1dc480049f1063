#include "pty_device.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <optional>
#include <span>

#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace emulator {

namespace {

// A hang-up empties the slave's input, so it waits this long at most for the
// client to read what was sent before it.
constexpr auto hang_up_drain_limit = std::chrono::seconds(1);
constexpr auto hang_up_drain_step = std::chrono::milliseconds(1);

// An action with the request it answers.
struct Scheduled {
    Action action;
    std::size_t request = 0;
    bool last = false; // the reply's last part: the request is answered once it is out
};

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
               const std::vector<Request>& requests, unsigned errors_before, unsigned errors_after,
               bool visits)
{
    if (errors_after > errors_before) {
        log(line, "input not understood, protocol errors now " + std::to_string(errors_after));
    }
    for (std::size_t i = 0; i < responses.size(); ++i) {
        const Response& response = responses[i];
        const Request& request = requests[i];
        std::string to = request.controller ? "" : " to nobody";
        if (visits && request.controller) { // numbered from 1, as zumel-emulator's --visits has them
            to = " to controller " + std::to_string(*request.controller + 1);
        }
        log(line, "request " + std::to_string(response.request) + to + ": " + hex(request.frame));
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

void stamp_answered(PtyLine& line, std::size_t request)
{
    const Microseconds now = since_epoch(line, Clock::now());
    std::lock_guard lock(line.mutex);
    mark_answered(line.model, request, now);
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
        errors_before = total(line.model.errors);
        responses = feed(line.model, std::span(buffer, static_cast<std::size_t>(count)), now, problems);
        errors_after = total(line.model.errors);
        for (const Response& response : responses) {
            requests.push_back(line.model.requests[response.request]);
        }
    }
    line.changed.notify_all();
    if (line.log) {
        log_input(line, responses, requests, errors_before, errors_after, !line.model.visits.empty());
    }
    for (const Response& response : responses) {
        for (std::size_t i = 0; i < response.actions.size(); ++i) {
            queue.push_back({response.actions[i], response.request, i + 1 == response.actions.size()});
        }
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

// How many opens of the slave there are besides the one the line holds,
// from every process's open files. Events cannot be counted instead: the
// kernel folds an open into the one before it while neither is read, so two
// clients opening at once would be counted as one.
unsigned clients_now(const PtyLine& line)
{
    unsigned opens = 0;
    std::error_code code;
    for (const auto& process : std::filesystem::directory_iterator("/proc", code)) {
        const std::string name = process.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::error_code gone; // a process may end while it is looked at
        for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", gone)) {
            opens += std::filesystem::read_symlink(fd.path(), gone) == line.slave_path && !gone ? 1 : 0;
        }
    }
    return opens > 0 ? opens - 1 : 0;
}

// Keeps `clients` up to date from the watch's events: an open adds one, a
// close has them counted again, and the session ends with the last.
void track_sessions(PtyLine& line, unsigned& clients)
{
    alignas(inotify_event) char buffer[4096];
    const ssize_t count = ::read(line.session_watch, buffer, sizeof buffer);
    bool closes = false;
    for (ssize_t offset = 0; offset < count;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        clients += (event->mask & IN_OPEN) != 0 ? 1 : 0;
        closes = closes || (event->mask & IN_CLOSE) != 0;
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    if (closes && clients > 0) {
        clients = clients_now(line);
        if (clients == 0) {
            end_session(line);
        }
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
                stamp_answered(line, queue.front().request);
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
    return start_pty_line(link, std::vector{setup}, {}, error, std::move(log), mode);
}

PtyLineHandle start_pty_line(const std::filesystem::path& link,
                             const std::vector<ControllerSetup>& controllers,
                             const std::vector<Visit>& visits, std::string& error, LogSink log, LineMode mode)
{
    std::optional<Line> model = make_line(controllers, visits, error);
    if (!model) {
        return nullptr;
    }
    const std::vector<std::uint8_t> waiting = model->controllers[connected(*model).value_or(0)].setup.waiting;
    PtyLineHandle line(
        new PtyLine{.link = link, .log = std::move(log), .mode = mode, .model = std::move(*model)});
    if (!open_pty(*line, error) || !put_waiting(*line, waiting, error) || !make_link(*line, error)) {
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

std::chrono::steady_clock::time_point started_at(const PtyLine& line)
{
    return line.epoch;
}

std::string slave_path(const PtyLine& line)
{
    return line.slave_path;
}

Controller snapshot(const PtyLine& line)
{
    std::lock_guard lock(line.mutex);
    return as_one(line.model);
}

Line line_snapshot(const PtyLine& line)
{
    std::lock_guard lock(line.mutex);
    return line.model;
}

bool wait_for_requests(const PtyLine& line, std::size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(line.mutex);
    line.changed.wait_for(lock, timeout, [&] { return line.model.requests.size() >= count || line.closed; });
    return line.model.requests.size() >= count;
}

void connect(PtyLine& line, bool connected)
{
    std::lock_guard lock(line.mutex);
    line.model.unplugged = !connected;
}

bool closed(const PtyLine& line)
{
    std::lock_guard lock(line.mutex);
    return line.closed;
}

} // namespace emulator
