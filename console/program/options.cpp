#include "options.hpp"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "commissioning/configuration_file.hpp"
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
    "  --port COMn          the controller's port (COM1 to COM4096); without --read or\n"
    "                       --write, the dialogue on that port; a station's (repeatable;\n"
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
    "2 bad usage or a refused configuration.\n";

namespace {

Options refuse(std::string error)
{
    Options options;
    options.mode = Options::Mode::usage_error;
    options.error = std::move(error);
    return options;
}

constexpr std::string_view valued[] = {"--com-prefix", "--port", "--write", "-o",         "--output",
                                       "--trace",      "--log",  "--set",   "--addresses"};
constexpr std::string_view flags[] = {"--help", "-h", "--version", "--read", "--list", "--find", "--station"};

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
    const SettingField& address = setting_fields.front();
    if (bounds[0] < address.lowest || bounds[1] > address.highest || bounds[0] > bounds[1]) {
        return false;
    }
    range = AddressRange{bounds[0], bounds[1]};
    return true;
}

bool one_of(std::string_view argument, const auto& names)
{
    return std::find(std::begin(names), std::end(names), argument) != std::end(names);
}

} // namespace

Options parse_options(int argc, const char* const* argv)
{
    Options options;
    std::string write_file, output_file, addresses;
    std::vector<std::string> ports;
    std::vector<std::string_view> given; // each option given; --set and --port may come again
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
        const bool takes_value = one_of(argument, valued);
        if (!takes_value && !one_of(argument, flags)) {
            return refuse((argument.starts_with("-") ? "unknown option " : "unexpected argument ") +
                          std::string(argument));
        }
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
        if (argument == "--output") {
            argument = "-o";
        }
        const bool repeatable = argument == "--set" || argument == "--port";
        if (one_of(argument, given) && !repeatable) {
            return refuse(std::string(argument) + " given twice");
        }
        if (!one_of(argument, given)) {
            given.push_back(argument);
        }
        if (repeatable) {
            (argument == "--set" ? options.sets : ports).emplace_back(value);
            continue;
        }
        std::string* field = argument == "--com-prefix"  ? &options.com_prefix
                             : argument == "--addresses" ? &addresses
                             : argument == "--write"     ? &write_file
                             : argument == "-o"          ? &output_file
                             : argument == "--trace"     ? &options.trace
                             : argument == "--log"       ? &options.log
                                                         : nullptr;
        if (field != nullptr) {
            *field = value;
        }
    }
    auto has = [&given](std::string_view name) { return one_of(name, given); };
    if (has("--help") || has("-h") || has("--version")) {
        options.mode =
            has("--version") && !has("--help") && !has("-h") ? Options::Mode::version : Options::Mode::help;
        return options;
    }
    const bool read = has("--read"), station = has("--station"), write = has("--write") && !station;
    if (has("--list") && has("--find")) {
        return refuse("--list and --find exclude each other");
    }
    for (const char* other : {"--read", "-o", "--list", "--find"}) {
        if (station && has(other)) {
            return refuse(std::string("--station and ") + other + " exclude each other");
        }
    }
    if (station && !has("--write")) {
        return refuse("--station needs --write FILE");
    }
    if (station && !has("--log")) {
        return refuse("--station needs --log DIR: it keeps the batch there");
    }
    if (has("--addresses") && !station) {
        return refuse("--addresses goes with --station only");
    }
    if (ports.size() > 1 && !station) {
        return refuse("--port given twice");
    }
    if (read && write) {
        return refuse("--read and --write exclude each other");
    }
    const char* survey = has("--list") ? "--list" : has("--find") ? "--find" : nullptr;
    for (const char* other : {"--port", "--read", "--write", "-o", "--log", "--set"}) {
        if (survey != nullptr && has(other)) {
            return refuse(std::string(survey) + " and " + other + " exclude each other");
        }
    }
    if (has("--list") && has("--trace")) {
        return refuse("--list opens no port: there is nothing to trace");
    }
    if (has("-o") && !read) {
        return refuse("-o goes with --read only");
    }
    if (has("--set") && !write && !station) {
        return refuse("--set goes with --write only");
    }
    if (has("--log") && read) {
        return refuse("--log goes with --write or the dialogue");
    }
    if ((read || write) && ports.empty()) {
        return refuse(std::string(read ? "--read" : "--write") + " needs --port COMn");
    }
    for (const std::string& name : ports) {
        const std::optional<ComPort> port = parse_com_port(name);
        if (!port) {
            return refuse(name + " is not a port name: COM1 to COM4096");
        }
        if (std::find(options.ports.begin(), options.ports.end(), *port) != options.ports.end()) {
            return refuse(name + " given twice");
        }
        options.ports.push_back(*port);
    }
    if (!ports.empty()) {
        options.port = options.ports.front();
    }
    for (const std::string& set : options.sets) {
        if (has("--addresses") && override_name(set) == setting_fields.front().name) {
            return refuse("--addresses and --set " + set +
                          " exclude each other: the station gives the addresses");
        }
    }
    if (has("--addresses") && !parse_address_range(addresses, options.addresses)) {
        const SettingField& address = setting_fields.front();
        return refuse("--addresses " + addresses + ": expected FIRST-LAST within " +
                      std::to_string(address.lowest) + "-" + std::to_string(address.highest) +
                      ", FIRST not above LAST");
    }
    options.file = read ? output_file : write_file;
    options.mode = read      ? Options::Mode::read
                   : write   ? Options::Mode::write
                   : station ? Options::Mode::station
                   : survey  ? (has("--list") ? Options::Mode::list : Options::Mode::find)
                             : Options::Mode::dialogue;
    return options;
}
