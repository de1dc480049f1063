// The process's console on POSIX: bytes as they are.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/ioctl.h>
#include <unistd.h>

#include "terminal.hpp"

Result<void> write_standard_output(const std::string& text)
{
    std::fputs(text.c_str(), stdout);
    if (std::fflush(stdout) == 0) {
        return {};
    }
    return Unexpected{std::string(std::strerror(errno))};
}

void print_error_line(const std::string& text)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", text.c_str());
}

std::vector<std::string> program_arguments(int argc, char** argv)
{
    return {argv, argv + argc};
}

bool output_is_terminal()
{
    return isatty(STDOUT_FILENO) != 0;
}

unsigned output_columns()
{
    winsize size{};
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

ConsoleHold hold_console_for_watching()
{
    return {}; // a terminal's selection never holds the program
}

void release_console(const ConsoleHold&) {}

namespace {

volatile std::sig_atomic_t stop_asked = 0;

void ask_to_stop(int)
{
    stop_asked = 1;
}

} // namespace

void catch_stop_requests()
{
    struct sigaction action {};
    action.sa_handler = ask_to_stop;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal_number, &action, nullptr);
    }
}

bool stop_requested()
{
    return stop_asked != 0;
}

void stop_handled() {} // SIGTERM leaves the program its time

void pause_ms(unsigned ms)
{
    // A signal ends the sleep early; one that came just before it costs at
    // most this one pause.
    if (!stop_requested()) {
        const timespec wait{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000L};
        nanosleep(&wait, nullptr);
    }
}

bool console_is_own()
{
    return false; // a terminal outlives what runs in it
}

std::string system_error_text(int code)
{
    return std::strerror(code);
}
