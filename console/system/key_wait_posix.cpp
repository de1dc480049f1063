// Key wait on the controlling terminal. This file alone owns the terminal's
// mode: it saves it, switches to raw input for the wait and restores it on
// every way out, a signal included. The signal handler only records the
// signal; the restore and the re-raise happen here, outside it.

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "key_wait.hpp"

namespace {

constexpr std::array caught_signals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int sequence_gap_ms = 50; // the rest of an escape sequence comes within this

volatile std::sig_atomic_t pending_signal = 0;

void record_signal(int signal_number)
{
    pending_signal = signal_number;
}

struct SignalGuard {
    std::array<struct sigaction, caught_signals.size()> previous{};
    sigset_t previous_mask{};
};

// Signals stay blocked except inside ppoll, so one that arrives between the
// check and the wait still ends the wait.
void catch_signals(SignalGuard& guard)
{
    pending_signal = 0;
    sigset_t blocked;
    sigemptyset(&blocked);
    struct sigaction action {};
    action.sa_handler = record_signal;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < caught_signals.size(); ++i) {
        sigaddset(&blocked, caught_signals[i]);
        sigaction(caught_signals[i], &action, &guard.previous[i]);
    }
    sigprocmask(SIG_BLOCK, &blocked, &guard.previous_mask);
}

void release_signals(const SignalGuard& guard)
{
    for (std::size_t i = 0; i < caught_signals.size(); ++i) {
        sigaction(caught_signals[i], &guard.previous[i], nullptr);
    }
    sigprocmask(SIG_SETMASK, &guard.previous_mask, nullptr);
}

enum class Wait { ready, timed_out, interrupted, closed };

Wait wait_for_input(int fd, int timeout_ms, const sigset_t& wait_mask)
{
    for (;;) {
        if (pending_signal != 0) {
            return Wait::interrupted;
        }
        pollfd terminal{fd, POLLIN, 0};
        timespec limit{timeout_ms / 1000, (timeout_ms % 1000) * 1'000'000L};
        const int ready = ppoll(&terminal, 1, timeout_ms < 0 ? nullptr : &limit, &wait_mask);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Wait::closed;
        }
        if (ready == 0) {
            return Wait::timed_out;
        }
        return (terminal.revents & POLLIN) != 0 ? Wait::ready : Wait::closed;
    }
}

// Reads one byte; false when the terminal is gone.
bool read_byte(int fd, unsigned char& byte)
{
    for (;;) {
        const ssize_t n = read(fd, &byte, 1);
        if (n == 1) {
            return true;
        }
        if (n < 0 && errno == EINTR && pending_signal == 0) {
            continue;
        }
        return false;
    }
}

// A special key arrives as an escape sequence (ESC [ 1 ; 5 C and the like);
// it is consumed whole so none of it reaches the shell afterwards. A lone
// Escape is a key of its own.
void consume_escape_sequence(int fd, const sigset_t& wait_mask)
{
    unsigned char byte = 0;
    if (wait_for_input(fd, sequence_gap_ms, wait_mask) != Wait::ready || !read_byte(fd, byte)) {
        return;
    }
    if (byte != '[' && byte != 'O') {
        return; // Alt with a key: ESC and one character
    }
    const bool parameters_follow = byte == '[';
    for (bool first = true;
         wait_for_input(fd, sequence_gap_ms, wait_mask) == Wait::ready && read_byte(fd, byte);
         first = false) {
        // The Linux console sends F1 to F5 as ESC [ [ A to ESC [ [ E: a
        // second '[' is not the end.
        if (!parameters_follow || (byte >= 0x40 && byte <= 0x7E && !(first && byte == '['))) {
            return; // the final byte
        }
    }
}

// A character of several bytes (UTF-8) is one key.
void consume_continuation_bytes(int fd, unsigned char lead, const sigset_t& wait_mask)
{
    int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    unsigned char byte = 0;
    while (more-- > 0 && wait_for_input(fd, sequence_gap_ms, wait_mask) == Wait::ready &&
           read_byte(fd, byte)) {
    }
}

void wait_on_terminal(int fd, const sigset_t& wait_mask)
{
    unsigned char byte = 0;
    if (wait_for_input(fd, -1, wait_mask) != Wait::ready || !read_byte(fd, byte)) {
        return;
    }
    if (byte == 0x1B) {
        consume_escape_sequence(fd, wait_mask);
    } else {
        consume_continuation_bytes(fd, byte, wait_mask);
    }
}

} // namespace

void wait_for_key()
{
    std::fflush(stdout);
    const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return; // no console: nothing to wait on
    }
    termios saved{};
    if (tcgetattr(fd, &saved) != 0) {
        close(fd);
        return;
    }
    SignalGuard guard;
    catch_signals(guard);

    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    // TCSAFLUSH drops what was typed before the prompt: an impatient Enter
    // during a time-out must not answer it.
    if (tcsetattr(fd, TCSAFLUSH, &raw) == 0) {
        wait_on_terminal(fd, guard.previous_mask);
        tcsetattr(fd, TCSANOW, &saved);
    }
    close(fd);

    const int signal_number = pending_signal;
    release_signals(guard);
    if (signal_number != 0) {
        // The terminal is back as it was; now let the signal do what it
        // would have done.
        std::raise(signal_number);
    }
}
