// zumel_soak: many randomised sessions of the real configurator against the
// emulated controller, several at a time, each worker with ports of its own.
// The keys are hostile (answers out of range, letters, binary bytes, NUL,
// huge lines, input that ends early), the line has faults, and some sessions
// have a terminal as their console that gets a key when the program waits
// for one. Every session is judged against the dialogue model; the failures
// are counted by name. Exits non-zero when any session failed.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "console_pty.hpp"
#include "dialogue_model.hpp"
#include "kit.hpp"
#include "process.hpp"
#include "pty_line.hpp"

namespace {

using Rng = std::mt19937_64;

struct Options {
    std::size_t sessions = 2000;
    unsigned jobs = 4;
    std::uint64_t seed = std::random_device{}();
    std::optional<std::size_t> only; // run just this session, and tell all about it
    double terminal_share = 0.1;
    std::string configurator = CONFIGURATOR_EXE;
};

unsigned below(Rng& rng, unsigned n)
{
    return std::uniform_int_distribution<unsigned>(0, n - 1)(rng);
}

bool chance(Rng& rng, double p)
{
    return std::bernoulli_distribution(p)(rng);
}

// Bytes the line and the keyboard should survive: flow-control characters,
// frame markers, escape, NUL and the rest.
std::string noise(Rng& rng, std::size_t length)
{
    static constexpr unsigned char favourites[] = {0x11, 0x13, 0xFF, 0x80, 0x1B, 0x00, 0x7F, 0x0D};
    std::string bytes;
    for (std::size_t i = 0; i < length; ++i) {
        bytes += static_cast<char>(chance(rng, 0.3) ? favourites[below(rng, 8)] : below(rng, 256));
    }
    return bytes;
}

// The same value written in ways that all read as it.
std::string spelled(Rng& rng, std::uint32_t value)
{
    const std::string plain = std::to_string(value);
    switch (below(rng, 6)) {
    case 0:
        return "00" + plain;
    case 1:
        return "+" + plain;
    case 2:
        return std::to_string(std::uint64_t{value} + (std::uint64_t{1} << 32)); // wraps back
    case 3:
        return value == 0 ? "-0" : "-" + std::to_string((std::uint64_t{1} << 32) - value);
    default:
        return plain;
    }
}

// Something that is not an answer, or one out of range.
std::string junk(Rng& rng)
{
    static const std::string fixed[] = {"abc",      std::string(1, '\0') + "5", "- 3", "+", "\xc4\x9b",
                                        "1 2 3 2 1"};
    switch (below(rng, 9)) {
    case 6:
        return std::to_string(rng() & 0xFFFFFFFF);
    case 7:
        return noise(rng, 1 + below(rng, 24));
    case 8:
        return std::string(10'000 + below(rng, 150'000), chance(rng, 0.5) ? 'x' : '9');
    default:
        return fixed[below(rng, std::size(fixed))];
    }
}

std::string line_end(Rng& rng)
{
    static constexpr const char* ends[] = {"\n", "\n", "\n", " ", "\r\n", "\t\n"};
    return ends[below(rng, std::size(ends))];
}

std::string keyboard(Rng& rng, unsigned com)
{
    std::string keys = (chance(rng, 0.85) ? spelled(rng, com) : junk(rng)) + line_end(rng);
    for (unsigned action = below(rng, 7); action > 0; --action) {
        const unsigned what = below(rng, 100);
        if (what < 35) {
            keys += spelled(rng, 1) + line_end(rng);
        } else if (what < 75) {
            keys += spelled(rng, 2) + line_end(rng);
            for (const model::Range& range : model::answer_ranges) {
                while (chance(rng, 0.25)) {
                    keys += (chance(rng, 0.5) ? spelled(rng, range.highest + 1) : junk(rng)) + "\n";
                }
                if (chance(rng, 0.03)) {
                    return keys; // the input ends inside the form
                }
                keys +=
                    spelled(rng, range.lowest + below(rng, range.highest - range.lowest + 1)) + line_end(rng);
            }
        } else if (what < 92) {
            keys += junk(rng) + "\n";
        } else {
            return keys + (chance(rng, 0.5) ? "3\n" : ""); // ends at the menu
        }
    }
    return keys + noise(rng, chance(rng, 0.1) ? below(rng, 64) : 0);
}

