// The machine's ports: --list, --find, the dialogue on a port the command
// line names, and the trace of its line.

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iomanip>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "console_pty.hpp"
#include "expected_screens.hpp"
#include "session.hpp"

using emulator::FaultKind;

namespace {

const int high_port = platform.high_port;
const std::string high_name = "COM" + std::to_string(high_port);
// The port's column: six wide, then two spaces.
const std::string high_column =
    high_name + std::string(std::max<int>(6 - static_cast<int>(high_name.size()), 0) + 2, ' ');
const emulator::ControllerSetup silent{.faults = {{.kind = FaultKind::silent, .always = true}}};

bool holds(const std::string& text, const std::vector<std::string>& lines)
{
    for (const std::string& line : lines) {
        if (text.find(line + "\n") == std::string::npos) {
            ADD_FAILURE() << "no line '" << line << "' in:\n" << text;
            return false;
        }
    }
    return true;
}

} // namespace

TEST(Ports, ListNamesThePortsUnderThePrefixAndOpensNone)
{
    auto second = start_line(2);
    auto high = start_line(high_port);
    std::ofstream(com_port_path(3)) << "not a line\n";
    const ProgramResult result = run_with({"--list"});
    EXPECT_EQ(result.exit_code, 0);
    holds(result.output, listed_ports({2, high_port}));
    EXPECT_TRUE(emulator::snapshot(*second).received.empty());
    EXPECT_TRUE(emulator::snapshot(*high).received.empty());
    std::filesystem::remove(com_port_path(3));
}

TEST(Ports, FindAsksEveryFreePortAndNamesTheOneWithAController)
{
    auto first = start_line(1, silent);
    auto second = start_line(2, silent);
    auto high = start_line(high_port);
    ProgramResult result = run_with({"--find"});
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    holds(result.output,
          {"COM1    no answer", "COM2    no answer", high_column + "controller ZML-4C08, firmware 105",
           "A controller is on " + high_name + ": zumel-config " + paste_options(high_port)});
    for (auto* line : {&first, &second}) {
        EXPECT_EQ(hex(emulator::snapshot(**line).received), hex(kit::type_request))
            << "nothing but the identify request";
    }
    EXPECT_EQ(hex(emulator::snapshot(*high).received),
              hex(kit::concat({kit::type_request, kit::firmware_request})));

    high.reset();
    high = start_line(high_port, silent);
    result = run_with({"--find"});
    EXPECT_EQ(result.exit_code, 1);
    holds(result.output,
          {high_column + "no answer", "No controller answered; is it switched on with jumper J6 "
                                      "fitted, and its cable on one of these ports?"});
}

// --find reads the firmware by the checked rule: the wait behind a reply is
// traced as the good case it is, and two controllers answering every
// request at once (each reply twice) are no controller to name.
TEST(Ports, FindTracesTheWaitBehindAReplyAndTrustsNoDoubledOne)
{
    const std::filesystem::path trace = kit::own_directory() / "find-trace.txt";
    auto line = start_line(high_port);
    ProgramResult result = run_with({"--find", "--trace", file_argument(trace)});
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    const std::string lines = trace_lines(trace);
    EXPECT_NE(lines.find("\n" + high_name + " received 8 bytes: FF 26 05 01 00 00 55 80\n" + high_name +
                         " nothing behind the reply within 50 ms\n"),
              std::string::npos)
        << lines;
    EXPECT_EQ(lines.find("time-out"), std::string::npos) << lines;

    const Bytes type_reply = {0xFF, 0x28, 0x5A, 0x4D, 0x4C, 0x2D, 0x34, 0x43, 0x30, 0x38, 0x5A, 0x80};
    const Bytes firmware_reply = {0xFF, 0x26, 0x05, 0x01, 0x00, 0x00, 0x55, 0x80};
    line.reset();
    line = start_line(high_port,
                      {.faults = {{.kind = FaultKind::extra_bytes, .request = 0, .bytes = type_reply},
                                  {.kind = FaultKind::extra_bytes, .request = 1, .bytes = firmware_reply}}});
    result = run_with({"--find"});
    EXPECT_EQ(result.exit_code, 1);
    holds(result.output,
          {high_column + "the controller sent more than the 8 bytes of its reply to the firmware request "
                         "(then FF 26 05 01 00 00 55 80), so the reply is not trusted; more than one "
                         "controller on this line?",
           "No controller answered."});
    EXPECT_EQ(result.output.find("ZML-4C08"), std::string::npos) << result.output;
}

