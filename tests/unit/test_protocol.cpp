// Frames, checksum, requests and the settings codec, against a scripted line.

#include <gtest/gtest.h>

#include <cstdio>
#include <numeric>

#include "frames.hpp"
#include "kit.hpp"
#include "scripted_line.hpp"
#include "settings.hpp"

namespace {

using kit::Bytes;
using kit::hex;

ControllerSettings make(unsigned address, unsigned baud, unsigned button, unsigned bridge, unsigned led,
                        unsigned led_write, unsigned divider, unsigned pwm)
{
    return {address, baud, button, bridge, led, led_write, divider, pwm};
}

// What the requests print goes to a file the test reads back.
class Requests : public ::testing::Test {
  protected:
    void SetUp() override
    {
        reset_scripted_line();
        messages = std::tmpfile();
        ASSERT_NE(messages, nullptr);
        report_no_response_to(messages);
    }
    void TearDown() override
    {
        report_no_response_to(stdout);
        std::fclose(messages);
    }
    std::string printed()
    {
        std::string text(static_cast<std::size_t>(std::ftell(messages)), '\0');
        std::rewind(messages);
        text.resize(std::fread(text.data(), 1, text.size(), messages));
        std::rewind(messages);
        return text;
    }
    std::FILE* messages = nullptr;
};

} // namespace

