#pragma once

// A serial line in-process, in place of the platform's: whatever the program
// writes is kept, and reads take what the test put on the line. Link
// zumel_stub_line instead of the real link to drive the program's rooms
// without a process or a pseudo-terminal.

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "kit.hpp"
#include "serial_link.hpp"

namespace stub {

struct Line {
    kit::Bytes written{};                         // every byte the program wrote
    kit::Bytes incoming{};                        // arrived and not yet read
    std::deque<kit::Bytes> replies{};             // each arrives once the program next writes
    std::vector<std::size_t> reads{};             // the count each read asked for (discards included)
    std::vector<unsigned> timeouts{};             // and its time-out
    TransferEnd dry_end = TransferEnd::timed_out; // how a read that runs dry ends
    int dry_error = 0;
    TransferEnd write_end = TransferEnd::complete; // a write that does not end so sends nothing
    bool refuse_open = false;
    bool open = false;
    int opens = 0;
    int closes = 0;
    std::string last_port_name{};
    std::vector<PortInfo> ports{}; // what list_ports gives
};

// The one line, fresh for each test.
extern Line line;
void reset(Line fresh = {});

} // namespace stub
