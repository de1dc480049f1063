// The emulator's own logic: controllers that come and go on one line, told
// apart by the type each names.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "kit.hpp"
#include "pty_line.hpp"

namespace {

using emulator::Fault;
using emulator::FaultKind;
using emulator::Visit;
using kit::Bytes;
using kit::hex;

// Types ZML-4C0A, ZML-4C0B and ZML-4C0C; configurations that differ too.
std::vector<emulator::ControllerSetup> three_controllers()
{
    std::vector<emulator::ControllerSetup> setups(3);
    for (std::size_t i = 0; i < setups.size(); ++i) {
        setups[i].type[7] = static_cast<char>('A' + i);
        setups[i].configuration[0] = static_cast<std::uint8_t>(0x0A + i);
    }
    return setups;
}

emulator::Line make(const std::vector<emulator::ControllerSetup>& setups, const std::vector<Visit>& visits)
{
    std::string error;
    std::optional<emulator::Line> line = emulator::make_line(setups, visits, error);
    EXPECT_TRUE(line) << error;
    return line.value_or(emulator::Line{});
}

// One letter a type request, one request at a time: the last of the type
// that came back, '-' for a controller that kept quiet, '.' for nobody.
std::string answers(emulator::Line& line, std::size_t requests)
{
    std::string letters;
    for (std::size_t i = 0; i < requests; ++i) {
        for (const emulator::Response& response : emulator::feed(line, kit::type_request, {})) {
            if (!line.requests[response.request].controller) {
                EXPECT_TRUE(response.actions.empty());
                letters += '.';
            } else {
                letters += response.reply.size() < 10 ? '-' : static_cast<char>(response.reply[9]);
            }
        }
    }
    return letters;
}

} // namespace

TEST(Visits, EachRequestReachesTheControllerConnectedThenOrNobody)
{
    const struct {
        std::vector<Visit> visits;
        std::vector<Fault> faults_a;
        std::vector<Fault> faults_b;
        std::string expected;
    } cases[] = {
        {{}, {}, {}, "AAAAAAAA"},
        {{{0, 2, 1}, {1, 2, 2}, {0, 0, 0}}, {}, {}, "AA.BB..A"},
        {{{1, 2, 0}, {2, 1, 0}}, {}, {}, "BBC....."},
        {{{0, 1, 0}, {1, 0, 0}}, {}, {}, "ABBBBBBB"},
        {{{2, 0, 0}}, {}, {}, "CCCCCCCC"},
        {{{0, 3, 2}}, {}, {}, "AAA....."},
        // Each counts its own requests for its faults.
        {{{0, 2, 0}, {1, 2, 1}, {0, 0, 0}},
         {{.kind = FaultKind::silent, .request = 2}},
         {{.kind = FaultKind::silent, .request = 0}},
         "AA-B.-AA"},
        {{{0, 1, 1}, {0, 0, 0}}, {{.kind = FaultKind::silent, .request = 1}}, {}, "A.-AAAAA"},
        // A hang-up ends the line for all.
        {{{0, 1, 0}, {1, 0, 0}}, {}, {{.kind = FaultKind::hang_up, .request = 1}}, "AB-"},
    };
    for (const auto& c : cases) {
        std::vector<emulator::ControllerSetup> setups = three_controllers();
        setups[0].faults = c.faults_a;
        setups[1].faults = c.faults_b;
        emulator::Line line = make(setups, c.visits);
        EXPECT_EQ(answers(line, 8), c.expected);

        // Every request is on the line's list, each also on its
        // controller's, stamped there when its reply leaves.
        ASSERT_EQ(line.requests.size(), c.expected.size());
        std::vector<std::size_t> seen(3, 0);
        for (std::size_t i = 0; i < line.requests.size(); ++i) {
            emulator::mark_answered(line, i, emulator::Microseconds(100 + i));
        }
        for (const emulator::Request& request : line.requests) {
            if (request.controller) {
                const std::size_t own = seen[*request.controller]++;
                ASSERT_LT(own, line.controllers[*request.controller].requests.size()) << c.expected;
                EXPECT_EQ(line.controllers[*request.controller].requests[own].answered, request.answered)
                    << c.expected;
            }
        }
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(line.controllers[i].requests.size(), seen[i]) << c.expected;
        }
    }
}

// Unplugged by hand (from a shell), nobody answers and the visits wait.
TEST(Visits, AControllerUnpluggedByHandAnswersNothingAndTheVisitsWait)
{
    emulator::Line line = make(three_controllers(), {{0, 2, 1}, {1, 0, 0}});
    EXPECT_EQ(answers(line, 1), "A");
    line.unplugged = true;
    EXPECT_EQ(answers(line, 2), "..");
    line.unplugged = false;
    EXPECT_EQ(answers(line, 4), "A.BB");
}