TEST(Checksum, IsTheNegatedSumInSevenBitsAndTouchesOnlyItsPosition)
{
    const std::pair<Bytes, std::uint8_t> fixed[] = {
        {{0xFF, 0x28, 0}, 0x59}, {{0xFF, 0x26, 0}, 0x5B}, {{0xFF, 0x30, 0x56, 0}, 0x7B}, {{0xFF, 0}, 0x01}};
    for (auto [frame, checksum] : fixed) {
        const auto n = static_cast<std::uint8_t>(frame.size() - 1);
        compute_checksum(frame.data(), n);
        EXPECT_EQ(frame[n], checksum) << hex(frame);
    }
    Bytes frame(256, 0xAA);
    for (std::size_t i = 0; i < 255; ++i) {
        frame[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    for (unsigned n : {1U, 50U, 255U}) {
        Bytes copy = frame;
        compute_checksum(copy.data(), static_cast<std::uint8_t>(n));
        EXPECT_EQ(std::accumulate(copy.begin(), copy.begin() + n + 1, 0U) % 128, 0U) << n;
        EXPECT_LE(copy[n], 0x7F);
        copy[n] = frame[n];
        EXPECT_EQ(copy, frame) << "only position " << n << " may change";
    }
}

TEST(WriteFrame, LaysOutTheConfigurationZerosChecksumAndEnd)
{
    const std::pair<ConfigurationBytes, std::uint8_t> cases[] = {
        {{0x01, 0x00, 0x74, 0x78, 0x00, 0x7C}, 0x42},
        {{0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D}, 0x34},
        {{0x01, 0x02, 0x7F, 0x7E, 0x48, 0x7F}, 0x64},
    };
    for (const auto& [configuration, checksum] : cases) {
        const auto frame = build_write_frame(configuration);
        Bytes expected{0xFF, 0x56};
        expected.insert(expected.end(), configuration.begin(), configuration.end());
        expected.insert(expected.end(), 42, 0x00);
        expected.insert(expected.end(), {checksum, 0x80});
        EXPECT_EQ(hex(frame), hex(expected));
    }
}

TEST_F(Requests, EachWritesItsFrameAndReadsItsReplyLengthOnce)
{
    give_reply({0xFF, 0x28, 'A', 'B', 'C', '1', '2', '3', '4', '5', 0x00, 0x80});
    give_reply({0xFF, 0x26, 5, 1, 0, 0, 0, 0x80});
    Bytes read_reply(52, 0);
    const Bytes configuration{0x7F, 0x01, 0xFF, 0xFF, 0xFF, 0xFF};
    std::copy(configuration.begin(), configuration.end(), read_reply.begin() + 2);
    give_reply(read_reply);
    give_reply({0xDE, 0xAD, 0xBE, 0xEF}); // any four bytes acknowledge a write

    ControllerType type;
    FirmwareVersion version;
    ConfigurationBytes fetched{};
    ASSERT_EQ(identify_controller(type), 1);
    ASSERT_EQ(query_firmware_version(version), 1);
    ASSERT_EQ(fetch_configuration(fetched), 1);
    ASSERT_EQ(store_configuration({0x01, 0x00, 0x74, 0x78, 0x00, 0x7C}), 1);

    EXPECT_EQ(std::string(type.characters.begin(), type.characters.end()), "ABC12345");
    EXPECT_EQ(version.high, 1);
    EXPECT_EQ(version.low, 5);
    EXPECT_EQ(hex(fetched), hex(configuration));
    EXPECT_EQ(hex(scripted_line().written),
              hex(kit::concat({kit::type_request, kit::firmware_request, kit::read_request,
                               kit::write_frame({0x01, 0x00, 0x74, 0x78, 0x00, 0x7C})})));
    EXPECT_EQ(scripted_line().read_sizes, (std::vector<std::size_t>{12, 8, 52, 4}));
    EXPECT_EQ(printed(), "");
}

TEST_F(Requests, AShortReplyFailsWithOneMessageAndLeftOverBytesStartTheNext)
{
    using Request = int (*)();
    const std::tuple<const char*, std::size_t, Request> cases[] = {
        {"type, 11 of 12", 11,
         [] {
             ControllerType t;
             return identify_controller(t);
         }},
        {"type, nothing", 0,
         [] {
             ControllerType t;
             return identify_controller(t);
         }},
        {"firmware, 7 of 8", 7,
         [] {
             FirmwareVersion v;
             return query_firmware_version(v);
         }},
        {"read, 51 of 52", 51,
         [] {
             ConfigurationBytes c;
             return fetch_configuration(c);
         }},
        {"write, 3 of 4", 3,
         [] {
             return store_configuration({1, 0, 0x74, 0x78, 0, 0x7C});
         }},
    };
    for (const auto& [name, arrives, request] : cases) {
        reset_scripted_line();
        give_reply(Bytes(arrives, 0x55));
        EXPECT_EQ(request(), 0) << name;
        EXPECT_EQ(scripted_line().read_sizes.size(), 1U) << name << ": nothing is retried";
        EXPECT_EQ(printed(), "\n\n Error: ovladac neodpovida \n") << name;
    }

    // 13 bytes to the type request: the last one becomes byte 0 of the
    // firmware reply, shifting it by one.
    reset_scripted_line();
    Bytes type_reply(13, 'T');
    type_reply[12] = 0xEE;
    give_reply(type_reply);
    give_reply({0xFF, 0x26, 7, 2, 0, 0, 0, 0x80});
    ControllerType type;
    FirmwareVersion version;
    ASSERT_EQ(identify_controller(type), 1);
    ASSERT_EQ(query_firmware_version(version), 1);
    EXPECT_EQ(version.low, 0x26);
    EXPECT_EQ(version.high, 7);
    EXPECT_EQ(scripted_line().incoming, Bytes{0x80});
}

TEST(SettingsCodec, KnownEncodingsAndDecodingsIgnoreUnusedBits)
{
    const std::pair<ControllerSettings, ConfigurationBytes> encodings[] = {
        {make(1, 0, 0, 0, 0, 0, 0, 0), {0x01, 0x00, 0x74, 0x78, 0x00, 0x7C}},
        {make(1, 2, 3, 1, 2, 1, 200, 1), {0x01, 0x02, 0x7F, 0x7E, 0x48, 0x7F}},
        {make(63, 3, 3, 1, 3, 1, 255, 1), {0x3F, 0x03, 0x7F, 0x7F, 0x7F, 0x7F}},
        {make(10, 2, 1, 0, 1, 0, 128, 0), {0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D}},
    };
    for (const auto& [settings, bytes] : encodings) {
        EXPECT_EQ(hex(encode_settings(settings)), hex(bytes));
    }
    const std::pair<ConfigurationBytes, ControllerSettings> decodings[] = {
        {{0x7F, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}, make(63, 1, 3, 1, 3, 1, 255, 1)},
        {{0xC0, 0x05, 0xF4, 0xF8, 0x80, 0xFC}, make(0, 5, 0, 0, 0, 0, 0, 0)},
        {{0x01, 0xFF, 0x00, 0x00, 0x00, 0x00}, make(1, 255, 0, 0, 0, 0, 0, 0)},
    };
    for (const auto& [bytes, settings] : decodings) {
        EXPECT_EQ(decode_settings(bytes), settings) << hex(bytes);
    }
}

// Every combination within the ranges survives a round trip, and every byte
// that goes on the line keeps its top bit clear.
TEST(SettingsCodec, RoundTripOverTheWholeRange)
{
    std::array<unsigned, 8> value{};
    std::size_t checked = 0;
    ControllerSettings s;
    for (std::size_t i = 0; i < 8; ++i) {
        value[i] = setting_fields[i].lowest;
    }
    for (;;) {
        for (std::size_t i = 0; i < 8; ++i) {
            s.*setting_fields[i].member = value[i];
        }
        const ConfigurationBytes bytes = encode_settings(s);
        ASSERT_LT(*std::max_element(bytes.begin(), bytes.end()), 0x80) << hex(bytes);
        ASSERT_EQ(decode_settings(bytes), s) << hex(bytes);
        ++checked;
        std::size_t i = 0;
        while (i < 8 && value[i] == setting_fields[i].highest) {
            value[i] = setting_fields[i].lowest;
            ++i;
        }
        if (i == 8) {
            break;
        }
        ++value[i];
    }
    EXPECT_EQ(checked, 63U * 4 * 4 * 2 * 4 * 2 * 256 * 2);
}
