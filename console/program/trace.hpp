#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "serial_link.hpp"
#include "system/result.hpp"

// A record of the line for whoever supports the technician: the open, every
// byte sent and received as hex pairs, how each read and write ended, the
// close; each line with milliseconds since the start, written as it goes so
// a run that is killed leaves it too. Never anything on screen.
struct Trace {
    std::FILE* file = nullptr;
    std::chrono::steady_clock::time_point start{};
};

// Creates FILE and writes its first line; the reason when it cannot.
Result<Trace> open_trace(const std::string& name, const std::string& version);

// The observer to hand to open_port; does nothing for a trace not open.
// Every line is flushed as it is written; the file closes with the process.
LineObserver trace_observer(Trace& trace);

// One event as its trace line says it, without the time.
std::string trace_line(const SerialPort& link, const LineEvent& event);
