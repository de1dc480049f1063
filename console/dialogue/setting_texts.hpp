#pragma once

#include <array>
#include <string_view>

#include "settings.hpp"

// Each setting's prompt in the entry form and its line in the display, in
// the order of the settings' table, which holds the names and ranges. A
// setting added there and not here does not compile.
struct SettingTexts {
    std::string_view name; // as in setting_fields
    const char* prompt;    // every line of it, shown whole each time it is asked
    const char* label;     // its line in the display, before the value
    // The value's words; a value past the last shows as the last. Without
    // them the number is shown.
    std::array<const char*, 4> choices{};
};

inline constexpr std::array<SettingTexts, setting_fields.size()> setting_texts{{
    {"address",
     "\nZadejte sitovou adresu ovladace, rozsah 1 - 63:       ", "\nSitova adresa ovladace:          "},
    {"baud",
     "\nZadejte komunikacni rychlost ovladace 0 -  2400Bd:    "
     "\n                                      1 -  4800Bd:    "
     "\n                                      2 -  9600Bd:    "
     "\n                                      3 - 19200Bd:    ",
     "\nKomunikacni rychlost ovladace:   ",
     {"2400Bd", "4800Bd", "9600Bd", "19200Bd"}},
    {"button_limit",
     "\nZadejte limitni hodnotu tlacitka, rozsah 0 - 3:       ", "\nLimitni hodnota tlacitka:        "},
    {"bridge",
     "\nZadejte hodnota BRIDGE bitu, rozsah 0 - 1:            ", "\nHodnota BRIDGE bitu:             "},
    {"led_init",
     "\nZadejte inicializacni hodnotu LED nesviti      - 0:   "
     "\n                              LED sviti        - 1:   "
     "\n                              LED blika pomalu - 2:   "
     "\n                              LED blika rychle - 3:   ",
     "\nInicializacni hodnota LED:       ",
     {"LED nesviti", "LED sviti", "LED blika pomalu", "LED blika rychle"}},
    {"led_write_enable",
     "\nZadejte hodnotu LED write enable bitu, rozsah 0 - 1:  ", "\nHodnota LED write enable bitu:   "},
    {"pwm_divider",
     "\nZadejte hodnotu delicky pro PWM, rozsah 0 - 255:      ", "\nHodnota delicky pro PWM:         "},
    {"pwm_init",
     "\nZadejte inicializacni stav PWM, rozsah 0 - 1:         ", "\nInicializacni hodnota PWM:       "},
}};

constexpr bool texts_follow_the_settings()
{
    for (std::size_t i = 0; i < setting_fields.size(); ++i) {
        if (setting_texts[i].name != setting_fields[i].name || setting_texts[i].prompt == nullptr ||
            setting_texts[i].label == nullptr) {
            return false;
        }
    }
    return true;
}
static_assert(texts_follow_the_settings(),
              "every setting needs its prompt and label, in the settings' order");
