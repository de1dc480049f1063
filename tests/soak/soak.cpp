// zumel_soak: many randomised sessions of the real configurator against the
// emulated controller, several at a time, each on a COM port and emulator of
// its own. The keys are hostile (answers out of range, letters, binary bytes,
// NUL, huge lines, input that ends early), the line has faults, and some
// sessions have a terminal as their console that gets a key when the program
// waits for one. Prints one line of figures; exits non-zero when a session
// hung, crashed, exited non-zero, left its terminal raw, or sent the
// controller anything the keys did not ask for.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "emulator/pty_line.hpp"
#include "tests/fuzz/dialogue_model.hpp"
#include "tests/support/console_pty.hpp"
#include "tests/support/process.hpp"

namespace {

using Rng = std::mt19937_64;
using Clock = std::chrono::steady_clock;

struct Options {
    std::size_t sessions = 2000;
    unsigned jobs = 4;
    std::uint64_t seed = 0;
    bool seed_given = false;
    std::optional<std::size_t> only; // run just this session, and tell all about it
    double terminal_share = 0.1;
    std::string configurator = CONFIGURATOR_EXE;
    std::string com_prefix = COM_DEVICE_PREFIX;
    std::string program = "zumel_soak";
};

// Ports above the last job's lead nowhere: choosing one fails to open.
constexpr unsigned most_jobs = 4;

unsigned below(Rng& rng, unsigned n)
{
    return static_cast<unsigned>(std::uniform_int_distribution<unsigned>(0, n - 1)(rng));
}

bool chance(Rng& rng, double p)
{
    return std::bernoulli_distribution(p)(rng);
}

template <typename T, std::size_t N> const T& pick(Rng& rng, const T (&items)[N])
{
    return items[below(rng, N)];
}

// Bytes the line and the keyboard should survive: flow-control characters,
// frame markers, escape, NUL and the rest.
std::string noise_bytes(Rng& rng, std::size_t length)
{
    static constexpr unsigned char favourites[] = {0x11, 0x13, 0xFF, 0x80, 0x1B, 0x00, 0x7F, 0x0D};
    std::string bytes;
    for (std::size_t i = 0; i < length; ++i) {
        bytes += static_cast<char>(chance(rng, 0.3) ? pick(rng, favourites) : below(rng, 256));
    }
    return bytes;
}

std::string line_end(Rng& rng)
{
    static constexpr const char* ends[] = {"\n", "\n", "\n", "\n", " ", "\r\n", "\t\n", " \n"};
    return pick(rng, ends);
}

// The same value written in ways that all read as it.
std::string spelled(Rng& rng, std::uint32_t value)
{
    switch (below(rng, 8)) {
    case 0:
        return "00" + std::to_string(value);
    case 1:
        return "+" + std::to_string(value);
    case 2:
        return std::to_string(std::uint64_t{value} + (std::uint64_t{1} << 32)); // wraps back
    case 3:
        return value == 0 ? "-0" : "-" + std::to_string((std::uint64_t{1} << 32) - value);
    default:
        return std::to_string(value);
    }
}

// Something that is not an answer: letters, bytes, a huge line.
std::string junk(Rng& rng)
{
    switch (below(rng, 9)) {
    case 0:
        return "abc";
    case 1:
        return std::string(1, '\0') + "5";
    case 2:
        return "- 3";
    case 3:
        return "+";
    case 4:
        return noise_bytes(rng, 1 + below(rng, 24));
    case 5:
        return std::string(10'000 + below(rng, 150'000), 'x');
    case 6:
        return std::string(5'000 + below(rng, 50'000), '9'); // a number, wrapped
    case 7:
        return "1 2 3 2 1";
    default:
        return "x" + std::to_string(below(rng, 100));
    }
}

std::string wrong_answer(Rng& rng, const model::Range& range)
{
    switch (below(rng, 4)) {
    case 0:
        return spelled(rng, range.highest + 1 + below(rng, 300));
    case 1:
        return range.lowest > 0 ? "0" : "-1";
    case 2:
        return std::to_string(rng() & 0xFFFFFFFFu);
    default:
        return junk(rng);
    }
}

