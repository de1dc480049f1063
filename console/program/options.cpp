#include "options.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <string_view>

#include "controller/configuration_file.hpp"
#include "messages/words.hpp"
#include "settings.hpp"

const char* const usage_text =
    "usage: zumel-config [--com-prefix PREFIX] [--port COMn] [--trace FILE] [--log DIR]\n"
    "       zumel-config [--com-prefix PREFIX] --port COMn --read [-o FILE] [--trace FILE]\n"
    "       zumel-config [--com-prefix PREFIX] --port COMn --write FILE [--set NAME=VALUE]...\n"
    "                    [--log DIR] [--trace FILE]\n"
    "       zumel-config [--com-prefix PREFIX] --station --write FILE --log DIR [--addresses FIRST-LAST]\n"
    "                    [--port COMn]... [--set NAME=VALUE]... [--trace FILE]\n"
    "       zumel-config [--com-prefix PREFIX] --list | --find [--trace FILE]\n"
    "       zumel-config --help | --version\n"
    "\n"
    "Without --read or --write it runs the dialogue, which asks for COM1 to COM6.\n"
    "  --station            watch the ports for controllers coming and going, and write\n"
    "                       each new one once with FILE (and the next free address)\n"
    "  --addresses FIRST-LAST  with --station: give each controller its own address\n"
    "  --list               list the serial ports, with what the system knows of each\n"
    "  --find               ask every free port for a controller's identity and say\n"
    "                       which port holds one\n"
    "  --port COMn          the controller's port (COM1 to COM4096), or a device server's\n"
    "                       line: rfc2217://HOST:PORT or socket://HOST:PORT; without --read\n"
    "                       or --write, the dialogue on that port; a station's (repeatable;\n"
    "                       without it, every port --find would ask)\n"
    "  --read               print the controller's configuration as a configuration file\n"
    "  -o, --output FILE    with --read: write it to FILE instead\n"
    "  --write FILE         send the configuration in FILE (- for standard input) to the\n"
    "                       controller, then read it back and compare\n"
    "  --set NAME=VALUE     with --write: this setting instead of the file's (repeatable)\n"
    "  --log DIR            before a write, save what the controller held in DIR as a\n"
    "                       file --write takes back; add a row to DIR/writes.csv after it\n"
    "  --trace FILE         record every byte on the line, with times, in FILE\n"
    "  --com-prefix PREFIX  COMn is the device PREFIX followed by n-1: --com-prefix /dev/ttyUSB\n"
    "                       makes COM1 /dev/ttyUSB0 (not on Windows, which names its ports itself)\n"
    "Exit status: 0 done (and every way the dialogue ends); 1 the port or the controller\n"
    "failed, no controller found, or a file, folder or output could not be read or written;\n"
    "2 bad usage or a refused configuration; 3 a station stopped with addresses left.\n";

const char* const usage_hint = "Try 'zumel-config --help' for more information.";

