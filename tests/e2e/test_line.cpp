// What the configurator does to the serial line itself: exclusive use, the
// settings it leaves, and a second session on a line the first one set.

#include <gtest/gtest.h>
#include <thread>

#include "tests/e2e/expected_screens.hpp"
#include "tests/e2e/session.hpp"

namespace {

const std::string menu_reached = screen::banner + screen::identity("ZML-4C08", "105") + screen::menu_choice;

} // namespace

TEST(Line, TwoSessionsInARowOnTheSameLineBothWork)
{
    if (target().under_wine) {
        GTEST_SKIP() << "Wine cannot set a pty that already runs at 9600 8O1 (its SetCommState fails), "
                        "so each Wine session needs a fresh line";
    }
    std::string error;
    auto line = emulator::start_pty_line(com_port_path(1), {}, error);
    ASSERT_TRUE(line) << error;
    for (int session = 0; session < 3; ++session) {
        const ProgramResult result = run_configurator(configurator_run("1\n3\n"));
        EXPECT_EQ(result.output, menu_reached) << "session " << session;
    }
    const auto controller = emulator::snapshot(*line);
    ASSERT_EQ(controller.requests.size(), 6U);
    for (const auto& request : controller.requests) {
        EXPECT_EQ(request.line_problems, "");
    }
}

TEST(Line, ASecondConfiguratorCannotTakeAPortInUse)
{
    if (target().under_wine) {
        GTEST_SKIP() << "Wine does not enforce exclusive opens of a COM port";
    }
    std::string error;
    auto line = emulator::start_pty_line(com_port_path(1), {}, error);
    ASSERT_TRUE(line) << error;

    // The first session sits at the menu, its keyboard still open.
    ProgramRun first_run = configurator_run("1\n");
    first_run.close_input = false;
    first_run.time_limit = std::chrono::milliseconds(10'000);
    RunningProgram first = start_program(first_run);
    ASSERT_TRUE(emulator::wait_for_requests(*line, 2, std::chrono::milliseconds(5'000)));

    const ProgramResult second = run_configurator(configurator_run("1\n3\n"));
    EXPECT_EQ(second.output, screen::banner + screen::open_failed);

    close(first.input_fd); // end of input at the menu ends the first session
    first.input_fd = -1;
    const ProgramResult first_result = finish_program(first);
    EXPECT_EQ(first_result.output, menu_reached);
    EXPECT_EQ(first_result.exit_code, 0);

    // Once the first has gone, the port is free again.
    const ProgramResult third = run_configurator(configurator_run("1\n3\n"));
    EXPECT_EQ(third.output, menu_reached);
}

TEST(Line, AByteStreamWithFlowControlCharactersPassesUnchanged)
{
    // 0x11 and 0x13 are XON and XOFF; with flow control left on they would
    // vanish from the reply or stop the line.
    Scenario scenario;
    scenario.keyboard = "1\n3\n";
    scenario.controller.type = {'\x13', '\x11', '\x13', '\x11', 'a', 'b', '\x13', '\x11'};
    scenario.controller.firmware_high = 0x11;
    scenario.controller.firmware_low = 0x13;
    const Outcome outcome = run_scenario(scenario);
    EXPECT_EQ(outcome.program.output, screen::banner +
                                          screen::identity("\x13\x11\x13\x11"
                                                           "ab\x13\x11",
                                                           "1719") +
                                          screen::menu_choice);
}
