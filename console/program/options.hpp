#pragma once

#include <optional>
#include <string>
#include <vector>

#include "commissioning/station.hpp"
#include "serial_link.hpp"

// What the command line asks for. Without options: the dialogue, which
// --port starts on that port. With --port and --read or --write: one
// controller read into, or written from, a configuration file, without the
// dialogue. --station writes controller after controller as they come.
// --list and --find look at the machine's ports.
struct Options {
    enum class Mode { dialogue, help, version, read, write, station, list, find, usage_error };
    Mode mode = Mode::dialogue;
    std::string com_prefix{};      // empty: the build's own
    std::optional<ComPort> port{}; // the dialogue's, or the one to read or write
    std::vector<ComPort> ports{};  // every --port, in order: a station's
    std::optional<AddressRange> addresses{};
    std::string file{};              // write: the file to send ("-" standard input); read: -o FILE
    std::string trace{};             // --trace FILE, empty for none
    std::string log{};               // --log DIR, empty for none
    std::vector<std::string> sets{}; // --set NAME=VALUE, as given
    std::string error{};             // why the command line was refused
};

Options parse_options(int argc, const char* const* argv);

// For --help, and after a refused command line.
extern const char* const usage_text;