// Returns false when the input ends inside the form.
bool type_form(Rng& rng, std::string& keys)
{
    for (const model::Range& range : model::answer_ranges) {
        const unsigned wrong = chance(rng, 0.6) ? 0 : 1 + below(rng, 3);
        for (unsigned i = 0; i < wrong; ++i) {
            keys += wrong_answer(rng, range) + "\n";
        }
        if (chance(rng, 0.03)) {
            return false;
        }
        keys += spelled(rng, range.lowest + below(rng, range.highest - range.lowest + 1)) + line_end(rng);
    }
    return true;
}

std::string keyboard(Rng& rng, unsigned own_port, unsigned jobs)
{
    std::string keys;
    if (chance(rng, 0.8)) {
        keys += spelled(rng, own_port) + line_end(rng);
    } else {
        const std::string other_ports[] = {std::to_string(jobs + 1 + below(rng, 6 - jobs)), "0", "7", "-1",
                                           ""};
        keys += (chance(rng, 0.5) ? pick(rng, other_ports) : junk(rng)) + line_end(rng);
    }
    const unsigned actions = below(rng, 7);
    for (unsigned i = 0; i < actions; ++i) {
        const unsigned what = below(rng, 100);
        if (what < 35) {
            keys += spelled(rng, 1) + line_end(rng);
        } else if (what < 75) {
            keys += spelled(rng, 2) + line_end(rng);
            if (!type_form(rng, keys)) {
                return keys;
            }
        } else if (what < 85) {
            keys += "3\n";
        } else if (what < 92) {
            keys += junk(rng) + "\n";
        } else {
            return keys; // the input ends at the menu
        }
    }
    if (chance(rng, 0.1)) {
        keys += noise_bytes(rng, below(rng, 64));
    }
    return keys;
}

emulator::Fault fault(Rng& rng, std::size_t requests)
{
    using emulator::FaultKind;
    static constexpr FaultKind kinds[] = {FaultKind::silent,
                                          FaultKind::short_reply,
                                          FaultKind::short_reply,
                                          FaultKind::extra_bytes,
                                          FaultKind::extra_bytes,
                                          FaultKind::extra_bytes,
                                          FaultKind::replace_reply,
                                          FaultKind::replace_reply,
                                          FaultKind::replace_reply,
                                          FaultKind::pieces,
                                          FaultKind::pieces,
                                          FaultKind::pieces,
                                          FaultKind::delay,
                                          FaultKind::delay,
                                          FaultKind::hang_up,
                                          FaultKind::hang_up_after_reply,
                                          FaultKind::hang_up_after_reply};
    emulator::Fault f{.kind = pick(rng, kinds)};
    f.request = below(rng, static_cast<unsigned>(std::max<std::size_t>(requests, 1)));
    f.always = chance(rng, 0.08);
    switch (f.kind) {
    case FaultKind::short_reply:
        f.count = 1 + below(rng, 52);
        break;
    case FaultKind::extra_bytes:
        for (char c : noise_bytes(rng, 1 + below(rng, 40))) {
            f.bytes.push_back(static_cast<std::uint8_t>(c));
        }
        break;
    case FaultKind::replace_reply: {
        // Often just as long as a reply, so the program goes on with garbage.
        static constexpr std::size_t lengths[] = {12, 8, 52, 4};
        const std::size_t length = chance(rng, 0.5) ? pick(rng, lengths) : below(rng, 61);
        for (char c : noise_bytes(rng, length)) {
            f.bytes.push_back(static_cast<std::uint8_t>(c));
        }
        break;
    }
    case FaultKind::pieces:
        f.count = 1 + below(rng, 16);
        f.delay_ms = below(rng, 80);
        f.first_delay_ms = below(rng, 150);
        break;
    case FaultKind::delay:
        f.delay_ms = chance(rng, 0.7) ? below(rng, 300) : 700 + below(rng, 600);
        break;
    case FaultKind::hang_up_after_reply:
        f.delay_ms = below(rng, 200);
        break;
    default:
        break;
    }
    return f;
}

