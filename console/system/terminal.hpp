#pragma once

// The process's console as each platform passes it: standard output and
// error, the command line, and the system's words for its error codes.

#include <string>
#include <vector>

#include "result.hpp"

// Writes all of `text` to standard output and flushes it: to a console as
// characters whatever its code page, elsewhere as UTF-8 bytes; the reason
// when it does not take it.
Result<void> write_standard_output(const std::string& text);

// A line on standard error, shown right on the console whatever the names
// in it hold.
void print_error_line(const std::string& text);

// The command line as UTF-8, whatever the system passed it as.
std::vector<std::string> program_arguments(int argc, char** argv);

// True when the program's console is its own, opened for it when it started
// (from Explorer or a shortcut, not from a shell), and its keys come from
// there: the window closes when the program ends, so an end should wait for
// a key. False wherever a shell, a script or a pipe started it.
bool console_is_own();

// True when standard output is a terminal or console, where a line can be
// redrawn in place.
bool output_is_terminal();

// The width of the terminal or console standard output is on; 0 when it
// is none or does not say.
unsigned output_columns();

// While a station watches its ports, a click into its console window must
// not hold its output (and with it the polling) until a key: Windows'
// QuickEdit is off until release_console puts the console's mode back.
struct ConsoleHold {
    unsigned long mode = 0;
    bool changed = false;
};
ConsoleHold hold_console_for_watching();
void release_console(const ConsoleHold& hold);

// From now on Ctrl+C, Ctrl+Break and a request to terminate ask the program
// to stop (stop_requested) instead of ending it where it stands.
void catch_stop_requests();
bool stop_requested();

// Where the system ends the process soon after a stop (a Windows console
// window closed, a log-off, a shutdown), it ends once the program says it
// has finished what was under way, or at the system's deadline.
void stop_handled();

// Waits `ms`, or less once a stop is requested.
void pause_ms(unsigned ms);

// The system's own words for one of its error codes.
std::string system_error_text(int code);
