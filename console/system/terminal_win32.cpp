// The process's console on Windows: lines reach a console as UTF-16, and
// the command line comes from the system as UTF-16 too.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>

#include "terminal.hpp"
#include "wide_text.hpp"
#include "windows_console.hpp"

namespace {

bool is_console(HANDLE handle)
{
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

// As UTF-16, so a name with č shows as č whatever the console's code page.
// In pieces, as older consoles take no more than about 64 KB at once, never
// cut between the halves of a surrogate pair.
bool write_console(HANDLE console, const std::string& text)
{
    const std::wstring characters = wide(text);
    for (std::size_t start = 0; start < characters.size();) {
        std::size_t count = std::min<std::size_t>(characters.size() - start, 8192);
        const wchar_t last = characters[start + count - 1];
        count -= start + count < characters.size() && last >= 0xD800 && last <= 0xDBFF ? 1 : 0;
        DWORD written = 0;
        if (!WriteConsoleW(console, characters.data() + start, static_cast<DWORD>(count), &written,
                           nullptr) ||
            written == 0) {
            return false;
        }
        start += written;
    }
    return true;
}

} // namespace

Result<void> write_standard_output(const std::string& text)
{
    // What stdio holds comes first; redirected, the text stays UTF-8.
    std::fflush(stdout);
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (is_console(output)) {
        if (!write_console(output, text)) {
            return Unexpected{system_error_text(static_cast<int>(GetLastError()))};
        }
        return {};
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        return Unexpected{system_error_text(ERROR_WRITE_FAULT)};
    }
    return {};
}

void print_error_line(const std::string& text)
{
    std::fflush(stdout);
    const HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
    if (is_console(errors)) {
        write_console(errors, text + "\n");
        return;
    }
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

// msvcrt's own way to the UTF-16 command line.
struct StartupInfo {
    int new_mode;
};
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment, int expand_wildcards,
                              StartupInfo* info);

std::vector<std::string> program_arguments(int argc, char** argv)
{
    int count = 0;
    wchar_t** arguments = nullptr;
    wchar_t** environment = nullptr;
    StartupInfo info{0};
    if (__wgetmainargs(&count, &arguments, &environment, 0, &info) != 0 || arguments == nullptr) {
        return {argv, argv + argc};
    }
    std::vector<std::string> result;
    for (int i = 0; i < count; ++i) {
        result.push_back(narrow(arguments[i]));
    }
    return result;
}

bool console_is_own()
{
    DWORD processes[4] = {};
    return own_console(GetConsoleProcessList(processes, 4), is_console(GetStdHandle(STD_INPUT_HANDLE)));
}

std::string system_error_text(int code)
{
    return "Windows error " + std::to_string(code);
}

bool output_is_terminal()
{
    return is_console(GetStdHandle(STD_OUTPUT_HANDLE));
}

unsigned output_columns()
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        return 0;
    }
    return static_cast<unsigned>(std::max(0, info.srWindow.Right - info.srWindow.Left + 1));
}

ConsoleHold hold_console_for_watching()
{
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(input, &mode)) {
        return {};
    }
    const ConsoleModeChange change = without_quick_edit(mode);
    return {.mode = mode, .changed = change.changed && SetConsoleMode(input, change.mode)};
}

void release_console(const ConsoleHold& hold)
{
    if (hold.changed) {
        SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), hold.mode);
    }
}

namespace {

std::atomic<bool> stop_asked{false};
HANDLE stop_event = nullptr;
HANDLE handled_event = nullptr;

BOOL WINAPI ask_to_stop(DWORD event)
{
    const ControlEventRule rule = control_event_rule(event);
    stop_asked = rule.stop;
    SetEvent(stop_event);
    // The process ends once this returns: until then a write under way
    // finishes and is recorded.
    if (rule.hold_ms > 0) {
        WaitForSingleObject(handled_event, rule.hold_ms);
    }
    return TRUE;
}

} // namespace

void catch_stop_requests()
{
    stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    handled_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(ask_to_stop, TRUE);
}

void stop_handled()
{
    if (handled_event != nullptr) {
        SetEvent(handled_event);
    }
}

bool stop_requested()
{
    return stop_asked;
}

void pause_ms(unsigned ms)
{
    if (stop_event != nullptr) {
        WaitForSingleObject(stop_event, ms);
    } else {
        Sleep(ms);
    }
}