struct Session {
    std::size_t number = 0;
    unsigned com = 1;
    std::string keys;
    emulator::ControllerSetup controller;
    model::Expectation expected; // when every reply comes
    bool on_terminal = false;
    std::string key; // pressed when it waits on its terminal
    std::chrono::milliseconds time_limit{0};
};

Session make_session(const Options& options, std::size_t number)
{
    std::seed_seq seeds{static_cast<std::uint32_t>(options.seed),
                        static_cast<std::uint32_t>(options.seed >> 32), static_cast<std::uint32_t>(number)};
    Rng rng(seeds);
    Session s;
    s.number = number;
    s.com = static_cast<unsigned>(number % options.jobs) + 1;
    // Another job's port is not this session's to open.
    auto conflicts = [&] {
        return s.expected.port && *s.expected.port != s.com && *s.expected.port <= options.jobs;
    };
    for (int attempt = 0; attempt == 0 || conflicts(); ++attempt) {
        s.keys = attempt < 100 ? keyboard(rng, s.com, options.jobs) : std::to_string(s.com) + "\n";
        s.expected = model::expect(
            s.keys, [&](unsigned port) { return port == s.com; }, [](model::Request) { return true; });
    }
    const std::size_t requests = s.expected.requests.size();
    const unsigned faults = chance(rng, 0.45) ? 0 : chance(rng, 0.75) ? 1 : 2;
    for (unsigned i = 0; i < faults; ++i) {
        s.controller.faults.push_back(fault(rng, requests));
    }
    s.on_terminal = chance(rng, options.terminal_share);
    static constexpr const char* presses[] = {"x", "\r", "\x03", "\x1b[C", "\x1b[15~", "\x1b", "\xc4\x8d"};
    s.key = pick(rng, presses);
    // Each request may take its whole read time-out, a little over a second.
    s.time_limit = std::chrono::milliseconds(5'000 + 1'600 * (requests + 1));
    return s;
}

struct Verdict {
    bool hung = false;
    bool crashed = false;
    bool nonzero_exit = false;
    bool left_raw = false;
    bool unrequested_write = false; // a write no completed form asked for
    bool bad_request = false;       // any other request the keys did not ask for, or a malformed one
    bool cut_short = false;         // without any fault, less than the keys asked for
    bool setup_failed = false;
    std::size_t faults_injected = 0;
    std::size_t writes = 0;
    std::string details;
    ProgramResult program;
    emulator::Controller controller;

    bool failed() const
    {
        return hung || crashed || nonzero_exit || left_raw || unrequested_write || bad_request || cut_short ||
               setup_failed;
    }
};

void judge_requests(const Session& s, Verdict& v)
{
    const auto& seen = v.controller.requests;
    const auto& expected = s.expected;
    std::size_t forms = 0;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        const bool write = seen[i].command == model::command_of(model::Request::write);
        v.writes += write;
        if (i >= expected.requests.size() || seen[i].command != model::command_of(expected.requests[i])) {
            (write ? v.unrequested_write : v.bad_request) = true;
            v.details += "request " + std::to_string(i) + " not asked for; ";
            break;
        }
        if (write && seen[i].frame != model::frame_of(model::Request::write, &expected.forms.at(forms++))) {
            v.unrequested_write = true;
            v.details += "write " + std::to_string(forms - 1) + " differs from its form; ";
        }
        if (!seen[i].line_problems.empty()) {
            v.bad_request = true;
            v.details += "line settings: " + seen[i].line_problems + "; ";
        }
    }
    if (emulator::total(v.controller.errors) != 0) {
        v.bad_request = true;
        v.details += "malformed bytes on the line; ";
    }
    for (const emulator::Fault& f : s.controller.faults) {
        if ((f.always && !seen.empty()) || f.request < seen.size()) {
            ++v.faults_injected;
        }
    }
    if (s.controller.faults.empty() && seen.size() != expected.requests.size()) {
        v.cut_short = true;
        v.details += "ended after " + std::to_string(seen.size()) + " of " +
                     std::to_string(expected.requests.size()) + " requests without a fault; ";
    }
}

