#include "tests/support/process.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

double milliseconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
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
    if (pipe2(input_pipe, O_CLOEXEC) != 0 || pipe2(output_pipe, O_CLOEXEC) != 0) {
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
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDERR_FILENO);
        }
        dup2(input_pipe[0], STDIN_FILENO);
        dup2(output_pipe[1], STDOUT_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(input_pipe[0]);
    close(output_pipe[1]);
    program.pid = pid;
    program.input_fd = input_pipe[1];
    program.output_fd = output_pipe[0];
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
    const auto deadline = program.started + program.time_limit;
    std::size_t& input_sent = program.input_sent;
    // Feed input and drain output together, so large inputs cannot deadlock.
    while (program.output_fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            break;
        }
        pollfd fds[2] = {{program.output_fd, POLLIN, 0}, {program.input_fd, POLLOUT, 0}};
        const int count = program.input_fd >= 0 ? 2 : 1;
        if (poll(fds, count, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        if (fds[0].revents != 0) {
            char buffer[65536];
            const ssize_t n = read(program.output_fd, buffer, sizeof buffer);
            if (n > 0) {
                result.output.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(program.output_fd);
                program.output_fd = -1;
            }
        }
        if (count == 2 && fds[1].revents != 0) {
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
    }
    if (result.timed_out) {
        kill(-program.pid, SIGKILL);
        kill(program.pid, SIGKILL);
    }
    int status = 0;
    rusage usage{};
    // The output closed, so the program is ending; still bound the wait.
    for (;;) {
        const pid_t done = wait4(program.pid, &status, WNOHANG, &usage);
        if (done == program.pid) {
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            result.timed_out = true;
            kill(-program.pid, SIGKILL);
            kill(program.pid, SIGKILL);
            wait4(program.pid, &status, 0, &usage);
            break;
        }
        usleep(2000);
    }
    result.elapsed_ms = milliseconds_since(program.started);
    result.cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                    (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    if (WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    for (int fd : {program.input_fd, program.output_fd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    program.input_fd = program.output_fd = -1;
    program.pid = -1;
    return result;
}

ProgramResult run_program(const ProgramRun& run)
{
    RunningProgram program = start_program(run);
    return finish_program(program);
}
