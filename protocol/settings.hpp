#pragma once

#include <array>

#include "frames.hpp"

// The eight settings of a controller. Values from the entry form are within
// their ranges; a decoded baud_code is the whole byte and may be anything.
struct ControllerSettings {
    unsigned network_address = 1;  // 1 to 63
    unsigned baud_code = 0;        // 0 = 2400, 1 = 4800, 2 = 9600, 3 = 19200 Bd
    unsigned button_limit = 0;     // 0 to 3
    unsigned bridge_bit = 0;       // 0 or 1
    unsigned led_init = 0;         // 0 off, 1 on, 2 slow blink, 3 fast blink
    unsigned led_write_enable = 0; // 0 or 1
    unsigned pwm_divider = 0;      // 0 to 255
    unsigned pwm_init = 0;         // 0 or 1

    friend bool operator==(const ControllerSettings&, const ControllerSettings&) = default;
};

// Each setting with the range the entry form and a configuration file take,
// and its stable name in such a file. One table, so the two never differ.
struct SettingField {
    const char* name;
    unsigned lowest;
    unsigned highest;
    unsigned ControllerSettings::*member;
};

inline constexpr std::array<SettingField, 8> setting_fields{{
    {"address", 1, 63, &ControllerSettings::network_address},
    {"baud", 0, 3, &ControllerSettings::baud_code},
    {"button_limit", 0, 3, &ControllerSettings::button_limit},
    {"bridge", 0, 1, &ControllerSettings::bridge_bit},
    {"led_init", 0, 3, &ControllerSettings::led_init},
    {"led_write_enable", 0, 1, &ControllerSettings::led_write_enable},
    {"pwm_divider", 0, 255, &ControllerSettings::pwm_divider},
    {"pwm_init", 0, 1, &ControllerSettings::pwm_init},
}};

// The network address, which a station gives each controller its own of.
inline constexpr const SettingField& address_setting = setting_fields[0];
static_assert(address_setting.member == &ControllerSettings::network_address);

// Packs settings within range into the six bytes of the write frame. Bits
// that no setting uses are written as 1, bit 7 always 0.
ConfigurationBytes encode_settings(const ControllerSettings& settings);

// Unpacks the six bytes of a read reply, ignoring bits that no setting uses;
// the speed byte (frame byte 3) is taken whole as baud_code.
ControllerSettings decode_settings(const ConfigurationBytes& configuration);
