// Files on Windows: every name goes to the system as UTF-16 through the W
// functions, never through the ANSI code page, and the command line comes
// from the system as UTF-16 too. What needs no system call to decide is in
// windows_files.cpp.

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <optional>
#include <string>

#include "files.hpp"
#include "wide_text.hpp"
#include "windows_files.hpp"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

Unexpected<std::string> failed(DWORD code = GetLastError())
{
    wchar_t* message = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::wstring text = length > 0 ? std::wstring(message, length) : L"";
    LocalFree(message);
    while (!text.empty() &&
           (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' || text.back() == L'.')) {
        text.pop_back();
    }
    return Unexpected{(text.empty() ? "error" : narrow(text)) + " (Windows error " + std::to_string(code) +
                      ")"};
}

Unexpected<std::string> refused(const std::string& reason)
{
    return Unexpected{reason};
}

DWORD error_unless(bool done)
{
    return done ? ERROR_SUCCESS : GetLastError();
}

WaitClock tick_clock(GiveUp give_up = nullptr)
{
    return {.now_ms = [] { return GetTickCount64(); },
            .sleep_ms = [](unsigned ms) { Sleep(ms); },
            .give_up = [give_up] { return give_up != nullptr && give_up(); }};
}

// A wait that ended busy because a stop was asked for says so.
Unexpected<std::string> busy_failed(DWORD code, GiveUp give_up)
{
    if (code == ERROR_SHARING_VIOLATION && give_up != nullptr && give_up()) {
        return refused(stopped_waiting);
    }
    return failed(code);
}

// The name of a device a user would not mean: never opened. Why not, if so.
std::optional<std::string> device_by_name(const std::string& name)
{
    const std::string device = device_behind_name(name);
    if (device.empty()) {
        return std::nullopt;
    }
    return "Windows takes this name for " + device + "; choose another name";
}

constexpr const char* serial_port_refusal = "a serial port, not a file";

// A serial port, whatever name led to it (\\.\COM12): a character device
// that answers a call only a serial port answers. Never read or written as
// a file. Wine answers only the time-outs on a handle without read access.
bool serial_port_behind(HANDLE handle)
{
    DCB state{};
    state.DCBlength = sizeof state;
    COMMPROP properties{};
    COMMTIMEOUTS timeouts{};
    const bool serial = GetFileType(handle) == FILE_TYPE_CHAR &&
                        (GetCommState(handle, &state) || GetCommProperties(handle, &properties) ||
                         GetCommTimeouts(handle, &timeouts));
    return serial;
}

bool is_directory(const std::wstring& name)
{
    const DWORD attributes = GetFileAttributesW(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Text files on Windows end their lines with CR LF, as text mode writes them.
std::string with_crlf(const std::string& text)
{
    std::string result;
    for (const char c : text) {
        result += c == '\n' ? "\r\n" : std::string(1, c);
    }
    return result;
}

bool write_all(HANDLE file, const std::string& text)
{
    DWORD written = 0;
    return WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

// The file a name leads to once links are followed; the name itself when it
// cannot be opened.
std::wstring final_path(const std::wstring& name)
{
    const HANDLE file = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return name;
    }
    wchar_t path[MAX_PATH * 4] = {};
    const DWORD length = GetFinalPathNameByHandleW(file, path, MAX_PATH * 4, FILE_NAME_NORMALIZED);
    CloseHandle(file);
    return length > 0 && length < MAX_PATH * 4 ? std::wstring(path, length) : name;
}

// A new file of our own beside `path`, never one that exists already:
// stem.tmp, with stem.bak free for the old file.
HANDLE create_temporary(const std::wstring& path, std::wstring& stem)
{
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const unsigned long long seed =
            GetTickCount64() ^ (GetCurrentProcessId() * 2654435761ULL) ^ ++counter;
        stem = path + L"." + std::to_wstring(seed % 1000000007ULL);
        if (GetFileAttributesW((stem + L".bak").c_str()) != INVALID_FILE_ATTRIBUTES) {
            continue;
        }
        const HANDLE file = CreateFileW((stem + L".tmp").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
            return file;
        }
    }
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
}

} // namespace

std::string device_behind_name(const std::string& name)
{
    return windows_device_name(name);
}

Result<std::string> read_file(const std::string& name, std::size_t limit)
{
    std::string text(limit, '\0');
    if (name == "-") {
        // Binary: text mode would turn CR LF into LF and stop at Ctrl+Z.
        _setmode(_fileno(stdin), _O_BINARY);
        text.resize(std::fread(text.data(), 1, limit, stdin));
        if (std::ferror(stdin) != 0) {
            return failed(ERROR_READ_FAULT);
        }
        return text;
    }
    const std::wstring path = wide(name);
    if (const std::optional<std::string> device = device_by_name(name)) {
        return refused(*device);
    }
    if (is_directory(path)) {
        return refused("is a directory");
    }
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return failed();
    }
    if (serial_port_behind(file)) {
        CloseHandle(file);
        return refused(serial_port_refusal);
    }
    std::size_t total = 0;
    bool read_well = true;
    for (DWORD got = 1; read_well && got > 0 && total < limit; total += got) {
        got = 0;
        read_well = ReadFile(file, text.data() + total, static_cast<DWORD>(limit - total), &got, nullptr);
    }
    const DWORD code = GetLastError();
    CloseHandle(file);
    text.resize(total);
    if (!read_well) {
        return failed(code);
    }
    return text;
}