emulator::Fault fault(Rng& rng, std::size_t requests)
{
    using emulator::FaultKind;
    emulator::Fault f{.kind = static_cast<FaultKind>(below(rng, 8)),
                      .request = below(rng, static_cast<unsigned>(std::max<std::size_t>(requests, 1))),
                      .always = chance(rng, 0.08)};
    switch (f.kind) {
    case FaultKind::short_reply:
        f.count = 1 + below(rng, 52);
        break;
    case FaultKind::extra_bytes:
    case FaultKind::replace_reply: {
        // Often just as long as a reply, so the program goes on with garbage.
        static constexpr unsigned lengths[] = {12, 8, 52, 4};
        const std::string bytes = noise(rng, chance(rng, 0.5) ? lengths[below(rng, 4)] : below(rng, 61));
        f.bytes.assign(bytes.begin(), bytes.end());
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
    unsigned com = 1; // the emulator's; other ports of the worker lead nowhere
    std::string keys{};
    emulator::ControllerSetup controller{};
    model::Expectation expected{}; // when every reply comes
    std::string key{};             // pressed on its terminal, if it has one
};

Session make_session(const Options& options, std::size_t number)
{
    std::seed_seq seeds{static_cast<std::uint32_t>(options.seed),
                        static_cast<std::uint32_t>(options.seed >> 32), static_cast<std::uint32_t>(number)};
    Rng rng(seeds);
    Session s{.number = number, .com = 1 + below(rng, 6)};
    s.keys = keyboard(rng, s.com);
    s.expected = model::expect(
        s.keys, [&](unsigned port) { return port == s.com; }, [](model::Request) { return true; });
    for (unsigned faults = chance(rng, 0.45) ? 0 : 1 + chance(rng, 0.25); faults > 0; --faults) {
        s.controller.faults.push_back(fault(rng, s.expected.requests.size()));
    }
    static constexpr const char* presses[] = {"x", "\r", "\x03", "\x1b[C", "\x1b[15~", "\x1b", "\xc4\x8d"};
    if (chance(rng, options.terminal_share)) {
        s.key = presses[below(rng, std::size(presses))];
    }
    return s;
}

struct Verdict {
    std::vector<std::string> failures; // names, as counted
    std::string details;
    std::size_t writes = 0;
    std::size_t faults_met = 0;
    ProgramResult program;
};

void fail(Verdict& v, const char* name, const std::string& detail)
{
    v.failures.push_back(name);
    v.details += detail + "; ";
}

void judge_requests(const Session& s, const emulator::Controller& seen, Verdict& v)
{
    std::size_t forms = 0;
    for (std::size_t i = 0; i < seen.requests.size(); ++i) {
        const emulator::Request& request = seen.requests[i];
        const bool write = request.command == emulator::command_write;
        v.writes += write;
        const bool asked =
            i < s.expected.requests.size() && request.command == model::frame_of(s.expected.requests[i])[1];
        if (!asked ||
            (write && request.frame != model::frame_of(model::Request::write, &s.expected.forms[forms++]))) {
            fail(v, write ? "writes without that completed form" : "other unasked requests",
                 "request " + std::to_string(i) + " not asked for");
            break;
        }
        if (!request.line_problems.empty()) {
            fail(v, "lines set wrong", request.line_problems);
        }
    }
    if (emulator::total(seen.errors) != 0) {
        fail(v, "malformed frames", "malformed bytes on the line");
    }
    for (const emulator::Fault& f : s.controller.faults) {
        v.faults_met += (f.always && !seen.requests.empty()) || f.request < seen.requests.size();
    }
    if (s.controller.faults.empty() && seen.requests.size() != s.expected.requests.size()) {
        fail(v, "fault-free sessions cut short",
             std::to_string(seen.requests.size()) + " of " + std::to_string(s.expected.requests.size()) +
                 " requests without a fault");
    }
}

Verdict run_session(const Options& options, const Session& s, const std::filesystem::path& ports)
{
    Verdict v;
    std::string error;
    auto line = emulator::start_pty_line(ports / ("ttyS" + std::to_string(s.com - 1)), s.controller, error);
    Console console = s.key.empty() ? Console{} : open_console();
    if (!line || (!s.key.empty() && console.path.empty())) {
        fail(v, "setup failures", error);
        close_console(console);
        return v;
    }
    const termios before = s.key.empty() ? termios{} : mode_of(console);
    ProgramRun run{.command = {options.configurator, "--com-prefix", (ports / "ttyS").string()},
                   .input = s.keys,
                   .terminal = console.path,
                   // each request may take its whole time-out, a little over a second
                   .time_limit = std::chrono::milliseconds(5'000 + 1'600 * (s.expected.requests.size() + 1))};
    RunningProgram program = start_program(run);
    // On a terminal: a key once it waits for one; its output is drained.
    std::atomic<bool> finished{false};
    std::thread presser;
    if (!s.key.empty()) {
        presser = std::thread([&] {
            char sink[4096];
            for (bool pressed = false; !finished; std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
                while (read(console.master, sink, sizeof sink) > 0) {
                }
                if (!pressed && (mode_of(console).c_lflag & ICANON) == 0) {
                    pressed = write(console.master, s.key.data(), s.key.size()) > 0;
                }
            }
        });
    }
    v.program = finish_program(program);
    finished = true;
    if (presser.joinable()) {
        presser.join();
        if (!same_mode(before, mode_of(console))) {
            fail(v, "terminals left raw", "terminal left in another mode");
        }
        close_console(console);
    }
    if (v.program.timed_out) {
        fail(v, "hangs", "no end in time");
    } else if (v.program.signal != 0) {
        fail(v, "crashes", std::string("signal ") + strsignal(v.program.signal));
    } else if (v.program.exit_code != 0) {
        fail(v, "non-zero exits", "exit code " + std::to_string(v.program.exit_code));
    }
    judge_requests(s, emulator::snapshot(*line), v);
    return v;
}

void describe(const Options& options, const Session& s, const Verdict& v, bool all)
{
    std::string keys;
    for (unsigned char c : s.keys.substr(0, all ? 2000 : 300)) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, c >= 0x20 && c < 0x7F && c != '\\' ? "%c" : "\\x%02X", c);
        keys += escaped;
    }
    std::fprintf(stderr,
                 "session %zu on COM%u%s: %s\n  again: zumel_soak --seed %llu --session %zu\n  keys: %s\n",
                 s.number, s.com, s.key.empty() ? "" : " with a terminal",
                 v.details.empty() ? "ok" : v.details.c_str(), static_cast<unsigned long long>(options.seed),
                 s.number, keys.c_str());
    for (const emulator::Fault& f : s.controller.faults) {
        std::fprintf(stderr, "  fault: kind %d request %zu%s count %zu delay %u first %u bytes %s\n",
                     static_cast<int>(f.kind), f.request, f.always ? " (always)" : "", f.count, f.delay_ms,
                     f.first_delay_ms, kit::hex(f.bytes).c_str());
    }
    if (all) {
        std::fprintf(stderr, "  output:\n%s\n", v.program.output.c_str());
    }
}

