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
