// The checksum, the settings codec and the two rules a request goes by, on
// the in-process line. What goes on a real line, and what the replies are
// taken for, is proven end to end.

#include <gtest/gtest.h>

#include <numeric>

#include "frames.hpp"
#include "kit.hpp"
#include "requests.hpp"
#include "settings.hpp"
#include "stub_line.hpp"

namespace {

using kit::Bytes;
using kit::hex;

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
    // The write frame's own, at position 50; its layout shows on the line.
    const std::pair<ConfigurationBytes, std::uint8_t> configurations[] = {
        {{0x01, 0x00, 0x74, 0x78, 0x00, 0x7C}, 0x42},
        {{0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D}, 0x34},
        {{0x01, 0x02, 0x7F, 0x7E, 0x48, 0x7F}, 0x64},
    };
    for (const auto& [configuration, checksum] : configurations) {
        EXPECT_EQ(build_write_frame(configuration)[50], checksum) << hex(configuration);
    }
}

TEST(SettingsCodec, KnownEncodingsAndDecodingsIgnoreUnusedBits)
{
    const std::pair<ControllerSettings, ConfigurationBytes> encodings[] = {
        {ControllerSettings{1, 0, 0, 0, 0, 0, 0, 0}, {0x01, 0x00, 0x74, 0x78, 0x00, 0x7C}},
        {ControllerSettings{1, 2, 3, 1, 2, 1, 200, 1}, {0x01, 0x02, 0x7F, 0x7E, 0x48, 0x7F}},
        {ControllerSettings{63, 3, 3, 1, 3, 1, 255, 1}, {0x3F, 0x03, 0x7F, 0x7F, 0x7F, 0x7F}},
        {ControllerSettings{10, 2, 1, 0, 1, 0, 128, 0}, {0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D}},
    };
    for (const auto& [settings, bytes] : encodings) {
        EXPECT_EQ(hex(encode_settings(settings)), hex(bytes));
    }
    const std::pair<ConfigurationBytes, ControllerSettings> decodings[] = {
        {{0x7F, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}, ControllerSettings{63, 1, 3, 1, 3, 1, 255, 1}},
        {{0xC0, 0x05, 0xF4, 0xF8, 0x80, 0xFC}, ControllerSettings{0, 5, 0, 0, 0, 0, 0, 0}},
        {{0x01, 0xFF, 0x00, 0x00, 0x00, 0x00}, ControllerSettings{1, 255, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& [bytes, settings] : decodings) {
        EXPECT_EQ(decode_settings(bytes), settings) << hex(bytes);
    }
}

// Every combination within the ranges survives a round trip, and every byte
// that goes on the line keeps its top bit clear.
TEST(SettingsCodec, RoundTripOverTheWholeRange)
{
    std::size_t combinations = 1;
    for (const SettingField& field : setting_fields) {
        combinations *= field.highest - field.lowest + 1;
    }
    ASSERT_EQ(combinations, 63U * 4 * 4 * 2 * 4 * 2 * 256 * 2);
    for (std::size_t n = 0; n < combinations; ++n) {
        ControllerSettings s;
        for (std::size_t rest = n; const SettingField& field : setting_fields) {
            s.*field.member = field.lowest + static_cast<unsigned>(rest % (field.highest - field.lowest + 1));
            rest /= field.highest - field.lowest + 1;
        }
        const ConfigurationBytes bytes = encode_settings(s);
        ASSERT_LT(*std::max_element(bytes.begin(), bytes.end()), 0x80) << hex(bytes);
        ASSERT_EQ(decode_settings(bytes), s) << hex(bytes);
    }
}

// The dialogue's rule takes the line as it comes; the scripted modes' rule
// takes nothing stale and nothing followed.
TEST(Requests, ThePlainRuleTakesWhatComesAndTheCheckedRuleOnlyAWholeReplyAlone)
{
    const Bytes reply{0xFF, 0x28, 'Z', 'M', 'L', '-', '4', 'C', '0', '8', 0x5A, 0x80};
    const Bytes stale{0x00, 0xFF, 0x28};
    struct Case {
        Rule rule;
        Bytes waiting;
        Bytes answer;
        TransferEnd dry_end;
        bool answered;
        std::string type;
        std::string trailing;
        std::vector<std::size_t> reads;
        std::vector<unsigned> timeouts;
    };
    const Bytes followed = kit::concat({reply, {0x42}});
    const Bytes cut(reply.begin(), reply.begin() + 5);
    const TransferEnd quiet = TransferEnd::timed_out;
    const Case cases[] = {
        {Rule::plain, {}, reply, quiet, true, "ZML-4C08", "", {12}, {1012}},
        // Stale bytes shift the plain rule's reply; the checked rule drops them first.
        {Rule::plain, stale, reply, quiet, true, "(\xFF(ZML-4", "", {12}, {1012}},
        {Rule::checked, stale, reply, quiet, true, "ZML-4C08", "", {256, 12, 64}, {0, 1012, 50}},
        {Rule::checked, {}, followed, quiet, false, "ZML-4C08", "42", {256, 12, 64}, {0, 1012, 50}},
        {Rule::plain, {}, followed, quiet, true, "ZML-4C08", "", {12}, {1012}},
        {Rule::checked, {}, cut, TransferEnd::hung_up, false, "ZML", "", {256, 12}, {0, 1012}},
    };
    for (const Case& c : cases) {
        stub::reset({.incoming = c.waiting, .replies = {c.answer}, .dry_end = c.dry_end});
        SerialPort link = open_port(ComPort{1}, default_com_naming(), controller_line);
        ControllerType type;
        const Exchange result = identify_controller(link, type, c.rule);
        const std::string name = hex(c.waiting) + " | " + hex(c.answer);
        EXPECT_EQ(answered(result), c.answered) << name;
        EXPECT_EQ(std::string(type.characters.data(), c.type.size()), c.type) << name;
        EXPECT_EQ(hex(result.trailing), c.trailing) << name;
        EXPECT_EQ(stub::line.reads, c.reads) << name;
        EXPECT_EQ(stub::line.timeouts, c.timeouts) << name;
        EXPECT_EQ(hex(stub::line.written), hex(kit::type_request)) << name;
        EXPECT_EQ(result.received.end,
                  answered(result) || !c.trailing.empty() ? TransferEnd::complete : c.dry_end)
            << name;
    }
    // A request that does not leave gets no read at all.
    stub::reset({.replies = {reply}, .write_end = TransferEnd::hung_up});
    SerialPort link = open_port(ComPort{1}, default_com_naming(), controller_line);
    ConfigurationBytes configuration{};
    const Exchange unsent = store_configuration(link, configuration, Rule::plain);
    EXPECT_FALSE(answered(unsent));
    EXPECT_EQ(unsent.received.end, TransferEnd::hung_up);
    EXPECT_TRUE(stub::line.reads.empty());
}
