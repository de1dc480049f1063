#pragma once

// One technician's session against the emulated controller: the emulator
// answers on the pseudo-terminal that COMn leads to, the real configurator
// binary runs with the keyboard input given, and what it printed and sent
// is kept for the test to compare.

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

#include "kit.hpp"
#include "platform.hpp"
#include "process.hpp"
#include "pty_line.hpp"

using kit::Bytes;
using kit::hex;

// The configuration most tests send: its settings as a configuration file
// holds them, and the bytes a controller holds for them at this address.
inline const std::string settings_a = "address = 7\nbaud = 3\nbutton_limit = 2\nbridge = 1\n"
                                      "led_init = 2\nled_write_enable = 1\npwm_divider = 200\npwm_init = 1\n";
inline emulator::Configuration configuration_a(std::uint8_t address = 7)
{
    return {address, 0x03, 0x7E, 0x7E, 0x48, 0x7F};
}

// The path the configurator opens for COMn: inside this test's own
// directory, which it names with --com-prefix; under Wine where the test
// prefix pins COMn.
std::filesystem::path com_port_path(int number);

// How the configurator under test is started, with these keys and options.
ProgramRun configurator_run(const std::string& keyboard, const std::vector<std::string>& options = {});

// Runs it to the end. Under Wine the CRs of text-mode output are removed.
ProgramResult run_configurator(const ProgramRun& run);
ProgramResult run_with(const std::vector<std::string>& options, const std::string& keyboard = "");

// A file's text, without the CRs of one the Windows build wrote as text
// unless `without_cr` is false.
std::string contents(const std::filesystem::path& path, bool without_cr = true);

// A trace's lines without the milliseconds each begins with.
std::string trace_lines(const std::filesystem::path& path);

// writes.csv's header, and its rows after it (checked against
// `first_line`), each without its time. A before-file named in the last
// column is there, with the row's time in its name, and shows as
// <before-file>.
extern const std::string writes_header;
std::vector<std::string> log_rows(const std::filesystem::path& log,
                                  const std::string& first_line = writes_header);

// The before-files a log folder holds, sorted.
std::vector<std::filesystem::path> before_files(const std::filesystem::path& log);

// The process's file creation mask, as the program meets it.
mode_t creation_mask();

// The path a Windows program under Wine reaches the same file by.
std::string file_argument(const std::filesystem::path& path);

struct Scenario {
    emulator::ControllerSetup controller{};
    std::string keyboard{};
    int com = 1;
};

struct Outcome {
    ProgramResult program;
    emulator::Controller controller; // as the emulator saw the session
};

Scenario with(const std::string& keyboard, std::vector<emulator::Fault> faults = {});

// Checks that it ended by itself, with exit_code, and that every request
// came on a line set as it must be.
Outcome run_scenario(const Scenario& scenario, int exit_code = 0);

emulator::PtyLineHandle start_line(int com = 1, const emulator::ControllerSetup& setup = {});

// Controllers that come and go on COMn as the visits say.
emulator::PtyLineHandle start_visits(int com, const std::vector<emulator::ControllerSetup>& controllers,
                                     const std::vector<emulator::Visit>& visits);
