#pragma once

// The two programs these sessions run, the Linux build and the Windows build
// under Wine, and every way they differ here, each with its reason: test
// bodies use these values and skip with these reasons, and never ask which
// program they run.

#include <filesystem>
#include <string>
#include <vector>

#ifdef WINE_RUN_SCRIPT
inline constexpr bool under_wine = true;
#else
inline constexpr bool under_wine = false;
#endif

struct Platform {
    // The highest COM number a test can reach: Wine's prefix pins COM1 to
    // COM6 to the tests' links; the Linux build takes any under its prefix,
    // up to what Windows' resized COM database allows.
    int high_port;
    // A whole run's limit under test.
    int time_limit_ms;
    // The reason a file where a folder should be gives.
    const char* not_a_folder;
    // What a configuration file the program wrote ends its lines with.
    const char* line_end;

    // Why a check cannot be made on this program; empty where it can.
    const char* no_exclusive_open;  // a busy port, a second session refused
    const char* no_shared_lines;    // UUCP lock files, a controlling terminal, a line's termios
    const char* no_signals;         // a signal to the program itself
    const char* no_quick_dead_line; // a line that has gone, seen at once
    const char* no_line_set_twice;  // a second session on a line the first set
    const char* no_pty_console;     // the key wait on a pseudo-terminal console
    const char* no_runs_at_once;    // two runs at the same time
    const char* no_posix_files;     // -o onto modes, links, FIFOs and devices
    const char* no_long_paths;      // a path near the system's limit
    const char* no_kill_mid_run;    // a run killed while it waits
    const char* few_server_runs;    // device servers beyond the two sessions that show the Windows link
};

inline constexpr Platform platform =
    under_wine ? Platform{.high_port = 6,
                          .time_limit_ms = 90'000,
                          .not_a_folder = "not a folder",
                          .line_end = "\r\n",
                          .no_exclusive_open = "Wine keeps no open exclusive",
                          .no_shared_lines =
                              "UUCP lock files, a controlling terminal and termios are the Linux build's",
                          .no_signals = "signals reach Wine's loader, not the Windows program",
                          .no_quick_dead_line = "Wine's ReadFile spins on a dead line until its time-out",
                          .no_line_set_twice = "Wine cannot set a pty that already runs at 9600 8O1",
                          .no_pty_console = "under Wine the key wait is proven in tmux (tests/wine)",
                          .no_runs_at_once = "runs in one prefix end each other's Wine processes",
                          .no_posix_files = "modes, symlinks, FIFOs and device nodes are the Linux build's",
                          .no_long_paths = "Windows limits paths otherwise",
                          .no_kill_mid_run = "a killed Wine loader leaves its program to the prefix's end",
                          .few_server_runs = "Wine runs are slow: --read and the dialogue over rfc2217:// "
                                             "show the Windows link; the rest is the same code"}
               : Platform{.high_port = 4096,
                          .time_limit_ms = 20'000,
                          .not_a_folder = "Not a directory",
                          .line_end = "\n",
                          .no_exclusive_open = "",
                          .no_shared_lines = "",
                          .no_signals = "",
                          .no_quick_dead_line = "",
                          .no_line_set_twice = "",
                          .no_pty_console = "",
                          .no_runs_at_once = "",
                          .no_posix_files = "",
                          .no_long_paths = "",
                          .no_kill_mid_run = "",
                          .few_server_runs = ""};

// Skips the rest of the test, with the reason, where the check cannot be made.
#define SKIP_WHERE(reason)                                                                                   \
    if (*(reason) != '\0') {                                                                                 \
        GTEST_SKIP() << (reason);                                                                            \
    }

// COMn as messages and the trace name it: with its device where the program
// names its ports by a prefix.
std::string port_as_named(int number);

// The options --find tells the technician to paste for COMn.
std::string paste_options(int number);

// What --list prints for the tests' ports COMn, each on a line of its own.
std::vector<std::string> listed_ports(const std::vector<int>& numbers);

// Ports that will not open, as the platform reports them: the options, the
// keys typed, and the start of the reason on standard error.
struct OpenFailure {
    std::vector<std::string> options;
    std::string keys;
    std::string reason;
    int exit_code;
};
std::vector<OpenFailure> open_failures();