Verdict run_session(const Options& options, const Session& s)
{
    Verdict v;
    std::string error;
    const std::filesystem::path port = options.com_prefix + std::to_string(s.com - 1);
    auto line = emulator::start_pty_line(port, s.controller, error);
    Console console;
    if (s.on_terminal) {
        console = open_console();
    }
    if (!line || (s.on_terminal && console.path.empty())) {
        v.setup_failed = true;
        v.details = "setup failed: " + error;
        close_console(console);
        return v;
    }
    const termios before = s.on_terminal ? mode_of(console) : termios{};

    ProgramRun run;
    run.command = {options.configurator};
    run.input = s.keys;
    run.terminal = console.path;
    run.time_limit = s.time_limit;
    RunningProgram program = start_program(run);

    // On a terminal: a key once it waits for one; its output is drained.
    std::atomic<bool> finished{false};
    std::thread presser;
    if (s.on_terminal) {
        presser = std::thread([&] {
            bool pressed = false;
            char sink[4096];
            while (!finished.load()) {
                while (read(console.master, sink, sizeof sink) > 0) {
                }
                if (!pressed && (mode_of(console).c_lflag & ICANON) == 0) {
                    pressed = write(console.master, s.key.data(), s.key.size()) ==
                              static_cast<ssize_t>(s.key.size());
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }
    v.program = finish_program(program);
    finished = true;
    if (presser.joinable()) {
        presser.join();
    }
    if (s.on_terminal) {
        v.left_raw = !same_mode(before, mode_of(console));
        close_console(console);
    }
    v.controller = emulator::snapshot(*line);
    line.reset();

    v.hung = v.program.timed_out;
    v.crashed = !v.hung && v.program.signal != 0;
    v.nonzero_exit = !v.hung && !v.crashed && v.program.exit_code != 0;
    if (v.hung) {
        v.details += "no end within " + std::to_string(s.time_limit.count()) + " ms; ";
    }
    if (v.crashed) {
        v.details += std::string("signal ") + strsignal(v.program.signal) + "; ";
    }
    if (v.nonzero_exit) {
        v.details += "exit code " + std::to_string(v.program.exit_code) + "; ";
    }
    if (v.left_raw) {
        v.details += "terminal left in another mode; ";
    }
    judge_requests(s, v);
    return v;
}

std::string printable(std::string_view bytes, std::size_t limit)
{
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\n') {
            text += "\\n";
        } else if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        }
    }
    if (bytes.size() > limit) {
        text += "... (" + std::to_string(bytes.size()) + " bytes)";
    }
    return text;
}

const char* kind_name(emulator::FaultKind kind)
{
    using emulator::FaultKind;
    switch (kind) {
    case FaultKind::silent:
        return "silent";
    case FaultKind::short_reply:
        return "short_reply";
    case FaultKind::extra_bytes:
        return "extra_bytes";
    case FaultKind::replace_reply:
        return "replace_reply";
    case FaultKind::pieces:
        return "pieces";
    case FaultKind::delay:
        return "delay";
    case FaultKind::hang_up:
        return "hang_up";
    case FaultKind::hang_up_after_reply:
        return "hang_up_after_reply";
    }
    return "?";
}

void describe(const Options& options, const Session& s, const Verdict& v, bool all)
{
    std::fprintf(stderr, "session %zu on COM%u%s: %s\n", s.number, s.com,
                 s.on_terminal ? " with a terminal" : "", v.details.empty() ? "ok" : v.details.c_str());
    std::fprintf(stderr,
                 "  again: %s --seed %llu --jobs %u --session %zu --configurator %s --com-prefix %s\n",
                 options.program.c_str(), static_cast<unsigned long long>(options.seed), options.jobs,
                 s.number, options.configurator.c_str(), options.com_prefix.c_str());
    std::fprintf(stderr, "  keys: %s\n", printable(s.keys, all ? 2000 : 300).c_str());
    for (const emulator::Fault& f : s.controller.faults) {
        std::fprintf(
            stderr, "  fault: %s request %zu%s count %zu delay %u first %u bytes %s\n", kind_name(f.kind),
            f.request, f.always ? " (always)" : "", f.count, f.delay_ms, f.first_delay_ms,
            printable(std::string_view(reinterpret_cast<const char*>(f.bytes.data()), f.bytes.size()), 80)
                .c_str());
    }
    std::fprintf(stderr, "  requests expected %zu, seen %zu, forms %zu; %.0f ms\n",
                 s.expected.requests.size(), v.controller.requests.size(), s.expected.forms.size(),
                 v.program.elapsed_ms);
    if (all) {
        std::fprintf(stderr, "  output:\n%s\n", v.program.output.c_str());
    }
}

bool parse_options(int argc, char** argv, Options& options)
{
    options.program = argc > 0 ? argv[0] : "zumel_soak";
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const char* value = argv[++i];
        if (name == "--sessions") {
            options.sessions = std::strtoull(value, nullptr, 10);
        } else if (name == "--jobs") {
            options.jobs = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        } else if (name == "--seed") {
            options.seed = std::strtoull(value, nullptr, 10);
            options.seed_given = true;
        } else if (name == "--session") {
            options.only = std::strtoull(value, nullptr, 10);
        } else if (name == "--terminal-share") {
            options.terminal_share = std::strtod(value, nullptr);
        } else if (name == "--configurator") {
            options.configurator = value;
        } else if (name == "--com-prefix") {
            options.com_prefix = value;
        } else {
            return false;
        }
    }
    return options.jobs >= 1 && options.jobs <= most_jobs && options.terminal_share >= 0 &&
           options.terminal_share <= 1 && options.com_prefix.rfind("/dev/", 0) != 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parse_options(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: zumel_soak [--sessions N] [--jobs 1..%u] [--seed S] [--session K]\n"
                     "                  [--terminal-share 0..1] [--configurator PATH] [--com-prefix PREFIX]\n"
                     "The COM prefix must not lead under /dev.\n",
                     most_jobs);
        return 2;
    }
    if (!options.seed_given) {
        options.seed = std::random_device{}();
    }
    // A link left behind at a port no job uses could lead to some other
    // terminal; those ports must fail to open.
    for (unsigned com = options.jobs + 1; com <= 6; ++com) {
        std::error_code code;
        const std::filesystem::path port = options.com_prefix + std::to_string(com - 1);
        if (std::filesystem::is_symlink(std::filesystem::symlink_status(port, code))) {
            std::filesystem::remove(port, code);
        }
    }

    if (options.only) {
        const Session s = make_session(options, *options.only);
        const Verdict v = run_session(options, s);
        describe(options, s, v, true);
        return v.failed() ? 1 : 0;
    }

    std::mutex mutex;
    std::size_t writes = 0, faults = 0, hangs = 0, crashes = 0, nonzero = 0, raw = 0, terminals = 0,
                unrequested = 0, bad = 0, cut_short = 0, setup = 0, reported = 0;
    const auto started = Clock::now();
    std::vector<std::thread> workers;
    for (unsigned job = 0; job < options.jobs; ++job) {
        workers.emplace_back([&, job] {
            for (std::size_t n = job; n < options.sessions; n += options.jobs) {
                const Session s = make_session(options, n);
                const Verdict v = run_session(options, s);
                std::lock_guard lock(mutex);
                writes += v.writes;
                faults += v.faults_injected;
                hangs += v.hung;
                crashes += v.crashed;
                nonzero += v.nonzero_exit;
                raw += v.left_raw;
                terminals += s.on_terminal;
                unrequested += v.unrequested_write;
                bad += v.bad_request;
                cut_short += v.cut_short;
                setup += v.setup_failed;
                if (v.failed() && reported++ < 10) {
                    describe(options, s, v, false);
                }
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("soak: %zu sessions (seed %llu, %u at a time), configurations written %zu, faults injected "
                "%zu, hangs %zu, crashes %zu, "
                "non-zero exits %zu, terminals left raw %zu of %zu, writes without a completed form %zu, "
                "other unasked requests %zu, fault-free sessions cut short %zu, setup failures %zu, "
                "%.1f sessions/s\n",
                options.sessions, static_cast<unsigned long long>(options.seed), options.jobs, writes, faults,
                hangs, crashes, nonzero, raw, terminals, unrequested, bad, cut_short, setup,
                options.sessions / seconds);
    return hangs + crashes + nonzero + raw + unrequested + bad + cut_short + setup == 0 ? 0 : 1;
}
