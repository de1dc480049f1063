// The key wait at the end of a failed session, with a pseudo-terminal as the
// configurator's console while its standard input stays a pipe.

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "tests/e2e/expected_screens.hpp"
#include "tests/e2e/session.hpp"
#include "tests/support/console_pty.hpp"

namespace {

// Waits until the console has been switched to raw input: the program is then
// waiting for its key.
bool console_turns_raw(const Console& console)
{
    for (int i = 0; i < 500; ++i) {
        if ((mode_of(console).c_lflag & ICANON) == 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Bytes that were typed but nobody read: they would reach the shell.
std::size_t unread_input(const Console& console)
{
    int pending = 0;
    ioctl(console.slave, FIONREAD, &pending);
    return static_cast<std::size_t>(pending);
}

RunningProgram start_on_console(const Console& console, const std::string& keyboard)
{
    ProgramRun run = configurator_run(keyboard);
    run.terminal = console.path;
    run.time_limit = std::chrono::milliseconds(10'000);
    return start_program(run);
}

class KeyWait : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (target().under_wine) {
            GTEST_SKIP() << "under Wine the key wait is proven in tmux (tests/wine)";
        }
        console = open_console();
        ASSERT_FALSE(console.path.empty());
        before = mode_of(console);
    }
    void TearDown() override
    {
        close_console(console);
    }
    Console console;
    termios before{};
};

} // namespace

TEST_F(KeyWait, WaitsForOneKeyThenRestoresTheConsole)
{
    struct Case {
        const char* name;
        std::string keys;
    };
    const Case cases[] = {
        {"plain key", "x"},
        {"Enter", "\r"},
        {"Ctrl+C is a key, not a signal", "\x03"},
        {"arrow key", "\x1b[C"},
        {"function key F5", "\x1b[15~"},
        {"Ctrl+arrow", "\x1b[1;5D"},
        {"F1 in application mode", "\x1bOP"},
        {"lone Escape", "\x1b"},
        {"two-byte character", "\xc4\x8d"},
    };
    for (const auto& c : cases) {
        RunningProgram program = start_on_console(console, "0\n");
        ASSERT_TRUE(console_turns_raw(console)) << c.name;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(waitpid(program.pid, nullptr, WNOHANG), 0) << c.name << ": must still be waiting";

        ASSERT_EQ(write(console.master, c.keys.data(), c.keys.size()), static_cast<ssize_t>(c.keys.size()));
        const ProgramResult result = finish_program(program);
        EXPECT_FALSE(result.timed_out) << c.name;
        EXPECT_EQ(result.exit_code, 0) << c.name;
        EXPECT_EQ(result.output, screen::banner + screen::invalid_port) << c.name;
        EXPECT_TRUE(same_mode(mode_of(console), before)) << c.name << ": console mode not restored";
        EXPECT_EQ(unread_input(console), 0U) << c.name << ": part of the key was left for the shell";
    }
}

TEST_F(KeyWait, ASignalDuringTheWaitStillRestoresTheConsole)
{
    for (int signal_number : {SIGTERM, SIGHUP, SIGINT}) {
        RunningProgram program = start_on_console(console, "0\n");
        ASSERT_TRUE(console_turns_raw(console));
        kill(program.pid, signal_number);
        const ProgramResult result = finish_program(program);
        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(result.signal, signal_number) << "the signal still ends the program";
        EXPECT_TRUE(same_mode(mode_of(console), before)) << strsignal(signal_number);
    }
}

TEST_F(KeyWait, AfterAFailedRequestThePortIsFreeBeforeTheWait)
{
    emulator::ControllerSetup silent_after_type;
    silent_after_type.faults = {emulator::Fault{.kind = emulator::FaultKind::silent, .request = 1}};
    std::string error;
    auto line = emulator::start_pty_line(com_port_path(1), silent_after_type, error);
    ASSERT_TRUE(line) << error;

    RunningProgram program = start_on_console(console, "1\n3\n");
    ASSERT_TRUE(console_turns_raw(console));
    // While the first waits for its key, another session gets the port.
    const ProgramResult other = run_configurator(configurator_run("1\n3\n"));
    EXPECT_EQ(other.output, screen::banner + screen::identity("ZML-4C08", "105") + screen::menu_choice);

    ASSERT_EQ(write(console.master, " ", 1), 1);
    const ProgramResult result = finish_program(program);
    EXPECT_EQ(result.output,
              screen::banner + screen::separator + "\n\n Typ ovladace:    ZML-4C08" + screen::failure_end);
    EXPECT_TRUE(same_mode(mode_of(console), before));
}
