#pragma once

// In-process stand-ins for the two platform seams, the serial link and the
// key wait: the dialogue links against them instead of a real port and
// console. Bytes queued with give_reply are read as if they had arrived on
// the line; everything written is recorded.

#include <cstdint>
#include <string>
#include <vector>

struct ScriptedLine {
    std::vector<std::uint8_t> written;   // every byte the program wrote
    std::vector<std::uint8_t> incoming;  // bytes waiting to be read
    std::vector<std::size_t> read_sizes; // count asked for by each read
    bool open = false;
    int opens = 0;
    int closes = 0;
    int key_waits = 0;
    bool open_when_key_waited = false; // the port must be closed first
    bool refuse_open = false;
    std::string last_port_name;
};

ScriptedLine& scripted_line();
void reset_scripted_line();
void give_reply(const std::vector<std::uint8_t>& bytes);
