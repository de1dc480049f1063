// What only the Windows build does, proven under Wine.

#include <gtest/gtest.h>

#include "expected_screens.hpp"
#include "session.hpp"

namespace {

ProgramResult com_state(const char* action)
{
    ProgramRun run = configurator_run("");
    run.command.back() = COM_STATE_EXE;
    run.command.insert(run.command.end(), {action, "COM1"});
    return run_configurator(run);
}

} // namespace

// Wine keeps of a port's state only what a pty's termios holds: speed, stop
// bits, flow control. The rest it reports as 0, and a pty holds no parity.
TEST(WindowsLine, APortLeftInABadStateOpensInAKnownOne)
{
    auto line = start_line();
    ASSERT_EQ(com_state("spoil").exit_code, 0);
    EXPECT_EQ(
        com_state("show").output,
        "baud 19200, 8 data bits, parity 0, stop bits 2; binary 1, parity check 0, CTS 1, DSR 0, DSR "
        "sensitivity 0, XON/XOFF 1/1, TX on XOFF 0, DTR 1, RTS 1, error char 0, null 0, abort on error 0\n");
    EXPECT_EQ(
        com_state("check").output,
        "baud 9600, 8 data bits, parity 0, stop bits 0; binary 1, parity check 0, CTS 0, DSR 0, DSR "
        "sensitivity 0, XON/XOFF 0/0, TX on XOFF 0, DTR 1, RTS 1, error char 0, null 0, abort on error 0\n");

    // Spoiled again, and a whole session on it: what Wine keeps of the
    // state (speed, size, parity, flow control) was set right.
    ASSERT_EQ(com_state("spoil").exit_code, 0);
    const Outcome outcome = run_scenario({.keyboard = "1\n1\n3\n"});
    EXPECT_EQ(outcome.program.output,
              screen::banner + screen::identity("ZML-4C08", "105") + screen::menu_choice +
                  screen::display({"10", "9600Bd", "1", "0", "LED sviti", "0", "128", "0"}) +
                  screen::menu_choice);
}

// Windows takes COM3.conf for the port COM3, and so does Wine: no file is
// read, written or traced through a name that leads to a serial port, and
// the port sees nothing. After \\?\ the name is no device's, but the port
// behind it is still told from a file.
TEST(WindowsFiles, NoFileIsEverASerialPort)
{
    auto com3 = start_line(3, {});
    const std::filesystem::path folder = kit::own_directory() / "named";
    std::filesystem::create_directories(folder);
    const std::pair<std::vector<std::string>, std::string> runs[] = {
        {{"--read", "-o", file_argument(folder / "COM3.conf")}, "the serial port COM3"},
        {{"--write", file_argument(folder / "com3 .conf")}, "the serial port COM3"},
        {{"--read", "--trace", file_argument(folder / "Com3.txt")}, "the serial port COM3"},
        {{"--read", "-o", "\\\\?\\COM3"}, "a serial port, not a file"},
        {{"--write", "\\\\?\\COM3"}, "a serial port, not a file"}};
    for (auto [options, reason] : runs) {
        options.insert(options.begin(), {"--port", "COM1"});
        auto controller = start_line(1, {});
        const ProgramResult result = run_with(options);
        EXPECT_NE(result.exit_code, 0) << options[3];
        EXPECT_NE(result.errors.find(reason), std::string::npos) << result.errors;
    }
    EXPECT_EQ(hex(emulator::snapshot(*com3).received), "");
    EXPECT_TRUE(std::filesystem::is_empty(folder));
    // NUL is a device a user means.
    auto controller = start_line(1, {});
    const ProgramResult discarded = run_with({"--port", "COM1", "--read", "-o", "nul"});
    EXPECT_EQ(discarded.exit_code, 0) << discarded.errors;
}

// A new file whose whole name is near the 260-character limit: the
// temporary one beside it is longer. Windows lets the program take it where
// long paths are enabled, by its manifest's longPathAware (tools/test.sh
// finds it in the .exe); Wine holds no such limit, so this proves the
// program's own part: no path buffer of that size on the way.
TEST(WindowsFiles, ANewFileNamedNearThePathLimitIsWritten)
{
    const std::filesystem::path folder = kit::own_directory() / "long names";
    std::filesystem::create_directories(folder);
    for (const std::size_t length : {245U, 259U}) {
        const std::size_t stem = length - file_argument(folder).size() - 1 - std::string(".conf").size();
        const std::filesystem::path file = folder / (std::string(stem, 'n') + ".conf");
        ASSERT_EQ(file_argument(file).size(), length);
        auto controller = start_line(1, {});
        const ProgramResult result = run_with({"--port", "COM1", "--read", "-o", file_argument(file)});
        EXPECT_EQ(result.exit_code, 0) << length << ": " << result.errors;
        EXPECT_TRUE(contents(file).starts_with("# ZML-4C08, firmware 105\naddress = 10\n")) << length;
        std::filesystem::remove(file);
    }
    EXPECT_TRUE(std::filesystem::is_empty(folder)) << "no temporary file left";
}
