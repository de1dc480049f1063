#pragma once

// Files by name, the one way each platform passes names to the system:
// names are UTF-8 here and go to the system as it takes them (on Windows as
// UTF-16, never through the ANSI code page). Text is written with the
// platform's line ends. Each gives the reason when it fails (the cause
// only; the caller names the file).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "result.hpp"

// Where the system takes this name for one of its devices rather than a
// file (on Windows, COM3.conf is the serial port COM3): that device, as a
// reason to choose another name; empty for a file. The devices a user may
// mean by name (NUL, CON) are not named here.
std::string device_behind_name(const std::string& name);

// Reads at most `limit` bytes, so a caller can tell a file that is too large.
Result<std::string> read_file(const std::string& name, std::size_t limit);

// What a file holds from `offset` on, at most `limit` bytes: for a record
// read on as it grows. A missing file holds nothing. Waits while another
// program holds the file, unless `give_up` says to stop.
using GiveUp = bool (*)();
Result<std::string> read_file_from(const std::string& name, std::uint64_t offset, std::size_t limit,
                                   GiveUp give_up = nullptr);

// As `> name` would, but never half written: a regular file (or a missing
// one) is replaced by a finished one that keeps the old one's mode and, where
// the user may keep it, its owner; a symlink's target is written and the
// link stays; a device, FIFO or terminal is written into, never replaced.
Result<void> replace_file(const std::string& name, const std::string& text);

// Whether replace_file could make the file there, asked before the work
// whose result it is to hold: the folder it goes into (a symlink's target's)
// is there and takes files, and a file already there may be written.
Result<void> may_replace(const std::string& name);

// Writes a file that must not exist yet; fails with `exists` set if it does.
struct NotCreated {
    bool exists = false;
    std::string reason{};
};
Result<void, NotCreated> create_new_file(const std::string& name, const std::string& text);

Result<void> make_directories(const std::string& name);

// Whether this user may make files in the folder.
Result<void> folder_takes_files(const std::string& name);

// Appends `rows` under a lock that other processes appending to the same
// file honour, writing `header` first when the file is new or empty, and
// synced to the disk before it returns. A last line left without its line
// end (cut by a power cut) gets one first, so it is never glued to the new
// rows. Waits while another program holds the file, unless `give_up` says
// to stop; a wait long enough to notice is told to `waiting` (the line for
// the technician).
using Waiting = void (*)(const std::string& line);
Result<void> append_rows(const std::string& name, const std::string& header, const std::string& rows,
                         Waiting waiting, GiveUp give_up = nullptr);

// An exclusive hold on a file, which other processes holding the same file
// wait for, until `give_up` says to stop; made if missing. Released by
// release_hold.
struct FileHold {
    std::intptr_t handle = -1;
};
Result<FileHold> hold_file(const std::string& name, GiveUp give_up = nullptr);

// The reason a wait given up on gives.
inline constexpr const char* stopped_waiting = "stopped while waiting";
void release_hold(FileHold& hold);

// For a trace: created or emptied, written as it goes.
Result<std::FILE*> open_for_writing(const std::string& name);
