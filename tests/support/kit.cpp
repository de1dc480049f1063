#include "kit.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace kit {

Bytes write_frame(const std::array<std::uint8_t, 6>& configuration)
{
    Bytes frame(52, 0x00);
    frame[0] = emulator::start_byte;
    frame[1] = emulator::command_write;
    std::copy(configuration.begin(), configuration.end(), frame.begin() + 2);
    frame[50] = emulator::checksum(std::span(frame).first(50));
    frame[51] = emulator::end_byte;
    return frame;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

std::string written_to(int fd, const std::function<void()>& run)
{
    std::fflush(nullptr);
    std::FILE* capture = std::tmpfile();
    const int saved = dup(fd);
    if (capture == nullptr || saved < 0 || dup2(fileno(capture), fd) < 0) {
        std::abort();
    }
    run();
    std::fflush(nullptr);
    dup2(saved, fd);
    close(saved);
    std::rewind(capture);
    std::string text;
    for (int c = std::fgetc(capture); c != EOF; c = std::fgetc(capture)) {
        text += static_cast<char>(c);
    }
    std::fclose(capture);
    return text;
}

namespace {

struct OwnDirectory {
    std::filesystem::path path;
    pid_t owner = getpid(); // a forked child must not remove it
    OwnDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "zumel-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        path = pattern;
    }
    ~OwnDirectory()
    {
        std::error_code ignored;
        if (getpid() == owner) {
            std::filesystem::remove_all(path, ignored);
        }
    }
};

} // namespace

const std::filesystem::path& own_directory()
{
    static const OwnDirectory directory;
    return directory.path;
}

} // namespace kit

namespace kit {

std::string emulator_program()
{
    return EMULATOR_EXE;
}

Emulator::Emulator(const std::filesystem::path& link, const std::vector<std::string>& options)
{
    ProgramRun run{.command = {emulator_program(), link.string()}, .close_input = false};
    run.command.insert(run.command.end(), options.begin(), options.end());
    run.time_limit = std::chrono::hours(1); // it runs until it is stopped
    program = start_program(run);
    // Its port is there once it says where it leads.
    wait_until_said(*this, " -> ");
}

Emulator::~Emulator()
{
    stop(*this);
}

std::size_t times_said(const Emulator& emulator, const std::string& text)
{
    std::size_t count = 0;
    for (std::size_t at = emulator.said.find(text); at != std::string::npos;
         at = emulator.said.find(text, at + text.size())) {
        ++count;
    }
    return count;
}

bool wait_until_said(Emulator& emulator, const std::string& text, std::size_t count,
                     std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (times_said(emulator, text) < count && emulator.program.error_fd >= 0) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd errors{emulator.program.error_fd, POLLIN, 0};
        if (left.count() <= 0 || (poll(&errors, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)) {
            break;
        }
        char buffer[4096];
        const ssize_t n = read(emulator.program.error_fd, buffer, sizeof buffer);
        if (n > 0) {
            emulator.said.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break; // it ended
        }
    }
    return times_said(emulator, text) >= count;
}

bool connect_controller(Emulator& emulator, bool connected)
{
    const std::string done = connected ? "controller connected\n" : "controller disconnected\n";
    const std::size_t before = times_said(emulator, done);
    return emulator.program.pid > 0 && kill(emulator.program.pid, connected ? SIGUSR2 : SIGUSR1) == 0 &&
           wait_until_said(emulator, done, before + 1);
}

std::string stop(Emulator& emulator)
{
    if (emulator.program.pid > 0) {
        kill(emulator.program.pid, SIGTERM);
        emulator.said += finish_program(emulator.program).errors;
    }
    return emulator.said;
}

} // namespace kit
