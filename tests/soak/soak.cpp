// zumel_soak [SESSIONS [JOBS [SEED]]]: many randomised sessions of the real
// configurator against the emulated controller, several at a time, each
// worker with ports of its own. The keys are hostile (answers out of range,
// letters, binary bytes, NUL, huge lines, input that ends early) and the line
// has faults. Every session is judged by the dialogue model; failures are
// counted by name, and any makes the exit status 1.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dialogue_model.hpp"
#include "kit.hpp"
#include "process.hpp"
#include "pty_line.hpp"

namespace {

using Rng = std::mt19937_64;

unsigned below(Rng& rng, unsigned n)
{
    return std::uniform_int_distribution<unsigned>(0, n - 1)(rng);
}

bool chance(Rng& rng, double p)
{
    return std::bernoulli_distribution(p)(rng);
}

// Bytes the line and the keyboard must survive; flow-control characters,
// frame markers, escape and NUL among them.
std::string noise(Rng& rng, std::size_t length)
{
    static constexpr unsigned char favourites[] = {0x11, 0x13, 0xFF, 0x80, 0x1B, 0x00, 0x7F, 0x0D};
    std::string bytes;
    while (bytes.size() < length) {
        bytes += static_cast<char>(chance(rng, 0.3) ? favourites[below(rng, 8)] : below(rng, 256));
    }
    return bytes;
}

// A value as typed; how numbers wrap is read_number's own table's business.
std::string typed(Rng& rng, std::uint32_t value)
{
    static constexpr const char* prefixes[] = {"", "", "+", "00"};
    return prefixes[below(rng, 4)] + std::to_string(value) + (chance(rng, 0.8) ? "\n" : " ");
}

// Not an answer, or one out of every range.
std::string junk(Rng& rng)
{
    static const std::string fixed[] = {"abc",       std::string(1, '\0') + "5", "- 3", "+", "\xc4\x9b",
                                        "4294967295"};
    const unsigned choice = below(rng, 8);
    return (choice < 6   ? fixed[choice]
            : choice < 7 ? noise(rng, 1 + below(rng, 24))
                         : std::string(10'000 + below(rng, 150'000), chance(rng, 0.5) ? 'x' : '9')) +
           "\n";
}

std::string keyboard(Rng& rng, unsigned com)
{
    std::string keys = chance(rng, 0.85) ? typed(rng, com) : junk(rng);
    for (unsigned action = below(rng, 7); action > 0; --action) {
        const unsigned what = below(rng, 100);
        if (what < 35) {
            keys += typed(rng, 1);
        } else if (what < 75) {
            keys += typed(rng, 2);
            for (const model::Range& range : model::answer_ranges) {
                while (chance(rng, 0.25)) {
                    keys += chance(rng, 0.5) ? typed(rng, range.highest + 1) : junk(rng);
                }
                if (chance(rng, 0.03)) {
                    return keys; // the input ends inside the form
                }
                keys += typed(rng, range.lowest + below(rng, range.highest - range.lowest + 1));
            }
        } else if (what < 92) {
            keys += junk(rng);
        } else {
            return keys + (chance(rng, 0.5) ? "3\n" : ""); // ends at the menu
        }
    }
    return keys + noise(rng, chance(rng, 0.1) ? below(rng, 64) : 0);
}

// Any fault but ignore_write (the dialogue does not read back); replies often
// just as long as a real one, so the program goes on with garbage.
emulator::Fault fault(Rng& rng, std::size_t requests)
{
    static constexpr unsigned lengths[] = {12, 8, 52, 4};
    const std::string bytes = noise(rng, chance(rng, 0.5) ? lengths[below(rng, 4)] : below(rng, 61));
    const auto kind = static_cast<emulator::FaultKind>(below(rng, 8));
    const bool pieces = kind == emulator::FaultKind::pieces;
    return {.kind = kind,
            .request = below(rng, static_cast<unsigned>(std::max<std::size_t>(requests, 1))),
            .always = chance(rng, 0.08),
            .count = 1 + below(rng, pieces ? 16 : 52),
            .delay_ms = pieces             ? below(rng, 80)
                        : chance(rng, 0.8) ? below(rng, 300)
                                           : 700 + below(rng, 600),
            .first_delay_ms = below(rng, 150),
            .bytes = {bytes.begin(), bytes.end()}};
}

