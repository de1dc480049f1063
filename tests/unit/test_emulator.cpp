// The emulator's own logic: controllers that come and go on one line, told
// apart by the type each names.

#include <gtest/gtest.h>

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
