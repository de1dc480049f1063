#pragma once

// The process's console as each platform passes it: standard output and
// error, the command line, and the system's words for its error codes.

#include <string>
#include <vector>

// Writes all of `text` to standard output and flushes it: to a console as
// characters whatever its code page, elsewhere as UTF-8 bytes. False with
// the reason when it does not take it.
bool write_standard_output(const std::string& text, std::string& error);

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

// From now on Ctrl+C, Ctrl+Break and a request to terminate ask the program
// to stop (stop_requested) instead of ending it where it stands.
void catch_stop_requests();
bool stop_requested();

// Waits `ms`, or less once a stop is requested.
void pause_ms(unsigned ms);

// The system's own words for one of its error codes.
std::string system_error_text(int code);
