#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "protocol/frames.hpp"
#include "tests/support/scripted_line.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

const char* const no_response = "\n\n Error: ovladac neodpovida \n";

Bytes filled(std::size_t length, std::uint8_t value)
{
    return Bytes(length, value);
}

class Requests : public ::testing::Test {
  protected:
    void SetUp() override
    {
        reset_scripted_line();
        ::testing::internal::CaptureStdout();
    }
    std::string screen()
    {
        std::fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }
};

} // namespace

TEST(Checksum, FixedRequestsCarryTheirChecksums)
{
    struct Case {
        Bytes frame;
        std::uint8_t checksum;
    };
    const Case cases[] = {
        {{0xFF, 0x28, 0}, 0x59}, {{0xFF, 0x26, 0}, 0x5B}, {{0xFF, 0x30, 0x56, 0}, 0x7B},
        {{0xFF, 0}, 0x01},       {{0x00, 0}, 0x00},
    };
    for (auto c : cases) {
        const auto n = static_cast<std::uint8_t>(c.frame.size() - 1);
        compute_checksum(c.frame.data(), n);
        EXPECT_EQ(c.frame[n], c.checksum) << "frame of " << int{n} << " bytes";
    }
}

TEST(Checksum, FrameSumsToAMultipleOf128AndTouchesOnlyItsPosition)
{
    Bytes frame(256, 0xAA);
    for (std::size_t i = 0; i < 255; ++i) {
        frame[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    for (unsigned n : {1U, 2U, 50U, 254U, 255U}) {
        Bytes copy = frame;
        compute_checksum(copy.data(), static_cast<std::uint8_t>(n));
        EXPECT_LE(copy[n], 0x7F);
        const unsigned sum = std::accumulate(copy.begin(), copy.begin() + n + 1, 0U);
        EXPECT_EQ(sum % 128, 0U) << "n = " << n;
        copy[n] = frame[n];
        EXPECT_EQ(copy, frame) << "only position " << n << " may change";
    }
}

TEST(WriteFrame, LaysOutTheConfigurationZerosChecksumAndEnd)
{
    struct Case {
        ConfigurationBytes configuration;
        std::uint8_t checksum;
    };
    const Case cases[] = {
        {{0x01, 0x00, 0x74, 0x78, 0x00, 0x7C}, 0x42},
        {{0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D}, 0x34},
        {{0x01, 0x02, 0x7F, 0x7E, 0x48, 0x7F}, 0x64},
    };
    for (const auto& c : cases) {
        const auto frame = build_write_frame(c.configuration);
        Bytes expected{0xFF, 0x56};
        expected.insert(expected.end(), c.configuration.begin(), c.configuration.end());
        expected.insert(expected.end(), 42, 0x00);
        expected.push_back(c.checksum);
        expected.push_back(0x80);
        EXPECT_EQ(Bytes(frame.begin(), frame.end()), expected);
    }
}

TEST_F(Requests, EachRequestWritesItsFrameAndAsksForItsReplyLengthOnce)
{
    give_reply({0xFF, 0x28, 'A', 'B', 'C', '1', '2', '3', '4', '5', 0x00, 0x80});
    give_reply({0xFF, 0x26, 5, 1, 0, 0, 0, 0x80});
    Bytes read_reply = filled(52, 0);
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
    EXPECT_EQ(Bytes(fetched.begin(), fetched.end()), configuration);

    Bytes expected{0xFF, 0x28, 0x59, 0x80, 0xFF, 0x26, 0x5B, 0x80, 0xFF, 0x30, 0x56, 0x7B, 0x80};
    const auto frame = build_write_frame({0x01, 0x00, 0x74, 0x78, 0x00, 0x7C});
    expected.insert(expected.end(), frame.begin(), frame.end());
    EXPECT_EQ(scripted_line().written, expected);
    EXPECT_EQ(scripted_line().read_sizes, (std::vector<std::size_t>{12, 8, 52, 4}));
    EXPECT_EQ(screen(), "");
}

TEST_F(Requests, AShortReplyFailsWithOneMessage)
{
    struct Case {
        const char* name;
        std::size_t arrives;
        int (*request)();
        std::size_t full_length;
    };
    const Case cases[] = {
        {"type, 11 of 12", 11,
         [] {
             ControllerType t;
             return identify_controller(t);
         },
         12},
        {"type, nothing", 0,
         [] {
             ControllerType t;
             return identify_controller(t);
         },
         12},
        {"firmware, 7 of 8", 7,
         [] {
             FirmwareVersion v;
             return query_firmware_version(v);
         },
         8},
        {"read, 51 of 52", 51,
         [] {
             ConfigurationBytes c;
             return fetch_configuration(c);
         },
         52},
        {"write, 3 of 4", 3,
         [] {
             return store_configuration({1, 0, 0x74, 0x78, 0, 0x7C});
         },
         4},
    };
    for (const auto& c : cases) {
        reset_scripted_line();
        give_reply(filled(c.arrives, 0x55));
        EXPECT_EQ(c.request(), 0) << c.name;
        EXPECT_EQ(scripted_line().read_sizes.size(), 1U) << c.name << ": nothing is retried";
        EXPECT_EQ(screen(), no_response) << c.name;
        ::testing::internal::CaptureStdout();
    }
}

TEST_F(Requests, BytesBeyondAReplyStartTheNextOne)
{
    // 13 bytes to the type request: the last one becomes byte 0 of the
    // firmware reply, shifting it by one.
    Bytes type_reply = filled(13, 'T');
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
