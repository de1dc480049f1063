// The key wait at the end of a failed session, with a pseudo-terminal as the
// configurator's console while its standard input stays a pipe.

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "console_pty.hpp"
#include "expected_screens.hpp"
#include "session.hpp"

namespace {

using namespace std::chrono_literals;

class KeyWait : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (under_wine()) {
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
    RunningProgram start(const std::string& keyboard)
    {
        ProgramRun run = configurator_run(keyboard);
        run.terminal = console.path;
        run.time_limit = 10s;
        return start_program(run);
    }
    // The console switched to raw input: the program waits for its key.
    bool waiting()
    {
        for (int i = 0; i < 500 && (mode_of(console).c_lflag & ICANON) != 0; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        std::this_thread::sleep_for(100ms);
        return (mode_of(console).c_lflag & ICANON) == 0;
    }
    void press(const std::string& keys)
    {
        ASSERT_EQ(write(console.master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    // Ended by itself, and left the console as it found it with nothing of
    // the key left over for the shell.
    void expect_clean_end(RunningProgram& program, const std::string& shown, const std::string& name)
    {
        const ProgramResult result = finish_program(program);
        EXPECT_FALSE(result.timed_out) << name;
        EXPECT_EQ(result.exit_code, 0) << name;
        EXPECT_EQ(result.output, shown) << name;
        EXPECT_TRUE(same_mode(mode_of(console), before)) << name << ": console mode not restored";
        int unread = 0;
        ioctl(console.slave, FIONREAD, &unread);
        EXPECT_EQ(unread, 0) << name << ": part of the key was left for the shell";
    }
    Console console;
    termios before{};
};

} // namespace

TEST_F(KeyWait, WaitsForOneKeyThenRestoresTheConsole)
{
    const std::pair<const char*, std::string> keys[] = {
        {"plain key", "x"},
        {"Ctrl+C is a key, not a signal", "\x03"},
        {"arrow key", "\x1b[C"},
        {"function key F5", "\x1b[15~"},
        {"F1 in application mode", "\x1bOP"},
        {"lone Escape", "\x1b"},
        {"Alt+x", "\x1bx"},
        {"a Czech letter", "\xc4\x8d"},
    };
    for (const auto& [name, key] : keys) {
        RunningProgram program = start("0\n");
        ASSERT_TRUE(waiting()) << name;
        ASSERT_EQ(waitpid(program.pid, nullptr, WNOHANG), 0) << name << ": must still be waiting";
        press(key);
        expect_clean_end(program, screen::banner + screen::invalid_port, name);
    }
}

TEST_F(KeyWait, AKeyPressedBeforeThePromptIsNoAnswer)
{
    auto line = start_line(1, {.faults = {{.kind = emulator::FaultKind::silent}}});
    ASSERT_TRUE(line);
    RunningProgram program = start("1\n3\n");
    ASSERT_TRUE(emulator::wait_for_requests(*line, 1, 5s));
    press("\r"); // an impatient Enter during the time-out
    ASSERT_TRUE(waiting());
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(waitpid(program.pid, nullptr, WNOHANG), 0) << "the early Enter ended the wait";
    press("y");
    expect_clean_end(program, screen::banner + screen::separator + screen::failure_end, "after the prompt");
}

TEST_F(KeyWait, ASignalDuringTheWaitStillRestoresTheConsole)
{
    for (int signal_number : {SIGTERM, SIGHUP, SIGINT}) {
        RunningProgram program = start("0\n");
        ASSERT_TRUE(waiting());
        kill(program.pid, signal_number);
        const ProgramResult result = finish_program(program);
        EXPECT_EQ(result.signal, signal_number) << "the signal still ends the program";
        EXPECT_TRUE(same_mode(mode_of(console), before)) << strsignal(signal_number);
    }
}

TEST_F(KeyWait, ThePortIsFreeWhileTheProgramWaits)
{
    // After a failed request: another session gets the port meanwhile.
    auto line = start_line(1, {.faults = {{.kind = emulator::FaultKind::silent, .request = 1}}});
    ASSERT_TRUE(line);
    RunningProgram program = start("1\n3\n");
    ASSERT_TRUE(waiting());
    EXPECT_EQ(run_configurator(configurator_run("1\n3\n")).output,
              screen::banner + screen::identity("ZML-4C08", "105") + screen::menu_choice);
    press(" ");
    expect_clean_end(
        program, screen::banner + screen::separator + "\n\n Typ ovladace:    ZML-4C08" + screen::failure_end,
        "after a failed request");

    // After a line that could not be set up, held as a driver that cannot
    // do 9600 8O1 would hold it. A fresh line: the sessions above set this one.
    line.reset();
    line = start_line();
    const int slave = open(emulator::slave_path(*line).c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios locked{};
    locked.c_cflag = ~tcflag_t{0};
    locked.c_ispeed = locked.c_ospeed = 1;
    if (ioctl(slave, TIOCSLCKTRMIOS, &locked) != 0) {
        close(slave);
        GTEST_SKIP() << "locking a line's settings needs CAP_SYS_ADMIN";
    }
    program = start("1\n3\n");
    ASSERT_TRUE(waiting());
    const int other = open(com_port_path(1).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(other, 0) << "the port was left exclusive";
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0) << "the port was left locked";
    close(other);
    press(" ");
    expect_clean_end(program, screen::banner + screen::open_failed, "after a failed setup");
    const termios unlocked{};
    ioctl(slave, TIOCSLCKTRMIOS, &unlocked);
    close(slave);
}
