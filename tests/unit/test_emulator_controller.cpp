#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "emulator/controller.hpp"

namespace {

using namespace emulator;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

const Bytes type_request{0xFF, 0x28, 0x59, 0x80};
const Bytes firmware_request{0xFF, 0x26, 0x5B, 0x80};
const Bytes read_request{0xFF, 0x30, 0x56, 0x7B, 0x80};

Bytes write_request(const Configuration& configuration, std::uint8_t checksum)
{
    Bytes frame{0xFF, 0x56};
    frame.insert(frame.end(), configuration.begin(), configuration.end());
    frame.resize(50, 0x00);
    frame.insert(frame.end(), {checksum, 0x80});
    return frame;
}

Bytes sent(const Response& response)
{
    Bytes bytes;
    for (const Action& action : response.actions)
        bytes.insert(bytes.end(), action.bytes.begin(), action.bytes.end());
    return bytes;
}

std::vector<Response> feed_all(Controller& controller, const Bytes& bytes)
{
    return feed(controller, bytes, 0us);
}

TEST(EmulatorController, AnswersEachRequestWithAWellFormedReply)
{
    const ControllerSetup setup{.type = {'A', 'B', 'C', '-', '1', '2', '3', '4'},
                                .firmware_high = 2,
                                .firmware_low = 17,
                                .configuration = {0x01, 0x00, 0x74, 0x78, 0x00, 0x7C}};
    const struct {
        const char* name;
        Bytes request;
        std::size_t length;
        Bytes payload; // bytes from position 2 on
    } cases[] = {
        {"type", type_request, 12, {'A', 'B', 'C', '-', '1', '2', '3', '4'}},
        {"firmware", firmware_request, 8, {17, 2, 0, 0}},
        {"read", read_request, 52, {0x01, 0x00, 0x74, 0x78, 0x00, 0x7C, 0, 0}},
        {"write", write_request(setup.configuration, 0x42), 4, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Controller controller = make_controller(setup);
        const auto responses = feed_all(controller, c.request);
        ASSERT_EQ(responses.size(), 1u);
        const Bytes reply = sent(responses[0]);
        ASSERT_EQ(reply.size(), c.length);
        EXPECT_EQ(reply, responses[0].reply);
        EXPECT_EQ(reply[0], 0xFF);
        EXPECT_EQ(reply[1], c.request[1]);
        EXPECT_EQ(reply.back(), 0x80);
        EXPECT_EQ(std::accumulate(reply.begin(), reply.end() - 1, 0u) % 128, 0u);
        EXPECT_TRUE(std::equal(c.payload.begin(), c.payload.end(), reply.begin() + 2));
        EXPECT_EQ(controller.requests.size(), 1u);
        EXPECT_EQ(controller.requests[0].frame, c.request);
        EXPECT_EQ(total(controller.errors), 0u);
    }
}

TEST(EmulatorController, WrittenConfigurationIsReadBack)
{
    Controller controller = make_controller({});
    feed_all(controller, write_request({0x01, 0x00, 0x74, 0x78, 0x00, 0x7C}, 0x42));
    const auto responses = feed_all(controller, read_request);
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(Bytes(responses[0].reply.begin() + 2, responses[0].reply.begin() + 8),
              (Bytes{0x01, 0x00, 0x74, 0x78, 0x00, 0x7C}));
}

TEST(EmulatorController, ResynchronisesAfterBadInput)
{
    const struct {
        const char* name;
        Bytes input;
        ProtocolErrors errors;
    } cases[] = {
        {"garbage first", {0x00, 0x41, 0x7F}, {.stray_bytes = 3}},
        {"bad checksum", {0xFF, 0x28, 0x58, 0x80}, {.stray_bytes = 3, .bad_checksum = 1}},
        {"unknown command", {0xFF, 0x11, 0x22}, {.stray_bytes = 2, .unknown_command = 1}},
        {"doubled start byte", {0xFF}, {.unknown_command = 1}},
        {"wrong end byte", {0xFF, 0x28, 0x59, 0x00}, {.stray_bytes = 3, .bad_frame = 1}},
        {"abandoned frame", {0xFF, 0x30}, {.stray_bytes = 1, .bad_frame = 1}},
        {"write frame cut short", {0xFF, 0x56, 0x01, 0x02}, {.stray_bytes = 3, .bad_frame = 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Controller controller = make_controller({});
        Bytes input = c.input;
        input.insert(input.end(), type_request.begin(), type_request.end());
        const auto responses = feed_all(controller, input);
        ASSERT_EQ(responses.size(), 1u);
        EXPECT_EQ(sent(responses[0]).size(), 12u);
        EXPECT_EQ(controller.received, input);
        EXPECT_EQ(controller.errors.stray_bytes, c.errors.stray_bytes);
        EXPECT_EQ(controller.errors.unknown_command, c.errors.unknown_command);
        EXPECT_EQ(controller.errors.bad_frame, c.errors.bad_frame);
        EXPECT_EQ(controller.errors.bad_checksum, c.errors.bad_checksum);
    }
}

TEST(EmulatorController, AssemblesFramesAcrossFeeds)
{
    const Bytes write = write_request({0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D}, 0x34);
    for (std::size_t chunk : {1u, 3u, 51u}) {
        SCOPED_TRACE(chunk);
        Controller controller = make_controller({});
        std::vector<Response> responses;
        for (std::size_t offset = 0; offset < write.size(); offset += chunk) {
            EXPECT_TRUE(responses.empty());
            const std::size_t length = std::min(chunk, write.size() - offset);
            responses = feed(controller, std::span(write).subspan(offset, length), 0us);
        }
        ASSERT_EQ(responses.size(), 1u);
        EXPECT_EQ(sent(responses[0]).size(), 4u);
    }

    Controller controller = make_controller({});
    Bytes two = read_request;
    two.insert(two.end(), firmware_request.begin(), firmware_request.end());
    const auto responses = feed_all(controller, two);
    ASSERT_EQ(responses.size(), 2u);
    EXPECT_EQ(sent(responses[0]).size(), 52u);
    EXPECT_EQ(sent(responses[1]).size(), 8u);
}

TEST(EmulatorController, IgnoresRequestsOnAWronglySetLine)
{
    Controller controller = make_controller({});
    const auto responses =
        feed(controller, write_request({0x01, 0x00, 0x74, 0x78, 0x00, 0x7C}, 0x42), 0us, "IXON set");
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_TRUE(responses[0].actions.empty());
    EXPECT_EQ(controller.requests[0].line_problems, "IXON set");
    EXPECT_EQ(controller.configuration, ControllerSetup{}.configuration);
}

struct Sent {
    Microseconds at;
    Bytes bytes;
    bool hang_up = false;
};

// Three type requests a second apart; the fault hits the second.
TEST(EmulatorController, AppliesFaults)
{
    const Bytes reply{0xFF, 0x28, 'Z', 'M', 'L', '-', '4', 'C', '0', '8', 0x5A, 0x80};
    auto head = [&reply](std::size_t n) { return Bytes(reply.begin(), reply.begin() + n); };
    auto tail = [&reply](std::size_t from) { return Bytes(reply.begin() + from, reply.end()); };
    Bytes extended = reply;
    extended.insert(extended.end(), {0x01, 0x02});

    const struct {
        const char* name;
        Fault fault;
        std::vector<Sent> second;
        bool others_plain = true;
    } cases[] = {
        {"silent", {.kind = FaultKind::silent, .request = 1}, {}},
        {"short", {.kind = FaultKind::short_reply, .request = 1, .count = 3}, {{0ms, head(9)}}},
        {"extra", {.kind = FaultKind::extra_bytes, .request = 1, .bytes = {1, 2}}, {{0ms, extended}}},
        {"replace", {.kind = FaultKind::replace_reply, .request = 1, .bytes = {0xFF, 0}}, {{0ms, {0xFF, 0}}}},
        {"pieces",
         {.kind = FaultKind::pieces, .request = 1, .count = 5, .delay_ms = 20, .first_delay_ms = 10},
         {{10ms, head(5)}, {30ms, Bytes(reply.begin() + 5, reply.begin() + 10)}, {50ms, tail(10)}}},
        {"delay", {.kind = FaultKind::delay, .request = 1, .delay_ms = 100}, {{100ms, reply}}},
        {"hang up", {.kind = FaultKind::hang_up, .request = 1}, {{0ms, {}, true}}, false},
        {"hang up after reply",
         {.kind = FaultKind::hang_up_after_reply, .request = 1, .delay_ms = 5},
         {{0ms, reply}, {5ms, {}, true}},
         false},
        {"always", {.kind = FaultKind::short_reply, .always = true, .count = 1}, {{0ms, head(11)}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Controller controller = make_controller({.faults = {c.fault}});
        std::vector<std::vector<Response>> outputs;
        for (Microseconds t : {0s, 1s, 2s})
            outputs.push_back(feed(controller, type_request, t));

        ASSERT_EQ(outputs[1].size(), 1u);
        const std::vector<Action>& actions = outputs[1][0].actions;
        ASSERT_EQ(actions.size(), c.second.size());
        for (std::size_t i = 0; i < actions.size(); ++i) {
            EXPECT_EQ(actions[i].at, 1s + c.second[i].at);
            EXPECT_EQ(actions[i].bytes, c.second[i].bytes);
            EXPECT_EQ(actions[i].hang_up, c.second[i].hang_up);
        }
        if (c.others_plain) {
            EXPECT_EQ(sent(outputs[0][0]), reply);
            EXPECT_EQ(sent(outputs[2][0]), reply);
        }
        if (!actions.empty() && actions.back().hang_up) {
            EXPECT_TRUE(outputs[2].empty()); // nobody left to answer
        }
    }
}

TEST(EmulatorController, PacesAtWireSpeed)
{
    constexpr Microseconds byte_time{1146};
    Controller controller = make_controller({.byte_time_us = 1146});

    // A request is complete once its last byte could have crossed the line,
    // or when it actually came, whichever is later.
    auto first = feed(controller, read_request, 0us);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(first[0].actions.size(), 52u);
    for (std::size_t i = 0; i < 52; ++i) {
        EXPECT_EQ(first[0].actions[i].at, byte_time * static_cast<int>(4 + i));
        EXPECT_EQ(first[0].actions[i].bytes.size(), 1u);
    }

    // Sent before the first reply is out: it waits for the line.
    auto second = feed(controller, type_request, 10ms);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].actions.front().at, byte_time * 56);

    feed(controller, Bytes{0xFF}, 1s);
    auto third = feed(controller, Bytes{0x26, 0x5B, 0x80}, 2s);
    ASSERT_EQ(third.size(), 1u);
    EXPECT_EQ(third[0].actions.front().at, 2s);
}

} // namespace
