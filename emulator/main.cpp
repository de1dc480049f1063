// zumel-emulator: the controller on a pseudo-terminal, for running the
// configurator without hardware.

#include "pty_line.hpp"

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pthread.h>
#include <unistd.h>

namespace {

constexpr const char* usage = "usage: zumel-emulator LINK_PATH [--type TEXT8] [--firmware HIGH.LOW] "
                              "[--config HEX12] [--waiting HEX] [--visits N:STAYS:ABSENT,...] [--wire-speed] "
                              "[--log]\n";

// Protocol data bytes carry seven bits.
std::optional<std::uint8_t> parse_data_byte(std::string_view text, int base)
{
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty() || value > 0x7F) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(value);
}

bool parse_type(std::string_view text, emulator::ControllerSetup& setup)
{
    if (text.size() != setup.type.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] < 0x20 || text[i] > 0x7E) {
            return false;
        }
        setup.type[i] = text[i];
    }
    return true;
}

bool parse_firmware(std::string_view text, emulator::ControllerSetup& setup)
{
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos) {
        return false;
    }
    const auto high = parse_data_byte(text.substr(0, dot), 10);
    const auto low = parse_data_byte(text.substr(dot + 1), 10);
    if (!high || !low) {
        return false;
    }
    setup.firmware_high = *high;
    setup.firmware_low = *low;
    return true;
}

bool parse_configuration(std::string_view text, emulator::ControllerSetup& setup)
{
    if (text.size() != 2 * setup.configuration.size()) {
        return false;
    }
    for (std::size_t i = 0; i < setup.configuration.size(); ++i) {
        const auto byte = parse_data_byte(text.substr(2 * i, 2), 16);
        if (!byte) {
            return false;
        }
        setup.configuration[i] = *byte;
    }
    return true;
}

// Any bytes: what a controller sends at power-up need not be a frame.
bool parse_waiting(std::string_view text, emulator::ControllerSetup& setup)
{
    if (text.empty() || text.size() % 2 != 0) {
        return false;
    }
    setup.waiting.clear();
    for (const char* pair = text.data(); pair != text.data() + text.size(); pair += 2) {
        unsigned value = 0;
        const auto [end, error] = std::from_chars(pair, pair + 2, value, 16);
        if (error != std::errc{} || end != pair + 2) {
            return false;
        }
        setup.waiting.push_back(static_cast<std::uint8_t>(value));
    }
    return true;
}

std::optional<std::size_t> parse_count(std::string_view text)
{
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// "1:6:2,2:6:2,1:0:0": controller 1 for six requests, two unanswered, then
// controller 2 likewise, then controller 1 again to the end. Controllers
// are numbered from 1 for people; the script counts from 0. Each number up
// to the highest is a controller, so a slip of the finger must not ask for
// millions.
bool parse_visits(std::string_view text, std::vector<emulator::Visit>& visits)
{
    visits.clear();
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string_view visit = text.substr(start, comma - start);
        const std::size_t colon = visit.find(':');
        const std::size_t second = visit.find(':', colon + 1);
        if (second == std::string_view::npos) {
            return false;
        }
        const auto number = parse_count(visit.substr(0, colon));
        const auto stays = parse_count(visit.substr(colon + 1, second - colon - 1));
        const auto absent = parse_count(visit.substr(second + 1));
        if (!number || *number == 0 || *number > 99 || !stays || !absent) {
            return false;
        }
        visits.push_back({.controller = *number - 1, .stays = *stays, .absent = *absent});
        start = comma + 1;
    }
    return true;
}

struct Options {
    std::string link;
    emulator::ControllerSetup setup;
    std::vector<emulator::Visit> visits;
    bool log = false;
};

// An option with a value, what the value must be (as --help says it) and
// how it is read.
struct ValueOption {
    std::string_view name;
    std::string_view expected;
    bool (*parse)(std::string_view text, Options& options);
};

constexpr ValueOption value_options[] = {
    {"--type", "eight printable characters",
     [](std::string_view text, Options& options) { return parse_type(text, options.setup); }},
    {"--firmware", "version as HIGH.LOW, each 0..127",
     [](std::string_view text, Options& options) { return parse_firmware(text, options.setup); }},
    {"--config", "six configuration bytes as 12 hex digits, each byte 00..7F",
     [](std::string_view text, Options& options) { return parse_configuration(text, options.setup); }},
    {"--waiting", "bytes as hex pairs",
     [](std::string_view text, Options& options) { return parse_waiting(text, options.setup); }},
    {"--visits", "N:STAYS:ABSENT,... with N 1..99",
     [](std::string_view text, Options& options) { return parse_visits(text, options.visits); }},
};