// The emulator judges the configurator's line settings in every end-to-end
// session; its judgement must be trusted.
TEST(EmulatorLine, NamesWrongLineSettings)
{
    termios right{};
    cfmakeraw(&right);
    right.c_cflag |= CS8 | PARODD | CREAD | CLOCAL; // a pty drops PARENB
    cfsetispeed(&right, B9600);
    cfsetospeed(&right, B9600);
    EXPECT_EQ(emulator::line_setting_problems(right), "");
    termios wrong = right;
    wrong.c_cflag = (wrong.c_cflag & ~(CSIZE | PARODD)) | CS7 | CSTOPB | CRTSCTS;
    wrong.c_iflag |= IXON | ICRNL;
    wrong.c_lflag |= ICANON;
    wrong.c_oflag |= OPOST;
    cfsetspeed(&wrong, B19200);
    EXPECT_EQ(emulator::line_setting_problems(wrong),
              "input speed not 9600, output speed not 9600, not 8 data bits, PARODD clear, CSTOPB set, "
              "CRTSCTS set, IXON set, ICRNL set, ICANON set, OPOST set");
}

namespace {

// A client of the emulator's line: the slave opened and set to 9600 8O1.
int open_client(const std::filesystem::path& port)
{
    // Not blocking: a read after a flush must not wait.
    const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios line{};
    tcgetattr(fd, &line);
    cfmakeraw(&line);
    line.c_cflag |= CS8 | PARENB | PARODD | CREAD | CLOCAL;
    cfsetspeed(&line, B9600);
    tcsetattr(fd, TCSANOW, &line);
    return fd;
}

// What waits in the client's input after up to `wait_ms`.
std::string waiting_for(int fd, int wait_ms)
{
    pollfd input{fd, POLLIN, 0};
    Bytes bytes(64);
    if (poll(&input, 1, wait_ms) != 1) {
        return "";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the rest of the reply
    const ssize_t count = read(fd, bytes.data(), bytes.size());
    bytes.resize(static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
    return hex(bytes);
}

} // namespace

// Two stations on one port: the one that opens it and goes again, refused,
// must leave the holder's session as it is, its replies and what waits
// unread; the holder's own close still ends the session.
TEST(EmulatorLine, AClientThatComesAndGoesLeavesTheHoldersSessionAlone)
{
    const std::filesystem::path port = kit::own_directory() / "sessions" / "ttyS0";
    std::string error;
    emulator::PtyLineHandle line = emulator::start_pty_line(port, emulator::ControllerSetup{}, error);
    ASSERT_TRUE(line) << error;
    const std::string reply = "FF 28 5A 4D 4C 2D 34 43 30 38 5A 80";
    // Opened at once: the kernel tells the two opens as one event.
    const int holder = open_client(port);
    close(open_client(port));
    ASSERT_EQ(write(holder, kit::type_request.data(), 4), 4);
    EXPECT_EQ(waiting_for(holder, 2000), reply) << "the holder's replies still reach it";

    ASSERT_EQ(write(holder, kit::type_request.data(), 4), 4);
    ASSERT_TRUE(emulator::wait_for_requests(*line, 2, std::chrono::milliseconds(2000)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the reply is in the holder's input
    for (int i = 0; i < 3; ++i) {
        close(open_client(port));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the emulator has seen them go
    EXPECT_EQ(waiting_for(holder, 0), reply) << "what waits for the holder stays";

    ASSERT_EQ(write(holder, kit::type_request.data(), 4), 4);
    ASSERT_TRUE(emulator::wait_for_requests(*line, 3, std::chrono::milliseconds(2000)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    close(holder);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int next = open_client(port);
    EXPECT_EQ(waiting_for(next, 100), "") << "the holder's unread reply went with its session";
    close(next);
}

// A refused command line names the argument and why, then the usage and
// where to read more; nothing is made.
TEST(EmulatorProgram, NamesTheArgumentItRefuses)
{
    const std::string port = (kit::own_directory() / "refused" / "ttyS0").string();
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{port, "--type", "abc"}, "--type abc: expected eight printable characters"},
        {{port, "--firmware", "1.200"}, "--firmware 1.200: expected version as HIGH.LOW, each 0..127"},
        {{port, "--visits", "0:1:1"}, "--visits 0:1:1: expected N:STAYS:ABSENT,... with N 1..99"},
        {{port, "--config"},
         "--config needs a value: six configuration bytes as 12 hex digits, each byte 00..7F"},
        {{port, "--typ", "ZML-4C08"}, "unknown option --typ"},
        {{port, port}, "a second LINK_PATH " + port + ": one emulator makes one port"},
        {{"--log"}, "no LINK_PATH: the port's path to make"},
    };
    for (const auto& [arguments, reason] : cases) {
        ProgramRun run{.command = {kit::emulator_program()}};
        run.command.insert(run.command.end(), arguments.begin(), arguments.end());
        const ProgramResult result = run_program(run);
        EXPECT_EQ(result.exit_code, 2) << reason;
        EXPECT_TRUE(
            result.errors.starts_with("zumel-emulator: " + reason + "\nusage: zumel-emulator LINK_PATH "))
            << result.errors;
        EXPECT_TRUE(result.errors.ends_with("]\nzumel-emulator --help tells more.\n")) << result.errors;
        EXPECT_EQ(result.output, "");
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(port).parent_path()));
}
