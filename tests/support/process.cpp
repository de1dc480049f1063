#include "process.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

double milliseconds_between(std::chrono::steady_clock::time_point start,
                            std::chrono::steady_clock::time_point end)
{
    return std::chrono::duration<double, std::milli>(end - start).count();
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

// Reads what is there; closes the pipe at its end.
void drain(int& fd, std::string& into)
{
    char buffer[65536];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
        into.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
        close(fd);
        fd = -1;
    }
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> result;
    for (auto& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

} // namespace

RunningProgram start_program(const ProgramRun& run)
{
    RunningProgram program;
    program.time_limit = run.time_limit;
    program.pending_input = run.input;
    program.close_input = run.close_input;
    program.sample_memory = run.sample_memory;

    // Everything the child needs is prepared before fork: the test may have
    // threads (the emulator), so the child only makes async-signal-safe calls.
    std::vector<std::string> arguments = run.command;
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        environment.emplace_back(*e);
    }
    environment.insert(environment.end(), run.environment.begin(), run.environment.end());
    auto argv = pointers(arguments);
    auto envp = pointers(environment);
    const std::string terminal = run.terminal;

    // A program may end before it has read all its input.
    std::signal(SIGPIPE, SIG_IGN);
    int input_pipe[2];
    int output_pipe[2];
    int error_pipe[2];
    if (pipe2(input_pipe, O_CLOEXEC) != 0 || pipe2(output_pipe, O_CLOEXEC) != 0 ||
        pipe2(error_pipe, O_CLOEXEC) != 0) {
        return program;
    }
    program.started = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        std::signal(SIGPIPE, SIG_DFL); // ignored dispositions survive exec
        setsid();
        if (!terminal.empty()) {
            const int tty = open(terminal.c_str(), O_RDWR); // becomes the controlling terminal
            if (tty >= 0) {
                dup2(tty, STDERR_FILENO);
            }
        } else {
            dup2(error_pipe[1], STDERR_FILENO);
        }
        dup2(input_pipe[0], STDIN_FILENO);
        dup2(output_pipe[1], STDOUT_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(input_pipe[0]);
    close(output_pipe[1]);
    close(error_pipe[1]);
    program.pid = pid;
    program.exit_fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    program.input_fd = input_pipe[1];
    program.output_fd = output_pipe[0];
    program.error_fd = error_pipe[0];
    fcntl(program.input_fd, F_SETFL, O_NONBLOCK);
    // What fits in the pipe goes now, so a started program has its keys
    // before anyone waits for it; the rest follows in finish_program.
    const ssize_t sent = write(program.input_fd, program.pending_input.data(), program.pending_input.size());
    program.input_sent = sent > 0 ? static_cast<std::size_t>(sent) : 0;
    if (program.input_sent == program.pending_input.size() && program.close_input) {
        close(program.input_fd);
        program.input_fd = -1;
    }
    return program;
}

ProgramResult finish_program(RunningProgram& program)
{
    ProgramResult result;
    if (program.pid < 0) {
        return result;
    }
    result.started = program.started;
    const auto deadline = program.started + program.time_limit;
    std::size_t& input_sent = program.input_sent;
    // Without a pidfd only the end of output tells that it is ending.
    bool exited = program.exit_fd < 0;
    // Feed input and drain output together, so large inputs cannot deadlock;
    // the exit is seen the moment it happens.
    while (program.output_fd >= 0 || program.error_fd >= 0 || !exited) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            break;
        }
        pollfd fds[4] = {{program.output_fd, POLLIN, 0},
                         {program.input_fd, POLLOUT, 0},
                         {exited ? -1 : program.exit_fd, POLLIN, 0},
                         {program.error_fd, POLLIN, 0}};
        if (poll(fds, 4, static_cast<int>(left.count()) + 1) < 0 && errno != EINTR) {
            break;
        }
        if (fds[3].revents != 0) {
            drain(program.error_fd, result.errors);
        }
        const auto now = std::chrono::steady_clock::now();
        if (fds[0].revents != 0) {
            if (program.sample_memory) {
                result.peak_rss_kib = std::max(result.peak_rss_kib, peak_rss_kib(program.pid));
            }
            const bool first = result.output.empty();
            drain(program.output_fd, result.output);
            if (first && !result.output.empty()) {
                result.first_output_ms = milliseconds_between(program.started, now);
            }
        }
        if (fds[1].revents != 0) {
            const ssize_t n = write(program.input_fd, program.pending_input.data() + input_sent,
                                    program.pending_input.size() - input_sent);
            if (n > 0) {
                input_sent += static_cast<std::size_t>(n);
            }
            const bool all_sent = input_sent == program.pending_input.size();
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || (all_sent && program.close_input)) {
                close(program.input_fd);
                program.input_fd = -1;
            }
        }
        if (fds[2].revents != 0) {
            exited = true;
            result.elapsed_ms = milliseconds_between(program.started, now);
        }
    }
    if (result.timed_out) {
        kill(-program.pid, SIGKILL);
        kill(program.pid, SIGKILL);
    }
    int status = 0;
    rusage usage{};
    // It has exited, or SIGKILL ends it now.
    while (wait4(program.pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    if (result.elapsed_ms == 0) {
        result.elapsed_ms = milliseconds_between(program.started, std::chrono::steady_clock::now());
    }
    result.cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                    (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    if (WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    for (int fd : {program.input_fd, program.output_fd, program.error_fd, program.exit_fd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    program.input_fd = program.output_fd = program.error_fd = program.exit_fd = -1;
    program.pid = -1;
    return result;
}

ProgramResult run_program(const ProgramRun& run)
{
    RunningProgram program = start_program(run);
    return finish_program(program);
}
