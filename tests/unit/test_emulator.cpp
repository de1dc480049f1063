// The emulator judges the configurator's frames and line settings; these
// tests make sure its judgement can be trusted.

#include <gtest/gtest.h>

#include <numeric>

#include "kit.hpp"
#include "pty_line.hpp"

namespace {

using namespace emulator;
using namespace std::chrono_literals;
using kit::Bytes;

Bytes sent(const Response& response)
{
    Bytes bytes;
    for (const Action& action : response.actions) {
        bytes.insert(bytes.end(), action.bytes.begin(), action.bytes.end());
    }
    return bytes;
}

} // namespace

TEST(EmulatorController, AnswersWellFormedAndKeepsWhatIsWritten)
{
    const ControllerSetup setup{.type = {'A', 'B', 'C', '-', '1', '2', '3', '4'},
                                .firmware_high = 2,
                                .firmware_low = 17,
                                .faults = {{.kind = FaultKind::ignore_write, .request = 3}}};
    Controller controller = make_controller(setup);
    const std::tuple<Bytes, Bytes, std::size_t> exchanges[] = {
        {kit::type_request, {0xFF, 0x28, 'A', 'B', 'C', '-', '1', '2', '3', '4'}, 12},
        {kit::firmware_request, {0xFF, 0x26, 17, 2, 0, 0}, 8},
        {kit::write_frame({0x01, 0x00, 0x74, 0x78, 0x00, 0x7C}), {0xFF, 0x56}, 4},
        {kit::write_frame({0x3F, 0x03, 0x7F, 0x7F, 0x7F, 0x7F}), {0xFF, 0x56}, 4}, // ignored
        {kit::read_request, {0xFF, 0x30, 0x01, 0x00, 0x74, 0x78, 0x00, 0x7C}, 52},
    };
    for (const auto& [request, start, length] : exchanges) {
        const auto responses = feed(controller, request, 0us);
        ASSERT_EQ(responses.size(), 1U) << kit::hex(request);
        const Bytes reply = sent(responses[0]);
        ASSERT_EQ(reply.size(), length);
        EXPECT_EQ(kit::hex(Bytes(reply.begin(), reply.begin() + static_cast<long>(start.size()))),
                  kit::hex(start));
        EXPECT_EQ(reply.back(), 0x80);
        EXPECT_EQ(std::accumulate(reply.begin(), reply.end() - 1, 0U) % 128, 0U);
    }
    EXPECT_EQ(controller.requests.size(), 5U);
    EXPECT_EQ(total(controller.errors), 0U);
}

TEST(EmulatorController, RefusesBadFramesAndFindsTheNextGoodOne)
{
    const std::pair<Bytes, ProtocolErrors> cases[] = {
        {{0x00, 0x41}, {.stray_bytes = 2}},
        {{0xFF, 0x28, 0x58, 0x80}, {.stray_bytes = 3, .bad_checksum = 1}},
        {{0xFF, 0x11}, {.stray_bytes = 1, .unknown_command = 1}},
        {{0xFF, 0x28, 0x59, 0x00}, {.stray_bytes = 3, .bad_frame = 1}},
        {{0xFF, 0x56, 0x01, 0x02}, {.stray_bytes = 3, .bad_frame = 1}},
    };
    for (const auto& [garbage, errors] : cases) {
        Controller controller = make_controller({});
        const auto responses = feed(controller, kit::concat({garbage, kit::type_request}), 0us);
        ASSERT_EQ(responses.size(), 1U) << kit::hex(garbage);
        EXPECT_EQ(sent(responses[0]).size(), 12U);
        EXPECT_EQ(controller.errors.stray_bytes, errors.stray_bytes) << kit::hex(garbage);
        EXPECT_EQ(controller.errors.unknown_command, errors.unknown_command) << kit::hex(garbage);
        EXPECT_EQ(controller.errors.bad_frame, errors.bad_frame) << kit::hex(garbage);
        EXPECT_EQ(controller.errors.bad_checksum, errors.bad_checksum) << kit::hex(garbage);
    }
    // A request on a wrongly set line is not understood.
    Controller controller = make_controller({});
    const auto responses = feed(controller, kit::write_frame({1, 0, 0x74, 0x78, 0, 0x7C}), 0us, "IXON set");
    ASSERT_EQ(responses.size(), 1U);
    EXPECT_TRUE(responses[0].actions.empty());
    EXPECT_EQ(controller.configuration, ControllerSetup{}.configuration);
}

