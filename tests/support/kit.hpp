#pragma once

// What every test needs besides the program runner and the pty console:
// request frames as they must appear on the line, built from the protocol
// as the emulator knows it (not from the configurator's code), and a
// directory of the test's own.

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "controller.hpp"
#include "process.hpp"

namespace kit {

using Bytes = std::vector<std::uint8_t>;
using emulator::hex;

inline const Bytes type_request{0xFF, 0x28, 0x59, 0x80};
inline const Bytes firmware_request{0xFF, 0x26, 0x5B, 0x80};
inline const Bytes read_request{0xFF, 0x30, 0x56, 0x7B, 0x80};

// The 52-byte write frame around six configuration bytes.
Bytes write_frame(const std::array<std::uint8_t, 6>& configuration);
Bytes concat(std::initializer_list<Bytes> parts);

// What `run` writes to file descriptor `fd` (1 or 2) while it runs in this
// process.
std::string written_to(int fd, const std::function<void()>& run);

// A fresh directory for this process, removed when it ends; tests that run
// at the same time never share one.
const std::filesystem::path& own_directory();

// The zumel-emulator program, as built beside the tests.
std::string emulator_program();

// The zumel-emulator program on a port at `link`, started as a person starts
// it from a shell, and stopped when this goes. What it says on standard
// error is kept in `said`, read whenever it is waited for (so a test that
// lets it log for long waits on it now and then).
struct Emulator {
    RunningProgram program{};
    std::string said{};

    explicit Emulator(const std::filesystem::path& link, const std::vector<std::string>& options = {});
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;
    ~Emulator();
};

// Waits until the emulator has said `text` at least `count` times, at most
// `timeout`; true when it has.
bool wait_until_said(Emulator& emulator, const std::string& text, std::size_t count = 1,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(20'000));
std::size_t times_said(const Emulator& emulator, const std::string& text);

// Connects or disconnects its controller as a shell does (kill -USR2 and
// kill -USR1 PID) and waits until it says so; true when it did.
bool connect_controller(Emulator& emulator, bool connected);

// Stops it (SIGTERM) and returns all it said.
std::string stop(Emulator& emulator);

} // namespace kit
