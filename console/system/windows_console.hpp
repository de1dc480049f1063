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

// What a console control event asks of the program: every one asks it to
// stop. After a window's close, a log-off or a shutdown the system ends the
// process once the handler returns, and at the latest 5 s after the event
// (Microsoft's HandlerRoutine documentation): the handler holds the process
// that long, less a margin, for a write under way to be recorded.
struct ControlEventRule {
    bool stop = true;
    unsigned hold_ms = 0;
};
inline ControlEventRule control_event_rule(unsigned long event)
{
    constexpr unsigned long close_event = 2, logoff_event = 5, shutdown_event = 6;
    const bool ends_process = event == close_event || event == logoff_event || event == shutdown_event;
    return {.stop = true, .hold_ms = ends_process ? 4500U : 0U};
}

// The console input mode while a station watches: QuickEdit off (a click
// into the window would hold the program's next write until a key), which
// takes ENABLE_EXTENDED_FLAGS with it. `changed` false: leave it as it is.
struct ConsoleModeChange {
    unsigned long mode = 0;
    bool changed = false;
};
inline ConsoleModeChange without_quick_edit(unsigned long mode)
{
    constexpr unsigned long quick_edit = 0x0040, extended_flags = 0x0080;
    if ((mode & quick_edit) == 0) {
        return {.mode = mode, .changed = false};
    }
    return {.mode = (mode & ~quick_edit) | extended_flags, .changed = true};
}
