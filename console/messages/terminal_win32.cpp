// The process's console on Windows: lines reach a console as UTF-16, and
// the command line comes from the system as UTF-16 too.

#include <atomic>
#include <cstdio>
#include <string>

#include "terminal.hpp"
#include "wide_text.hpp"

bool write_standard_output(const std::string& text, std::string& error)
{
    std::fputs(text.c_str(), stdout);
    return (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) ||
           (error = system_error_text(ERROR_WRITE_FAULT), false);
}

void print_error_line(const std::string& text)
{
    std::fflush(stdout);
    // On the console as UTF-16, so a name with č shows as č whatever the
    // console's code page; redirected, as UTF-8.
    const HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(errors, &mode)) {
        const std::wstring line = wide(text + "\n");
        DWORD written = 0;
        WriteConsoleW(errors, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
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
    return false;
}

std::string system_error_text(int code)
{
    return "Windows error " + std::to_string(code);
}

bool output_is_terminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

namespace {

std::atomic<bool> stop_asked{false};
HANDLE stop_event = nullptr;

BOOL WINAPI ask_to_stop(DWORD event)
{
    stop_asked = true;
    SetEvent(stop_event);
    // Closing the window ends the process once this returns: time for a
    // write under way to finish and be recorded.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        Sleep(4000);
    }
    return TRUE;
}

} // namespace

void catch_stop_requests()
{
    stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(ask_to_stop, TRUE);
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
