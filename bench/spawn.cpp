#include "bench/spawn.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start, Clock::time_point end)
{
    return std::chrono::duration<double, std::milli>(end - start).count();
}

struct Pipe {
    int read_end = -1;
    int write_end = -1;
    bool open()
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            return false;
        }
        read_end = ends[0];
        write_end = ends[1];
        return true;
    }
    void close_read()
    {
        if (read_end >= 0) {
            close(read_end);
        }
        read_end = -1;
    }
    void close_write()
    {
        if (write_end >= 0) {
            close(write_end);
        }
        write_end = -1;
    }
    ~Pipe()
    {
        close_read();
        close_write();
    }
};

bool start(const std::vector<std::string>& command, const Pipe& input, const Pipe& output, pid_t& pid)
{
    std::vector<char*> argv;
    for (const std::string& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input.read_end, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output.write_end, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    const int result = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return result == 0;
}

long peak_rss_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:")) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

// Reads what is there; false at the end of output.
bool take_output(int fd, pid_t pid, Spawned& result, Clock::time_point now)
{
    result.peak_rss_kib = std::max(result.peak_rss_kib, peak_rss_kib(pid));
    char buffer[65536];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
        if (result.output.empty()) {
            result.first_output_ms = ms_since(result.started, now);
        }
        result.output.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    return n < 0 && errno == EINTR;
}

} // namespace

Spawned spawn_and_wait(const std::vector<std::string>& command, const std::string& input,
                       std::chrono::milliseconds limit)
{
    Spawned result;
    Pipe keys;
    Pipe output;
    pid_t pid = -1;
    if (!keys.open() || !output.open()) {
        return result;
    }
    result.started = Clock::now();
    if (!start(command, keys, output, pid)) {
        return result;
    }
    keys.close_read();
    output.close_write();
    // The keys fit in the pipe: typed at once, then the end of input.
    const bool typed =
        write(keys.write_end, input.data(), input.size()) == static_cast<ssize_t>(input.size());
    keys.close_write();

    // The exit, seen the moment it happens.
    const int exit_watch = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    const auto deadline = result.started + limit;
    bool output_open = true;
    bool exited = exit_watch < 0; // without a pidfd only the output's end tells
    bool given_up = !typed;
    while (!given_up && (!exited || output_open)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            result.timed_out = given_up = true;
            break;
        }
        pollfd fds[2] = {{exited ? -1 : exit_watch, POLLIN, 0},
                         {output_open ? output.read_end : -1, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count()) + 1) < 0 && errno != EINTR) {
            given_up = true;
            break;
        }
        const Clock::time_point now = Clock::now();
        if (fds[1].revents != 0) {
            output_open = take_output(output.read_end, pid, result, now);
        }
        if (fds[0].revents != 0 && !exited) {
            exited = true;
            result.elapsed_ms = ms_since(result.started, now);
        }
    }
    if (given_up) {
        kill(pid, SIGKILL);
    }
    int status = 0;
    rusage usage{};
    // It has exited, or SIGKILL ends it now.
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    if (exit_watch < 0 || result.elapsed_ms == 0) {
        result.elapsed_ms = ms_since(result.started, Clock::now());
    }
    if (exit_watch >= 0) {
        close(exit_watch);
    }
    result.cpu_ms = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