Result<void> replace_file(const std::string& name, const std::string& lines)
{
    const std::string text = with_crlf(lines);
    const std::wstring given = wide(name);
    if (const std::optional<std::string> device = device_by_name(name)) {
        return refused(*device);
    }
    if (is_directory(given)) {
        return refused("is a directory");
    }
    // A device or a pipe (NUL, CON, a named pipe) is written into.
    const HANDLE existing = CreateFileW(given.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD open_error = GetLastError();
    if (existing != INVALID_HANDLE_VALUE && GetFileType(existing) != FILE_TYPE_DISK) {
        Result<void> written;
        if (serial_port_behind(existing)) {
            written = refused(serial_port_refusal);
        } else if (!write_all(existing, text)) {
            written = failed();
        }
        CloseHandle(existing);
        return written;
    }
    if (existing != INVALID_HANDLE_VALUE) {
        CloseHandle(existing);
    } else if (open_error != ERROR_FILE_NOT_FOUND) {
        return failed(open_error);
    }
    const bool exists = existing != INVALID_HANDLE_VALUE;
    const std::wstring path = exists ? final_path(given) : given;
    std::wstring stem;
    bool created = false;
    const auto temporary = [&] { return stem + L".tmp"; };
    const auto backup = [&] { return stem + L".bak"; };
    // On the disk before it takes the name: a power cut leaves the old file
    // or the new one. ReplaceFileW keeps the old one's attributes and
    // permissions.
    const Replacement replaced = replace_by_steps(
        exists,
        {.write_new =
             [&] {
                 const HANDLE file = create_temporary(path, stem);
                 if (file == INVALID_HANDLE_VALUE) {
                     return GetLastError();
                 }
                 created = true;
                 const DWORD code = error_unless(write_all(file, text) && FlushFileBuffers(file));
                 CloseHandle(file);
                 return code;
             },
         .replace =
             [&] {
                 return error_unless(ReplaceFileW(path.c_str(), temporary().c_str(), backup().c_str(),
                                                  REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr));
             },
         .move_new_in =
             [&] {
                 return error_unless(MoveFileExW(temporary().c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH));
             },
         .move_new_over =
             [&] {
                 return error_unless(MoveFileExW(temporary().c_str(), path.c_str(),
                                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
             },
         .restore_old =
             [&] {
                 return error_unless(MoveFileExW(backup().c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH));
             },
         .delete_new =
             [&] { return created ? error_unless(DeleteFileW(temporary().c_str())) : ERROR_SUCCESS; },
         .delete_backup = [&] { return error_unless(DeleteFileW(backup().c_str())); },
         .clock = tick_clock()});
    if (replaced.stranded) {
        return refused(failed(replaced.error).error + "; the old file is now " + narrow(backup()) +
                       ", the new one " + narrow(temporary()));
    }
    if (!replaced.done) {
        return failed(replaced.error);
    }
    return {};
}

Result<void, NotCreated> create_new_file(const std::string& name, const std::string& lines)
{
    const std::string text = with_crlf(lines);
    const std::wstring path = wide(name);
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        return Unexpected{NotCreated{.exists = code == ERROR_FILE_EXISTS, .reason = failed(code).error}};
    }
    const bool done = write_all(file, text) && FlushFileBuffers(file);
    const DWORD code = GetLastError();
    CloseHandle(file);
    if (!done) {
        DeleteFileW(path.c_str());
        return Unexpected{NotCreated{.reason = failed(code).error}};
    }
    return {};
}

Result<void> make_directories(const std::string& name)
{
    const std::wstring path = wide(name);
    // Each folder on the way, from the first below the root; those that
    // exist, and a drive or share that is no folder to make, fail harmlessly.
    for (std::size_t end = path.find_first_of(L"/\\", 1); end != std::wstring::npos;
         end = path.find_first_of(L"/\\", end + 1)) {
        CreateDirectoryW(path.substr(0, end).c_str(), nullptr);
    }
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return failed();
    }
    if (!is_directory(path)) {
        return refused("not a folder");
    }
    return {};
}

Result<void> append_rows(const std::string& name, const std::string& header, const std::string& rows,
                         Waiting waiting, GiveUp give_up)
{
    // Opened unshared: another run appending waits its turn, and so does
    // this one while a spreadsheet holds the file.
    const std::wstring path = wide(name);
    HANDLE file = INVALID_HANDLE_VALUE;
    const unsigned long long start = GetTickCount64();
    const DWORD code = retry_while_busy(
        [&] {
            file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
            return error_unless(file != INVALID_HANDLE_VALUE);
        },
        {ERROR_SHARING_VIOLATION}, start + 10'000, tick_clock(give_up), start + 1'000,
        [&] { waiting(name + " is open in another program (a spreadsheet?); waiting up to 10 s for it"); });
    if (code != ERROR_SUCCESS) {
        return busy_failed(code, give_up);
    }
    LARGE_INTEGER size{};
    char last = '\n';
    DWORD got = 0;
    bool done =
        GetFileSizeEx(file, &size) &&
        (size.QuadPart == 0 || (SetFilePointerEx(file, LARGE_INTEGER{.QuadPart = -1}, nullptr, FILE_END) &&
                                ReadFile(file, &last, 1, &got, nullptr) && got == 1));
    // A line cut by a power cut stays alone, never glued to the new rows.
    const std::string mend = last == '\n' ? "" : "\r\n";
    done = done && SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_END) &&
           write_all(file, (size.QuadPart == 0 ? header : mend) + rows) && FlushFileBuffers(file);
    const DWORD cause = GetLastError();
    CloseHandle(file);
    if (!done) {
        return failed(cause);
    }
    return {};
}