namespace {

using Mode = Options::Mode;

Options refuse(std::string error)
{
    Options options;
    options.mode = Mode::usage_error;
    options.error = std::move(error);
    return options;
}

// What a mode needs besides the option that asks for it.
struct Need {
    Mode mode;
    std::string_view option;
    std::string_view why; // empty: plain
};

constexpr Need needs[] = {
    {Mode::station, "--write", ""},
    {Mode::station, "--log", "it keeps the batch there"},
    {Mode::read, "--port", ""},
    {Mode::write, "--port", ""},
};

constexpr const OptionRow* row_asking_for(Mode mode)
{
    for (const OptionRow& row : option_rows) {
        if (row.asks_for == mode) {
            return &row;
        }
    }
    return nullptr;
}

constexpr bool needs_are_options()
{
    return row_asking_for(Mode::help) != nullptr && row_asking_for(Mode::version) != nullptr &&
           std::all_of(std::begin(needs), std::end(needs), [](const Need& need) {
               return option_named(need.option) != nullptr && row_asking_for(need.mode) != nullptr;
           });
}
static_assert(needs_are_options(), "help, version and each mode with needs are asked for by an option, "
                                   "and what a mode needs is an option of the table");

std::string unknown_option(std::string_view argument)
{
    std::vector<std::string_view> names;
    for (const OptionRow& row : option_rows) {
        names.push_back(row.name);
        if (!row.short_name.empty()) {
            names.push_back(row.short_name);
        }
    }
    const std::string_view meant = meant_name(argument, names);
    return "unknown option " + std::string(argument) +
           (meant.empty() ? "" : "; did you mean " + std::string(meant) + "?");
}

// "--set goes with --write only": the options that ask for the modes `row`
// goes with, leaving out one whose mode needs another of them as well
// (--station needs --write).
std::string goes_with(const OptionRow& row)
{
    std::vector<std::string_view> askers;
    for (const OptionRow& asker : option_rows) {
        if (!asker.asks_for || !has_mode(row.modes, *asker.asks_for)) {
            continue;
        }
        const bool needs_another = std::any_of(std::begin(needs), std::end(needs), [&](const Need& need) {
            const OptionRow* other = option_named(need.option);
            return need.mode == asker.asks_for && other->asks_for && has_mode(row.modes, *other->asks_for);
        });
        if (!needs_another) {
            askers.push_back(spoken_name(asker));
        }
    }
    if (has_mode(row.modes, Mode::dialogue)) {
        askers.push_back("the dialogue"); // the mode no option asks for
    }
    std::string text = std::string(spoken_name(row)) + " goes with ";
    for (std::size_t i = 0; i < askers.size(); ++i) {
        text.append(i == 0 ? "" : i + 1 == askers.size() ? " or " : ", ").append(askers[i]);
    }
    return text + (askers.size() == 1 ? " only" : "");
}

// "2-29": within the address's range, and not backwards.
bool parse_address_range(std::string_view text, std::optional<AddressRange>& range)
{
    const std::size_t dash = text.find('-');
    unsigned bounds[2] = {0, 0};
    const std::string_view parts[2] = {text.substr(0, dash), dash == text.npos ? "" : text.substr(dash + 1)};
    for (int i = 0; i < 2; ++i) {
        const auto [end, error] =
            std::from_chars(parts[i].data(), parts[i].data() + parts[i].size(), bounds[i]);
        if (error != std::errc{} || end != parts[i].data() + parts[i].size()) {
            return false;
        }
    }
    if (bounds[0] < address_setting.lowest || bounds[1] > address_setting.highest || bounds[0] > bounds[1]) {
        return false;
    }
    range = AddressRange{bounds[0], bounds[1]};
    return true;
}

using Given = std::array<bool, option_rows.size()>;

// The faults a command line may have, each found by looking at the modes.
enum class Fault {
    askers_exclude, // two options that ask for modes sharing none: --list and --find
    excludes,       // an option asking for a mode, and one outside it: --station and --read
    needs,          // a mode without what it needs: --station needs --write FILE
    foreign,        // an option outside the mode asked for: -o goes with --read only
    again,          // given again where it may not be: --port given twice
};

struct Check {
    Fault fault;
    Modes modes; // of the options asking (excludes, needs); within which an option's modes
                 // (foreign) or repeating modes (again) lie
};

// A line with several faults is refused for the first found in this order:
// the station's, one controller's, the surveys', then each option's own.
constexpr Check checks[] = {
    {Fault::askers_exclude, modes({Mode::list, Mode::find})},
    {Fault::excludes, modes({Mode::station})},
    {Fault::needs, modes({Mode::station})},
    {Fault::foreign, modes({Mode::station})},
    {Fault::again, modes({Mode::station})},
    {Fault::askers_exclude, modes({Mode::read, Mode::write})},
    {Fault::excludes, modes({Mode::list, Mode::find})},
    {Fault::foreign, option_modes::every},
    {Fault::needs, modes({Mode::read, Mode::write})},
    {Fault::again, option_modes::every},
};

bool asks_within(const OptionRow& row, Modes set)
{
    return row.asks_for && has_mode(set, *row.asks_for);
}

bool within(Modes some, Modes set)
{
    return some != 0 && (some & ~set) == 0;
}

// The first fault of `check`'s kind in the options given; empty for none.
std::string fault(const Check& check, const Options& options, const Given& given)
{
    const auto is_given = [&given](const OptionRow& row) { return given[&row - option_rows.data()]; };
    switch (check.fault) {
    case Fault::askers_exclude:
    case Fault::excludes:
        for (const OptionRow& asker : option_rows) {
            if (!is_given(asker) || !asks_within(asker, check.modes)) {
                continue;
            }
            for (const OptionRow& other : option_rows) {
                if (!is_given(other) || !exclude_each_other(asker, other) ||
                    (check.fault == Fault::askers_exclude && !asks_within(other, check.modes))) {
                    continue;
                }
                return asker.opens_no_port && other.text == &Options::trace
                           ? std::string(spoken_name(asker)) + " opens no port: there is nothing to trace"
                           : std::string(spoken_name(asker)) + " and " + std::string(spoken_name(other)) +
                                 " exclude each other";
            }
        }
        return "";
    case Fault::needs:
        for (const Need& need : needs) {
            if (need.mode == options.mode && has_mode(check.modes, need.mode) &&
                !is_given(*option_named(need.option))) {
                return std::string(spoken_name(*row_asking_for(need.mode))) + " needs " +
                       std::string(need.option) + " " + std::string(option_named(need.option)->value) +
                       (need.why.empty() ? "" : ": " + std::string(need.why));
            }
        }
        return "";
    case Fault::foreign:
        // The narrowest first: -o before --set before --log.
        for (int width = 1; width <= std::popcount(option_modes::every); ++width) {
            for (const OptionRow& row : option_rows) {
                if (is_given(row) && std::popcount(row.modes) == width && within(row.modes, check.modes) &&
                    !has_mode(row.modes, options.mode)) {
                    return goes_with(row);
                }
            }
        }
        return "";
    case Fault::again:
        for (const OptionRow& row : option_rows) {
            if (row.texts != nullptr && (options.*row.texts).size() > 1 &&
                within(row.repeatable, check.modes) && !has_mode(row.repeatable, options.mode)) {
                return std::string(spoken_name(row)) + " given twice";
            }
        }
        return "";
    }
    return "";
}

// The mode the options given ask for, or why they cannot go together.
Options with_mode(Options options, const Given& given)
{
    for (const Mode answer : {Mode::help, Mode::version}) {
        if (given[row_asking_for(answer) - option_rows.data()]) {
            options.mode = answer;
            return options;
        }
    }
    // The first given that asks for one: the station's before the --write it needs.
    for (std::size_t i = 0; i < option_rows.size(); ++i) {
        if (given[i] && option_rows[i].asks_for) {
            options.mode = *option_rows[i].asks_for;
            break;
        }
    }
    for (const Check& check : checks) {
        if (std::string found = fault(check, options, given); !found.empty()) {
            return refuse(std::move(found));
        }
    }
    return options;
}

} // namespace

