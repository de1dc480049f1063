#include <gtest/gtest.h>

#include "protocol/settings.hpp"
#include "tests/support/hex.hpp"

namespace {

ControllerSettings make(unsigned address, unsigned baud, unsigned button, unsigned bridge, unsigned led,
                        unsigned led_write, unsigned divider, unsigned pwm)
{
    return {address, baud, button, bridge, led, led_write, divider, pwm};
}

} // namespace

TEST(EncodeSettings, KnownConfigurations)
{
    struct Case {
        ControllerSettings settings;
        ConfigurationBytes bytes;
    };
    const Case cases[] = {
        {make(1, 0, 0, 0, 0, 0, 0, 0), {0x01, 0x00, 0x74, 0x78, 0x00, 0x7C}},
        {make(1, 2, 3, 1, 2, 1, 200, 1), {0x01, 0x02, 0x7F, 0x7E, 0x48, 0x7F}},
        {make(63, 3, 3, 1, 3, 1, 255, 1), {0x3F, 0x03, 0x7F, 0x7F, 0x7F, 0x7F}},
        {make(10, 2, 1, 0, 1, 0, 128, 0), {0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D}},
        {make(1, 0, 0, 0, 0, 0, 128, 0), {0x01, 0x00, 0x74, 0x78, 0x00, 0x7D}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hex(encode_settings(c.settings)), hex(c.bytes));
    }
}

TEST(DecodeSettings, IgnoresUnusedBitsButTakesTheSpeedByteWhole)
{
    struct Case {
        ConfigurationBytes bytes;
        ControllerSettings settings;
    };
    const Case cases[] = {
        {{0x7F, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}, make(63, 1, 3, 1, 3, 1, 255, 1)},
        {{0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D}, make(10, 2, 1, 0, 1, 0, 128, 0)},
        {{0xC0, 0x05, 0xF4, 0xF8, 0x80, 0xFC}, make(0, 5, 0, 0, 0, 0, 0, 0)},
        {{0x01, 0xFF, 0x00, 0x00, 0x00, 0x00}, make(1, 255, 0, 0, 0, 0, 0, 0)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decode_settings(c.bytes), c.settings) << hex(c.bytes);
    }
}

// Every combination within range survives a round trip, and every byte that
// goes on the line keeps its top bit clear.
TEST(SettingsCodec, RoundTripOverTheWholeRange)
{
    unsigned checked = 0;
    for (unsigned address = 1; address <= 63; ++address) {
        for (unsigned baud = 0; baud <= 3; ++baud) {
            for (unsigned button = 0; button <= 3; ++button) {
                for (unsigned bridge = 0; bridge <= 1; ++bridge) {
                    for (unsigned led = 0; led <= 3; ++led) {
                        for (unsigned led_write = 0; led_write <= 1; ++led_write) {
                            for (unsigned divider = 0; divider <= 255; ++divider) {
                                for (unsigned pwm = 0; pwm <= 1; ++pwm) {
                                    const auto s =
                                        make(address, baud, button, bridge, led, led_write, divider, pwm);
                                    const auto bytes = encode_settings(s);
                                    for (auto b : bytes) {
                                        ASSERT_LT(b, 0x80) << hex(bytes);
                                    }
                                    ASSERT_EQ(decode_settings(bytes), s) << hex(bytes);
                                    ++checked;
                                }
                            }
                        }
                    }
                }
            }
        }
    }
    EXPECT_EQ(checked, 63U * 4 * 4 * 2 * 4 * 2 * 256 * 2);
}