// The names of what went wrong in one session; none when it was right.
std::vector<std::string> run_session(std::uint64_t seed, std::size_t number,
                                     const std::filesystem::path& ports)
{
    std::seed_seq seeds{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                        static_cast<std::uint32_t>(number)};
    Rng rng(seeds);
    const unsigned com = 1 + below(rng, 6); // the worker's other ports lead nowhere
    const std::string keys = keyboard(rng, com);
    const model::Expectation expected = model::expect(
        keys, [com](unsigned port) { return port == com; }, [](model::Request) { return true; });
    emulator::ControllerSetup controller;
    for (unsigned faults = chance(rng, 0.45) ? 0 : 1 + chance(rng, 0.25); faults > 0; --faults) {
        controller.faults.push_back(fault(rng, expected.requests.size()));
    }
    std::string error;
    auto line = emulator::start_pty_line(ports / ("ttyS" + std::to_string(com - 1)), controller, error);
    if (!line) {
        return {"setup failures: " + error};
    }
    // Each request may take its whole time-out, a little over a second.
    const ProgramResult program = run_program(
        {.command = {CONFIGURATOR_EXE, "--com-prefix", (ports / "ttyS").string()},
         .input = keys,
         .time_limit = std::chrono::milliseconds(5'000 + 1'600 * (expected.requests.size() + 1))});
    const emulator::Controller seen = emulator::snapshot(*line);

    std::vector<std::string> failures;
    if (program.timed_out || program.signal != 0 || program.exit_code != 0) {
        failures.push_back(program.timed_out ? "hangs" : program.signal != 0 ? "crashes" : "non-zero exits");
    }
    // What reaches the line is what the keys ask for, until a fault ends it.
    const kit::Bytes asked = model::expected_line(expected);
    const auto& received = seen.received;
    if (received.size() > asked.size() || !std::equal(received.begin(), received.end(), asked.begin())) {
        const bool wrote =
            std::any_of(seen.requests.begin(), seen.requests.end(),
                        [](const emulator::Request& r) { return r.command == emulator::command_write; });
        failures.push_back(wrote ? "bytes the keys did not ask for, a write among them"
                                 : "bytes the keys did not ask for");
    } else if (controller.faults.empty() && received.size() != asked.size()) {
        failures.push_back("fault-free sessions cut short");
    }
    if (std::any_of(seen.requests.begin(), seen.requests.end(),
                    [](const emulator::Request& r) { return !r.line_problems.empty(); })) {
        failures.push_back("lines set wrong");
    }
    return failures;
}

} // namespace

int main(int argc, char** argv)
{
    const std::size_t sessions = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2000;
    const unsigned jobs = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 4;
    const std::uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : std::random_device{}();
    std::mutex mutex;
    std::map<std::string, std::size_t> failures;
    std::size_t failed = 0;
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (unsigned job = 0; job < std::max(jobs, 1U); ++job) {
        workers.emplace_back([&, job] {
            const std::filesystem::path ports = kit::own_directory() / ("job" + std::to_string(job));
            for (std::size_t n = job; n < sessions; n += std::max(jobs, 1U)) {
                const std::vector<std::string> wrong = run_session(seed, n, ports);
                std::lock_guard lock(mutex);
                for (const std::string& name : wrong) {
                    ++failures[name];
                }
                if (!wrong.empty() && failed++ < 10) {
                    std::fprintf(stderr, "session %zu failed: %s\n", n, wrong.front().c_str());
                }
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("soak: %zu sessions (seed %llu, %u at a time, %.1f a second); failed: %zu\n", sessions,
                static_cast<unsigned long long>(seed), jobs, static_cast<double>(sessions) / seconds, failed);
    for (const auto& [name, count] : failures) {
        std::printf("  %s: %zu\n", name.c_str(), count);
    }
    return failed == 0 ? 0 : 1;
}