bool parse_options(int argc, char** argv, Options& options)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--sessions") {
            options.sessions = std::strtoull(value, nullptr, 10);
        } else if (name == "--jobs") {
            options.jobs = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        } else if (name == "--seed") {
            options.seed = std::strtoull(value, nullptr, 10);
        } else if (name == "--session") {
            options.only = std::strtoull(value, nullptr, 10);
        } else if (name == "--terminal-share") {
            options.terminal_share = std::strtod(value, nullptr);
        } else if (name == "--configurator") {
            options.configurator = value;
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && options.jobs >= 1 && options.terminal_share >= 0 && options.terminal_share <= 1;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parse_options(argc, argv, options)) {
        std::fputs(
            "usage: zumel_soak [--sessions N] [--jobs N] [--seed S] [--session K] [--terminal-share 0..1]\n"
            "                  [--configurator PATH]\n",
            stderr);
        return 2;
    }
    if (options.only) {
        const Session s = make_session(options, *options.only);
        const Verdict v = run_session(options, s, kit::own_directory());
        describe(options, s, v, true);
        return v.failures.empty() ? 0 : 1;
    }

    std::mutex mutex;
    std::map<std::string, std::size_t> failures;
    std::size_t writes = 0, faults = 0, terminals = 0, failed = 0;
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (unsigned job = 0; job < options.jobs; ++job) {
        workers.emplace_back([&, job] {
            const std::filesystem::path ports = kit::own_directory() / ("job" + std::to_string(job));
            for (std::size_t n = job; n < options.sessions; n += options.jobs) {
                const Session s = make_session(options, n);
                const Verdict v = run_session(options, s, ports);
                std::lock_guard lock(mutex);
                writes += v.writes;
                faults += v.faults_met;
                terminals += !s.key.empty();
                for (const std::string& name : v.failures) {
                    ++failures[name];
                }
                if (!v.failures.empty() && failed++ < 10) {
                    describe(options, s, v, false);
                }
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("soak: %zu sessions (seed %llu, %u at a time, %.1f sessions/s): %zu configurations written, "
                "%zu faults met, %zu with a terminal\n",
                options.sessions, static_cast<unsigned long long>(options.seed), options.jobs,
                options.sessions / seconds, writes, faults, terminals);
    std::printf("failed sessions: %zu\n", failed);
    for (const auto& [name, count] : failures) {
        std::printf("  %s: %zu\n", name.c_str(), count);
    }
    return failed == 0 ? 0 : 1;
}
