#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "serial_link.hpp"

// A record of the line for whoever supports the technician: the open, every
// byte sent and received as hex pairs, what a time-out left, the close; each
// line with milliseconds since the start, written as it goes so a run that is
// killed leaves it too. Never anything on screen.
struct Trace {
    std::FILE* file = nullptr;
    std::chrono::steady_clock::time_point start{};
};

// Creates FILE and writes its first line. False with the reason in `error`.
bool open_trace(const std::string& name, const std::string& version, Trace& trace, std::string& error);

// The observer to hand to open_port; does nothing for a trace not open.
// Every line is flushed as it is written; the file closes with the process.
LineObserver trace_observer(Trace& trace);

// "FF 28 59 80": bytes as the trace and messages show them.
std::string hex_pairs(std::span<const std::uint8_t> bytes);

// The time now in UTC, as strftime's `format` writes it: for the trace's
// start and for the write log's names and rows.
std::string utc_now(const char* format);
