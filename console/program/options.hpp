#pragma once

#include <array>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
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
    std::string com_prefix{};       // empty: the build's own
    std::optional<PortName> port{}; // the dialogue's, or the one to read or write
    std::vector<PortName> ports{};  // every --port, in order: a station's
    std::optional<AddressRange> addresses{};
    std::string input{};             // --write FILE: the file to send ("-" standard input)
    std::string output{};            // --read -o FILE, empty for standard output
    std::string trace{};             // --trace FILE, empty for none
    std::string log{};               // --log DIR, empty for none
    std::vector<std::string> sets{}; // --set NAME=VALUE, as given
    // As given, checked into port, ports and addresses once the mode is known.
    std::vector<std::string> port_names{};
    std::string address_range{};
    std::string error{}; // why the command line was refused
};

// A set of modes, a bit for each.
using Modes = unsigned;

constexpr Modes modes(std::initializer_list<Options::Mode> each)
{
    Modes set = 0;
    for (const Options::Mode mode : each) {
        set |= 1U << static_cast<unsigned>(mode);
    }
    return set;
}

constexpr bool has_mode(Modes set, Options::Mode mode)
{
    return (set & modes({mode})) != 0;
}

// One option of the command line. Two options exclude each other when they
// share no mode; an option that asks for a mode makes it the run's.
struct OptionRow {
    std::string_view name{};                            // "--output"
    std::string_view short_name{};                      // "-o", or empty; refusals name the option by it
    std::string_view value{};                           // what it takes, as --help calls it; empty for none
    Modes modes = 0;                                    // the modes it goes with
    Modes repeatable = 0;                               // the modes in which it may be given again
    std::optional<Options::Mode> asks_for{};            // the mode it makes the run's, if any
    std::string Options::*text = nullptr;               // where its value goes
    std::vector<std::string> Options::*texts = nullptr; // where a repeatable one's values go
    bool opens_no_port = false;                         // its mode has nothing for --trace to record
};

constexpr bool exclude_each_other(const OptionRow& a, const OptionRow& b)
{
    return (a.modes & b.modes) == 0;
}

namespace option_modes {
// Every mode but the refusal, which comes last.
inline constexpr Modes every = (modes({Options::Mode::usage_error}) - 1);
inline constexpr Modes one_controller =
    modes({Options::Mode::dialogue, Options::Mode::read, Options::Mode::write, Options::Mode::station});
inline constexpr Modes writes = modes({Options::Mode::write, Options::Mode::station});
} // namespace option_modes

// In the order refusals look through them, which the completion follows:
// the station and its own, one controller's, the surveys, then the rest.
inline constexpr std::array option_rows{
    OptionRow{
        .name = "--station", .modes = modes({Options::Mode::station}), .asks_for = Options::Mode::station},
    OptionRow{.name = "--addresses",
              .value = "FIRST-LAST",
              .modes = modes({Options::Mode::station}),
              .text = &Options::address_range},
    OptionRow{.name = "--port",
              .value = "COMn",
              .modes = option_modes::one_controller,
              .repeatable = modes({Options::Mode::station}),
              .texts = &Options::port_names},
    OptionRow{.name = "--read", .modes = modes({Options::Mode::read}), .asks_for = Options::Mode::read},
    OptionRow{.name = "--write",
              .value = "FILE",
              .modes = option_modes::writes,
              .asks_for = Options::Mode::write,
              .text = &Options::input},
    OptionRow{.name = "--output",
              .short_name = "-o",
              .value = "FILE",
              .modes = modes({Options::Mode::read}),
              .text = &Options::output},
    OptionRow{.name = "--log",
              .value = "DIR",
              .modes = option_modes::writes | modes({Options::Mode::dialogue}),
              .text = &Options::log},
    OptionRow{.name = "--set",
              .value = "NAME=VALUE",
              .modes = option_modes::writes,
              .repeatable = option_modes::writes,
              .texts = &Options::sets},
    OptionRow{.name = "--list",
              .modes = modes({Options::Mode::list}),
              .asks_for = Options::Mode::list,
              .opens_no_port = true},
    OptionRow{.name = "--find", .modes = modes({Options::Mode::find}), .asks_for = Options::Mode::find},
    OptionRow{.name = "--trace",
              .value = "FILE",
              .modes = option_modes::one_controller | modes({Options::Mode::find}),
              .text = &Options::trace},
    OptionRow{.name = "--com-prefix",
              .value = "PREFIX",
              .modes = option_modes::every,
              .text = &Options::com_prefix},
    // These two answer whatever else is given.
    OptionRow{
        .name = "--help", .short_name = "-h", .modes = option_modes::every, .asks_for = Options::Mode::help},
    OptionRow{.name = "--version", .modes = option_modes::every, .asks_for = Options::Mode::version},
};

// The row of "--output" or "-o"; null for none.
constexpr const OptionRow* option_named(std::string_view name)
{
    for (const OptionRow& row : option_rows) {
        if (row.name == name || (!row.short_name.empty() && row.short_name == name)) {
            return &row;
        }
    }
    return nullptr;
}

// "-o" for --output: the name refusals give.
std::string_view spoken_name(const OptionRow& row);

Options parse_options(int argc, const char* const* argv);

// For --help.
extern const char* const usage_text;

// After a refused command line, below the reason.
extern const char* const usage_hint;