// The options, or none with `error` naming the argument refused and why.
std::optional<Options> parse_options(int argc, char** argv, std::string& error)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const auto option =
            std::find_if(std::begin(value_options), std::end(value_options),
                         [argument](const ValueOption& known) { return known.name == argument; });
        if (argument == "--wire-speed") {
            options.setup.byte_time_us = emulator::byte_time_9600_8o1_us;
        } else if (argument == "--log") {
            options.log = true;
        } else if (option != std::end(value_options)) {
            if (i + 1 == argc) {
                error = std::string(argument) + " needs a value: " + std::string(option->expected);
                return std::nullopt;
            }
            const std::string_view value = argv[++i];
            if (!option->parse(value, options)) {
                error = std::string(argument) + " " + std::string(value) + ": expected " +
                        std::string(option->expected);
                return std::nullopt;
            }
        } else if (argument.starts_with("-")) {
            error = "unknown option " + std::string(argument);
            return std::nullopt;
        } else if (!options.link.empty()) {
            error = "a second LINK_PATH " + std::string(argument) + ": one emulator makes one port";
            return std::nullopt;
        } else {
            options.link = argument;
        }
    }
    if (options.link.empty()) {
        error = "no LINK_PATH: the port's path to make";
        return std::nullopt;
    }
    return options;
}

} // namespace

int main(int argc, char** argv)
{
    const bool help = std::any_of(argv + 1, argv + argc, [](const char* argument) {
        return std::string_view(argument) == "--help" || std::string_view(argument) == "-h";
    });
    if (help) {
        std::fputs(usage, stdout);
        std::fputs("  --type      eight printable characters\n"
                   "  --firmware  version as HIGH.LOW, each 0..127\n"
                   "  --config    six configuration bytes as 12 hex digits, each byte 00..7F\n"
                   "  --waiting   bytes already in the port when it is first opened, as hex pairs\n"
                   "  --visits    controllers that come and go, set up alike: controller N (1..99) is\n"
                   "              connected for STAYS requests (0: to the end), then nobody\n"
                   "              answers for ABSENT requests; a returning one keeps its settings\n"
                   "  --wire-speed  take as long as 9600 Bd would\n"
                   "  --log       print requests and replies\n"
                   "A link ending in 0 is COM1 for zumel-config --com-prefix LINK_PATH-without-the-0.\n"
                   "While it runs, kill -USR1 PID disconnects its controller (nobody answers, as if\n"
                   "unplugged) and kill -USR2 PID connects it again, as it was; it prints its PID.\n",
                   stdout);
        return 0;
    }
    std::string error;
    const std::optional<Options> options = parse_options(argc, argv, error);
    if (!options) {
        std::fprintf(stderr, "zumel-emulator: %s\n%szumel-emulator --help tells more.\n", error.c_str(),
                     usage);
        return 2;
    }

    // Blocked before the line's thread starts, so only sigwait sees them.
    sigset_t signals;
    sigemptyset(&signals);
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) {
        sigaddset(&signals, number);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    emulator::LogSink log;
    if (options->log) {
        log = [](const std::string& line) { std::fprintf(stderr, "zumel-emulator: %s\n", line.c_str()); };
    }

    // Each number up to the highest a controller of its own.
    std::size_t controllers = 1;
    for (const emulator::Visit& visit : options->visits) {
        controllers = std::max(controllers, visit.controller + 1);
    }
    emulator::PtyLineHandle line = emulator::start_pty_line(
        options->link, std::vector(controllers, options->setup), options->visits, error, log);
    if (!line) {
        std::fprintf(stderr, "zumel-emulator: %s\n", error.c_str());
        return 1;
    }
    const long pid = static_cast<long>(getpid());
    std::fprintf(stderr,
                 "zumel-emulator: port %s -> %s\n"
                 "zumel-emulator: kill -USR1 %ld disconnects the controller, kill -USR2 %ld connects it\n",
                 options->link.c_str(), emulator::slave_path(*line).c_str(), pid, pid);

    for (int signal = 0; sigwait(&signals, &signal) == 0;) {
        if (signal != SIGUSR1 && signal != SIGUSR2) {
            break;
        }
        emulator::connect(*line, signal == SIGUSR2);
        // Said with or without --log: the shell that asked sees it done.
        std::fprintf(stderr, "zumel-emulator: controller %s\n",
                     signal == SIGUSR2 ? "connected" : "disconnected");
    }
    line.reset();
    return 0;
}
