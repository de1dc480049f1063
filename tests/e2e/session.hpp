#pragma once

// One technician's session against the emulated controller: the emulator
// answers on the pseudo-terminal that COMn leads to, the real configurator
// binary runs with the keyboard input given, and what it printed and sent
// is kept for the test to compare.

#include <filesystem>
#include <string>

#include "emulator/controller.hpp"
#include "emulator/pty_line.hpp"
#include "tests/support/hex.hpp"
#include "tests/support/process.hpp"

// The configurator under test: the Linux binary, or the Windows one under
// Wine. Both come with a way to map COMn to a path the test can link.
struct Target {
    std::string name;
    bool under_wine = false;
};
const Target& target();

// The path the configurator opens for COMn.
std::filesystem::path com_port_path(int number);

// How the configurator under test is started; the test adds input etc.
ProgramRun configurator_run(const std::string& keyboard);

// Runs it to the end. Under Wine the CRs of text-mode output are removed.
ProgramResult run_configurator(const ProgramRun& run);

struct Scenario {
    emulator::ControllerSetup controller;
    std::string keyboard;
    int com = 1;
};

struct Outcome {
    ProgramResult program;
    emulator::Controller controller; // as the emulator saw the session
};

Outcome run_scenario(const Scenario& scenario);

// Frames as they appear on the line.
using Bytes = std::vector<std::uint8_t>;
inline const Bytes type_request{0xFF, 0x28, 0x59, 0x80};
inline const Bytes firmware_request{0xFF, 0x26, 0x5B, 0x80};
inline const Bytes read_request{0xFF, 0x30, 0x56, 0x7B, 0x80};
Bytes write_frame(const Bytes& configuration, std::uint8_t checksum);
Bytes concat(std::initializer_list<Bytes> parts);
