#pragma once

// What the line's parts share: the pty device, set up and torn down here,
// and the state its thread works on.

#include "pty_line.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace emulator {

using Clock = std::chrono::steady_clock;

struct PtyLine {
    std::filesystem::path link{};
    std::string slave_path{};
    int master = -1;
    int held_slave = -1;
    int session_watch = -1; // inotify on the slave: tells when clients open and close it
    int wake_read = -1;
    int wake_write = -1;
    Clock::time_point epoch{};
    LogSink log{};
    LineMode mode = LineMode::paced;
    std::thread thread{};

    mutable std::mutex mutex{};
    mutable std::condition_variable changed{};
    Line model{};        // guarded by mutex
    bool closed = false; // guarded by mutex
};

void close_fd(int& fd);
std::string errno_text(const char* what);
void log(const PtyLine& line, const std::string& text);

// Writes as much as the master takes. False when it failed.
bool write_out(PtyLine& line, std::vector<std::uint8_t>& unwritten);

// The set-up steps, in this order. Each returns false with `error` set; what
// was opened stays for stop to close.
bool open_pty(PtyLine& line, std::string& error);
bool put_waiting(PtyLine& line, const std::vector<std::uint8_t>& bytes, std::string& error);
bool make_link(const PtyLine& line, std::string& error);

void remove_link(const PtyLine& line);

} // namespace emulator