Result<std::FILE*> open_for_writing(const std::string& name)
{
    if (const std::optional<std::string> device = device_by_name(name)) {
        return refused(*device);
    }
    std::FILE* file = _wfopen(wide(name).c_str(), L"w");
    if (file == nullptr) {
        return failed(is_directory(wide(name)) ? ERROR_DIRECTORY : GetLastError());
    }
    if (serial_port_behind(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))))) {
        std::fclose(file);
        return refused(serial_port_refusal);
    }
    return file;
}

Result<FileHold> hold_file(const std::string& name, GiveUp give_up)
{
    // Unshared: another holder waits its turn, a minute at most.
    const std::wstring path = wide(name);
    HANDLE file = INVALID_HANDLE_VALUE;
    const DWORD code = retry_while_busy(
        [&] {
            file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
            return error_unless(file != INVALID_HANDLE_VALUE);
        },
        {ERROR_SHARING_VIOLATION}, GetTickCount64() + 60'000, tick_clock(give_up));
    if (code != ERROR_SUCCESS) {
        return busy_failed(code, give_up);
    }
    return FileHold{reinterpret_cast<std::intptr_t>(file)};
}

void release_hold(FileHold& hold)
{
    if (hold.handle != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(hold.handle));
        hold.handle = -1;
    }
}

Result<std::string> read_file_from(const std::string& name, std::uint64_t offset, std::size_t limit,
                                   GiveUp give_up)
{
    // Another run appending holds the file unshared for a moment: waited
    // out, as an append waits.
    std::string text;
    const std::wstring path = wide(name);
    HANDLE file = INVALID_HANDLE_VALUE;
    const DWORD code = retry_while_busy(
        [&] {
            file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            return error_unless(file != INVALID_HANDLE_VALUE);
        },
        {ERROR_SHARING_VIOLATION}, GetTickCount64() + 10'000, tick_clock(give_up));
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
        return text; // a missing file holds nothing
    }
    if (code != ERROR_SUCCESS) {
        return busy_failed(code, give_up);
    }
    LARGE_INTEGER size{};
    bool done = GetFileSizeEx(file, &size) && GetFileType(file) == FILE_TYPE_DISK;
    const std::uint64_t total = done ? static_cast<std::uint64_t>(size.QuadPart) : 0;
    if (done && total > offset) {
        text.resize(static_cast<std::size_t>(std::min<std::uint64_t>(total - offset, limit)));
        done = SetFilePointerEx(file, LARGE_INTEGER{.QuadPart = static_cast<LONGLONG>(offset)}, nullptr,
                                FILE_BEGIN);
        std::size_t got_all = 0;
        for (DWORD got = 1; done && got > 0 && got_all < text.size(); got_all += got) {
            got = 0;
            done = ReadFile(file, text.data() + got_all, static_cast<DWORD>(text.size() - got_all), &got,
                            nullptr);
        }
        text.resize(got_all);
    }
    const DWORD cause = GetLastError();
    CloseHandle(file);
    if (!done) {
        return failed(cause);
    }
    return text;
}

Result<void> may_replace(const std::string& name)
{
    if (is_directory(wide(name))) {
        return refused("is a directory");
    }
    const std::size_t slash = name.find_last_of("\\/");
    // \\?\COM3 and \\.\COM3 name a device, in no folder: the write tells a
    // port from a file.
    const bool device_namespace = name.starts_with("\\\\?\\") || name.starts_with("\\\\.\\");
    if (slash == std::string::npos || (device_namespace && slash < 4)) {
        return {};
    }
    if (const std::optional<std::string> device = device_by_name(name)) {
        return refused(*device);
    }
    // C:\x.conf goes into C:\ and C:x.conf into the folder in force on C:.
    const std::string folder = name.substr(0, slash == 0 || name[slash - 1] == ':' ? slash + 1 : slash);
    const DWORD attributes = GetFileAttributesW(wide(folder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return failed();
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return failed(ERROR_DIRECTORY);
    }
    return {};
}

Result<void> folder_takes_files(const std::string&)
{
    return {}; // a folder's read-only attribute does not keep files out; its rights are the write's to meet
}
