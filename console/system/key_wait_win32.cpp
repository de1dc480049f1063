#include "key_wait.hpp"

#include <cstdio>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// Modifier and lock keys alone are no answer; every other key is, whether or
// not it gives a character.
bool is_modifier_or_lock(WORD virtual_key)
{
    switch (virtual_key) {
    case VK_SHIFT:
    case VK_CONTROL:
    case VK_MENU:
    case VK_LSHIFT:
    case VK_RSHIFT:
    case VK_LCONTROL:
    case VK_RCONTROL:
    case VK_LMENU:
    case VK_RMENU:
    case VK_LWIN:
    case VK_RWIN:
    case VK_CAPITAL:
    case VK_NUMLOCK:
    case VK_SCROLL:
        return true;
    default:
        return false;
    }
}

// Read as UTF-16: the ANSI view gives no character for keys outside the
// console's code page, such as the Czech layout's top row on a UTF-8 console.
bool is_key_press(const INPUT_RECORD& record)
{
    if (record.EventType != KEY_EVENT) {
        return false;
    }
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    return key.bKeyDown && (key.uChar.UnicodeChar != 0 || !is_modifier_or_lock(key.wVirtualKeyCode));
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
    // Keys pressed while the program still waited for the controller are no
    // answer to the prompt: a double-clicked window would close at once.
    FlushConsoleInputBuffer(console);

    for (;;) {
        INPUT_RECORD record{};
        DWORD count = 0;
        if (!ReadConsoleInputW(console, &record, 1, &count)) {
            break;
        }
        if (count == 1 && is_key_press(record)) {
            break;
        }
    }

    SetConsoleMode(console, saved_mode);
    CloseHandle(console);
}
