#include "console/console_io.hpp"

#include <cstdio>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// Keys that give no character but are still a deliberate press; modifier and
// lock keys alone are not.
bool is_special_key(WORD virtual_key)
{
    switch (virtual_key) {
    case VK_PRIOR:
    case VK_NEXT:
    case VK_END:
    case VK_HOME:
    case VK_LEFT:
    case VK_UP:
    case VK_RIGHT:
    case VK_DOWN:
    case VK_INSERT:
    case VK_DELETE:
    case VK_CLEAR:
    case VK_PAUSE:
    case VK_APPS:
        return true;
    default:
        return virtual_key >= VK_F1 && virtual_key <= VK_F24;
    }
}

bool is_key_press(const INPUT_RECORD& record)
{
    if (record.EventType != KEY_EVENT) {
        return false;
    }
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    if (!key.bKeyDown) {
        return false;
    }
    return key.uChar.AsciiChar != 0 || is_special_key(key.wVirtualKeyCode);
}

} // namespace

void wait_for_key()
{
    std::fflush(stdout);

    // The console itself, not standard input, which may be a file or a pipe.
    HANDLE console = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) {
        return;
    }

    DWORD saved_mode = 0;
    if (!GetConsoleMode(console, &saved_mode)) {
        CloseHandle(console);
        return;
    }
    // Without processed input Ctrl+C arrives as a key instead of ending us.
    SetConsoleMode(console, saved_mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                                             ENABLE_PROCESSED_INPUT));

    for (;;) {
        INPUT_RECORD record{};
        DWORD count = 0;
        if (!ReadConsoleInputA(console, &record, 1, &count)) {
            break;
        }
        if (count == 1 && is_key_press(record)) {
            break;
        }
    }

    SetConsoleMode(console, saved_mode);
    CloseHandle(console);
}
