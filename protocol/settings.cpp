#include "settings.hpp"

namespace {

std::uint8_t to_byte(unsigned value)
{
    return static_cast<std::uint8_t>(value & 0xFF);
}

} // namespace

ConfigurationBytes encode_settings(const ControllerSettings& s)
{
    // The constants are exactly the bits below bit 7 that no setting uses;
    // they are always written as 1.
    return {
        to_byte(s.network_address),
        to_byte(s.baud_code),
        to_byte(s.button_limit | (s.bridge_bit << 3) | 0x74),
        to_byte(s.led_init | (s.led_write_enable << 2) | 0x78),
        to_byte(s.pwm_divider & 0x7F),
        to_byte(0x7C | (s.pwm_divider >> 7) | (s.pwm_init << 1)),
    };
}

ControllerSettings decode_settings(const ConfigurationBytes& b)
{
    ControllerSettings s;
    s.network_address = b[0] & 0x3Fu;
    s.baud_code = b[1];
    s.button_limit = b[2] & 0x03u;
    s.bridge_bit = (b[2] & 0x08u) >> 3;
    s.led_init = b[3] & 0x03u;
    s.led_write_enable = (b[3] & 0x04u) >> 2;
    s.pwm_divider = (b[4] & 0x7Fu) | ((b[5] & 0x01u) << 7);
    s.pwm_init = (b[5] & 0x02u) >> 1;
    return s;
}