std::string_view spoken_name(const OptionRow& row)
{
    return row.short_name.empty() ? row.name : row.short_name;
}

Options parse_options(int argc, const char* const* argv)
{
    Options options;
    Given given{};
    std::array<unsigned, option_rows.size()> spelled{}; // 1 by its name, 2 by its short name
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        std::string_view value;
        bool has_value = false;
        // --name=value as well as --name value
        if (const std::size_t equals = argument.find('=');
            argument.starts_with("--") && equals != argument.npos) {
            value = argument.substr(equals + 1);
            argument = argument.substr(0, equals);
            has_value = true;
        }
        const OptionRow* row = option_named(argument);
        if (row == nullptr) {
            return refuse(argument.starts_with("-") ? unknown_option(argument)
                                                    : "unexpected argument " + std::string(argument));
        }
        const bool takes_value = !row->value.empty();
        if (takes_value && !has_value) {
            if (i + 1 >= argc) {
                return refuse(std::string(argument) + " needs a value");
            }
            value = argv[++i];
        } else if (!takes_value && has_value) {
            return refuse(std::string(argument) + " takes no value");
        }
        if (takes_value && value.empty()) {
            return refuse(std::string(argument) + " needs a value");
        }
        // An option with a value is one by either name (-o a --output b gives
        // two outputs); a flag is given twice by the same name (-h --help asks once).
        const std::size_t at = row - option_rows.data();
        const unsigned name = argument == row->name ? 1U : 2U;
        if ((spelled[at] & (takes_value ? 3U : name)) != 0 && row->repeatable == 0) {
            return refuse(std::string(takes_value ? spoken_name(*row) : argument) + " given twice");
        }
        spelled[at] |= name;
        given[at] = true;
        if (row->text != nullptr) {
            options.*row->text = value;
        } else if (row->texts != nullptr) {
            (options.*row->texts).emplace_back(value);
        }
    }
    options = with_mode(std::move(options), given);
    if (options.mode == Mode::usage_error || options.mode == Mode::help || options.mode == Mode::version) {
        return options;
    }
    for (const std::string& name : options.port_names) {
        const ParsedPortName parsed = parse_port_name(name);
        if (!parsed.name) {
            return refuse(
                name + " is not a port name: " +
                (looks_like_url(name) ? port_name_problem_text(parsed.problem) : "COM1 to COM4096"));
        }
        if (std::find(options.ports.begin(), options.ports.end(), *parsed.name) != options.ports.end()) {
            return refuse(name + " given twice");
        }
        options.ports.push_back(*parsed.name);
    }
    if (!options.ports.empty()) {
        options.port = options.ports.front();
    }
    const bool addresses = !options.address_range.empty();
    for (const std::string& set : options.sets) {
        if (addresses && override_name(set) == address_setting.name) {
            return refuse("--addresses and --set " + set +
                          " exclude each other: the station gives the addresses");
        }
    }
    if (addresses && !parse_address_range(options.address_range, options.addresses)) {
        return refuse("--addresses " + options.address_range + ": expected FIRST-LAST within " +
                      std::to_string(address_setting.lowest) + "-" + std::to_string(address_setting.highest) +
                      ", FIRST not above LAST");
    }
    return options;
}