// A line held without a lock by another program (a terminal program, a
// getty) keeps its settings; a line held with a lock, or locked the UUCP way
// by a live process, and the program's own terminal get no byte. A FIFO or
// a folder where a lock file belongs holds nothing up.
TEST(Ports, FindLeavesOtherProgramsLinesAsItFoundThem)
{
    SKIP_WHERE(platform.no_shared_lines);
    auto flocked = start_line(3, silent), uucp = start_line(4, silent), stale = start_line(5, silent),
         shared = start_line(6, silent);
    const int holder = open(com_port_path(3).c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const std::filesystem::path locks = kit::own_directory() / "locks";
    std::filesystem::create_directories(locks);
    const pid_t gone = fork();
    if (gone == 0) {
        _exit(0);
    }
    waitpid(gone, nullptr, 0);
    std::ofstream(locks / "LCK..ttyS3") << std::setw(10) << getpid() << "\n";
    std::ofstream(locks / "LCK..ttyS4") << std::setw(10) << gone << "\n";
    ASSERT_EQ(mkfifo((locks / "LCK..ttyS5").c_str(), 0600), 0)
        << "no writer: an open that waits for one hangs";
    const std::filesystem::path more_locks = kit::own_directory() / "more-locks";
    std::filesystem::create_directories(more_locks / "LCK..ttyS5"); // a read of it fails
    setenv("ZUMEL_LOCK_DIRS", ("/nonexistent:" + locks.string() + ":" + more_locks.string()).c_str(), 1);
    const int terminal_program = open(com_port_path(6).c_str(), O_RDWR | O_NOCTTY);
    termios its{};
    tcgetattr(terminal_program, &its);
    cfsetspeed(&its, B115200);
    its.c_cflag |= CSTOPB;
    its.c_iflag |= IXON;
    tcsetattr(terminal_program, TCSANOW, &its);
    const Console own;
    std::filesystem::create_symlink(own.path, com_port_path(7));

    ProgramRun run = configurator_run("", {"--find"});
    run.terminal = own.path;
    const ProgramResult result = run_configurator(run);
    unsetenv("ZUMEL_LOCK_DIRS");
    EXPECT_EQ(result.exit_code, 1);
    holds(result.output, {"COM3    in use by another program; not touched",
                          "COM4    in use by another program; not touched", "COM5    no answer",
                          "COM6    no answer", "COM7    the terminal this program runs in; not touched"});
    for (auto* line : {&flocked, &uucp}) {
        EXPECT_TRUE(emulator::snapshot(**line).received.empty());
    }
    EXPECT_EQ(hex(emulator::snapshot(*stale).received), hex(kit::type_request))
        << "a stale lock does not count";
    termios after{};
    tcgetattr(terminal_program, &after);
    EXPECT_TRUE(cfgetospeed(&after) == B115200 && (after.c_cflag & CSTOPB) != 0 &&
                (after.c_iflag & IXON) != 0)
        << "the settings it found";
    close(terminal_program);
    close(holder);
    std::filesystem::remove(com_port_path(7));
}

TEST(Ports, TheDialogueOnAPortGivenRunsAsIfChosenAndItsTraceShowsTheLine)
{
    auto line = start_line(high_port);
    ProgramResult result = run_with({"--port", high_name}, "1\n3\n");
    EXPECT_EQ(result.output, screen::instructions + screen::identity("ZML-4C08", "105") +
                                 screen::menu_choice + screen::shown_default + screen::menu_choice);
    EXPECT_EQ(hex(emulator::snapshot(*line).received),
              hex(kit::concat({kit::type_request, kit::firmware_request, kit::read_request})));

    // Three bytes of the firmware reply, then silence.
    line.reset();
    line = start_line(high_port, {.faults = {{.kind = FaultKind::short_reply, .request = 1, .count = 5}}});
    const std::filesystem::path trace = kit::own_directory() / "trace.txt";
    result = run_with({"--port", high_name, "--trace", file_argument(trace)});
    EXPECT_EQ(result.output, screen::instructions + screen::separator + "\n\n Typ ovladace:    ZML-4C08" +
                                 screen::failure_end);
    const std::string lines = trace_lines(trace);
    EXPECT_TRUE(lines.starts_with("zumel-config 0.0.0.1, trace started ")) << lines;
    EXPECT_EQ(lines.substr(lines.find('\n') + 1),
              port_as_named(high_port) +
                  " opened: 9600 Bd, 8 data bits, odd parity, 1 stop bit, no flow control\n" + high_name +
                  " sent 4 bytes: FF 28 59 80\n" + high_name +
                  " received 12 bytes: FF 28 5A 4D 4C 2D 34 43 30 38 5A 80\n" + high_name +
                  " sent 4 bytes: FF 26 5B 80\n" + high_name +
                  " received 3 of 8 bytes, time-out after 1008 ms: FF 26 05\n" + high_name + " closed\n");
}

TEST(Ports, ARunThatIsKilledLeavesItsTraceAsFarAsItGot)
{
    SKIP_WHERE(platform.no_kill_mid_run);
    const std::filesystem::path cut = kit::own_directory() / "killed.txt";
    auto line = start_line(high_port);
    ProgramRun run = configurator_run("1\n", {"--port", high_name, "--trace", cut.string()});
    run.close_input = false; // it waits at the menu
    RunningProgram program = start_program(run);
    ASSERT_TRUE(emulator::wait_for_requests(*line, 3, std::chrono::milliseconds(5'000)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(program.pid, SIGKILL);
    finish_program(program);
    EXPECT_NE(contents(cut).find(high_name + " received 52 bytes: "), std::string::npos) << contents(cut);
}