TEST(EmulatorController, NamesWrongLineSettings)
{
    termios right{};
    cfmakeraw(&right);
    right.c_cflag |= CS8 | PARODD | CREAD | CLOCAL; // a pty drops PARENB
    cfsetispeed(&right, B9600);
    cfsetospeed(&right, B9600);
    EXPECT_EQ(line_setting_problems(right), "");
    termios wrong = right;
    wrong.c_cflag = (wrong.c_cflag & ~(CSIZE | PARODD)) | CS7 | CSTOPB | CRTSCTS;
    wrong.c_iflag |= IXON | ICRNL;
    wrong.c_lflag |= ICANON;
    wrong.c_oflag |= OPOST;
    cfsetspeed(&wrong, B19200);
    EXPECT_EQ(line_setting_problems(wrong),
              "input speed not 9600, output speed not 9600, not 8 data bits, PARODD clear, CSTOPB set, "
              "CRTSCTS set, IXON set, ICRNL set, ICANON set, OPOST set");
}

TEST(EmulatorController, FaultsAndPacingShapeTheReplyInTime)
{
    const Bytes reply{0xFF, 0x28, 'Z', 'M', 'L', '-', '4', 'C', '0', '8', 0x5A, 0x80};
    const auto part = [&reply](std::size_t from, std::size_t to) {
        return Bytes(reply.begin() + static_cast<long>(from), reply.begin() + static_cast<long>(to));
    };
    struct Sent {
        Microseconds at;
        Bytes bytes;
        bool hang_up = false;
    };
    const std::pair<Fault, std::vector<Sent>> cases[] = {
        {{.kind = FaultKind::silent}, {}},
        {{.kind = FaultKind::short_reply, .count = 3}, {{0ms, part(0, 9)}}},
        {{.kind = FaultKind::extra_bytes, .bytes = {1}}, {{0ms, kit::concat({reply, {1}})}}},
        {{.kind = FaultKind::replace_reply, .bytes = {0xFF}}, {{0ms, {0xFF}}}},
        {{.kind = FaultKind::pieces, .count = 5, .delay_ms = 20, .first_delay_ms = 10},
         {{10ms, part(0, 5)}, {30ms, part(5, 10)}, {50ms, part(10, 12)}}},
        {{.kind = FaultKind::delay, .delay_ms = 100}, {{100ms, reply}}},
        {{.kind = FaultKind::hang_up}, {{0ms, {}, true}}},
        {{.kind = FaultKind::hang_up_after_reply, .delay_ms = 5}, {{0ms, reply}, {5ms, {}, true}}},
    };
    for (const auto& [fault, expected] : cases) {
        Fault second = fault;
        second.request = 1;
        Controller controller = make_controller({.faults = {second}});
        EXPECT_EQ(sent(feed(controller, kit::type_request, 0s).at(0)), reply);
        const auto responses = feed(controller, kit::type_request, 1s);
        ASSERT_EQ(responses.size(), 1U);
        const std::vector<Action>& actions = responses[0].actions;
        ASSERT_EQ(actions.size(), expected.size()) << static_cast<int>(fault.kind);
        for (std::size_t i = 0; i < actions.size(); ++i) {
            EXPECT_EQ(actions[i].at, 1s + expected[i].at);
            EXPECT_EQ(actions[i].bytes, expected[i].bytes);
            EXPECT_EQ(actions[i].hang_up, expected[i].hang_up);
        }
        const bool hung_up = !actions.empty() && actions.back().hang_up;
        EXPECT_EQ(feed(controller, kit::type_request, 2s).size(), hung_up ? 0U : 1U);
    }

    // At wire speed a request is complete once its last byte could have
    // crossed the line, and a reply waits for the one before it.
    constexpr Microseconds byte_time{1146};
    Controller controller = make_controller({.byte_time_us = 1146});
    const auto first = feed(controller, kit::read_request, 0us);
    ASSERT_EQ(first.at(0).actions.size(), 52U);
    EXPECT_EQ(first[0].actions[0].at, byte_time * 4);
    EXPECT_EQ(first[0].actions[51].at, byte_time * 55);
    EXPECT_EQ(feed(controller, kit::type_request, 10ms).at(0).actions.front().at, byte_time * 56);
}
