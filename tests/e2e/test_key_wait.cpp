// The key wait at the end of a failed session, with a pseudo-terminal as the
// configurator's console while its standard input stays a pipe.

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
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
        SKIP_WHERE(platform.no_pty_console);
        ASSERT_FALSE(console.path.empty());
        before = console.mode();
    }
    RunningProgram start(const std::string& keyboard)
    {
        ProgramRun run = configurator_run(keyboard);
        run.terminal = console.path;
        run.time_limit = 10s;
        return start_program(run);
    }
    // The console switched to raw input, and the prompt is already out: the
    // program waits for its key.
    bool waiting(RunningProgram& program)
    {
        for (int i = 0; i < 500 && (console.mode().c_lflag & ICANON) != 0; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        std::this_thread::sleep_for(100ms);
        char buffer[4096];
        for (pollfd out{program.output_fd, POLLIN, 0}; poll(&out, 1, 0) == 1;) {
            const ssize_t n = read(program.output_fd, buffer, sizeof buffer);
            shown.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            if (n <= 0) {
                break;
            }
        }
        return (console.mode().c_lflag & ICANON) == 0 && shown.ends_with(screen::key_prompt);
    }
    // A | is a pause of 20 ms, as a sequence split on its way over a network.
    void press(const std::string& keys)
    {
        if (const std::size_t pause = keys.find('|'); pause != std::string::npos) {
            press(keys.substr(0, pause));
            std::this_thread::sleep_for(20ms);
            return press(keys.substr(pause + 1));
        }
        ASSERT_EQ(write(console.master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    // Ended by itself and left the console as it found it, with nothing of
    // the key, and only what was typed after it, left for the shell.
    void expect_clean_end(RunningProgram& program, const std::string& all_shown, const std::string& name,
                          int typed_after = 0)
    {
        const ProgramResult result = finish_program(program);
        EXPECT_FALSE(result.timed_out) << name;
        EXPECT_EQ(result.exit_code, 0) << name;
        EXPECT_EQ(std::exchange(shown, "") + result.output, all_shown) << name;
        EXPECT_TRUE(same_mode(console.mode(), before)) << name << ": console mode not restored";
        int unread = 0;
        ioctl(console.slave, FIONREAD, &unread);
        EXPECT_EQ(unread, typed_after) << name << ": what was left for the shell";
        tcflush(console.slave, TCIFLUSH);
    }
    std::string shown; // what the program printed before its key came
    Console console;
    termios before{};
};

} // namespace

TEST_F(KeyWait, WaitsForOneKeyThenRestoresTheConsole)
{
    // A letter; Ctrl+C, a key and not a signal; Ctrl+S and Ctrl+Q, keys and
    // not flow control (the console starts with IXON on); F5; F1 in application mode;
    // F1 on the Linux console; a lone Escape; Alt+x; a Czech letter, Delete,
    // F5 on the Linux console, Up and Ctrl+Right arriving in pieces, each
    // with y typed right after.
    for (const std::string key : {"x", "\x03", "\x13", "\x11", "\x1b[15~", "\x1bOP", "\x1b[[A", "\x1b",
                                  "\x1bx", "\xc4\x8dy", "\x1b[3~y", "\x1b[[Ey", "\x1b[Ay", "\x1b|[1;5|Cy"}) {
        const std::string name = hex(Bytes(key.begin(), key.end()));
        RunningProgram program = start("0\n");
        ASSERT_TRUE(waiting(program)) << name;
        ASSERT_EQ(waitpid(program.pid, nullptr, WNOHANG), 0) << name << ": must still be waiting";
        press(key);
        // A key typed at once after another is the shell's, not part of it.
        expect_clean_end(program, screen::banner + screen::invalid_port, name, key.ends_with('y') ? 1 : 0);
    }
}

TEST_F(KeyWait, AKeyPressedBeforeThePromptIsNoAnswer)
{
    auto line = start_line(1, {.faults = {{.kind = emulator::FaultKind::silent}}});
    RunningProgram program = start("1\n3\n");
    ASSERT_TRUE(emulator::wait_for_requests(*line, 1, 5s));
    press("\r"); // an impatient Enter during the time-out
    ASSERT_TRUE(waiting(program));
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(waitpid(program.pid, nullptr, WNOHANG), 0) << "the early Enter ended the wait";
    press("y");
    expect_clean_end(program, screen::failed_at_type, "after the prompt");
}

TEST_F(KeyWait, ASignalDuringTheWaitStillRestoresTheConsole)
{
    for (int signal_number : {SIGTERM, SIGHUP, SIGINT}) {
        RunningProgram program = start("0\n");
        ASSERT_TRUE(waiting(program));
        kill(program.pid, signal_number);
        const ProgramResult result = finish_program(program);
        EXPECT_EQ(result.signal, signal_number) << "the signal still ends the program";
        EXPECT_TRUE(same_mode(console.mode(), before)) << strsignal(signal_number);
        shown.clear();
    }
}

TEST_F(KeyWait, ThePortIsFreeWhileTheProgramWaits)
{
    // After a failed request: another session gets the port meanwhile.
    auto line = start_line(1, {.faults = {{.kind = emulator::FaultKind::silent, .request = 1}}});
    RunningProgram program = start("1\n3\n");
    ASSERT_TRUE(waiting(program));
    EXPECT_EQ(run_configurator(configurator_run("1\n3\n")).output, screen::connected + screen::menu_choice);
    press(" ");
    expect_clean_end(program, screen::failed_at_firmware, "after a failed request");

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
    ASSERT_TRUE(waiting(program));
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
