#pragma once

// Whether a Windows console is the program's own, from what the system
// tells: a plain function that builds and is tested everywhere.

// GetConsoleProcessList counts 1 when the console was opened for this
// program alone (Explorer, a shortcut), more under a shell that shares it,
// and 0 without a console. Keys come from it only when standard input is
// that console, not a pipe or a file.
inline bool own_console(unsigned long processes_on_console, bool input_is_console)
{
    return processes_on_console == 1 && input_is_console;
}
