#include "process.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void close_fd(int& fd)
{
    if (fd >= 0) {
        close(fd);
    }
    fd = -1;
}

// Reads what is there; closes the pipe at its end.
void drain(int& fd, std::string& into)
{
    char buffer[65536];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
        into.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
        close_fd(fd);
    }
}

// Sends what the pipe takes; closes it when all is sent, if asked to.
void feed(RunningProgram& program)
{
    const std::string& input = program.run.input;
    const ssize_t n =
        write(program.input_fd, input.data() + program.input_sent, input.size() - program.input_sent);
    program.input_sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    if ((n < 0 && errno != EAGAIN && errno != EINTR) ||
        (program.input_sent == input.size() && program.run.close_input)) {
        close_fd(program.input_fd);
    }
}

} // namespace

RunningProgram start_program(const ProgramRun& run)
{
    RunningProgram program{.run = run};
    // Prepared before fork: the test may have threads (the emulator), so the
    // child only makes async-signal-safe calls.
    std::vector<char*> argv;
    for (std::string& argument : program.run.command) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::signal(SIGPIPE, SIG_IGN); // a program may end before it has read all its input
    int input[2], output[2], errors[2];
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0 || pipe2(errors, O_CLOEXEC) != 0) {
        return program;
    }
    program.started = Clock::now();
    program.pid = fork();
    if (program.pid == 0) {
        std::signal(SIGPIPE, SIG_DFL); // ignored dispositions survive exec
        setsid();
        // Opened after setsid, a terminal becomes the controlling one.
        const int tty = run.terminal.empty() ? -1 : open(run.terminal.c_str(), O_RDWR);
        dup2(tty >= 0 ? tty : errors[1], STDERR_FILENO);
        dup2(input[0], STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    close(errors[1]);
    program.exit_fd = static_cast<int>(syscall(SYS_pidfd_open, program.pid, 0));
    program.input_fd = input[1];
    program.output_fd = output[0];
    program.error_fd = errors[0];
    fcntl(program.input_fd, F_SETFL, O_NONBLOCK);
    // What fits in the pipe goes now, so a started program has its keys
    // before anyone waits for it; the rest follows in finish_program.
    feed(program);
    return program;
}

ProgramResult finish_program(RunningProgram& program)
{
    ProgramResult result{.started = program.started};
    if (program.pid < 0) {
        return result;
    }
    const auto deadline = program.started + program.run.time_limit;
    // Feed input and drain output together, so large inputs cannot deadlock;
    // the exit is seen the moment it happens.
    while (program.output_fd >= 0 || program.error_fd >= 0 || program.exit_fd >= 0) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(-program.pid, SIGKILL);
            kill(program.pid, SIGKILL);
            break;
        }
        pollfd fds[4] = {{program.output_fd, POLLIN, 0},
                         {program.error_fd, POLLIN, 0},
                         {program.input_fd, POLLOUT, 0},
                         {program.exit_fd, POLLIN, 0}};
        if (poll(fds, 4, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        if (fds[0].revents != 0) {
            if (program.run.on_output) {
                program.run.on_output(program.pid);
            }
            drain(program.output_fd, result.output);
        }
        if (fds[1].revents != 0) {
            drain(program.error_fd, result.errors);
        }
        if (fds[2].revents != 0) {
            feed(program);
        }
        if (fds[3].revents != 0) {
            result.elapsed_ms = ms_since(program.started);
            close_fd(program.exit_fd);
        }
    }
    int status = 0;
    rusage usage{};
    while (wait4(program.pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.elapsed_ms = result.elapsed_ms > 0 ? result.elapsed_ms : ms_since(program.started);
    result.cpu_ms = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    for (int* fd : {&program.input_fd, &program.output_fd, &program.error_fd, &program.exit_fd}) {
        close_fd(*fd);
    }
    program.pid = -1;
    return result;
}

ProgramResult run_program(const ProgramRun& run)
{
    RunningProgram program = start_program(run);
    return finish_program(program);
}
