#include <cstdio>

#include "dialogue.hpp"
#include "settings.hpp"

namespace {

const char* speed_text(unsigned baud_code)
{
    switch (baud_code) {
    case 0:
        return "2400Bd\n";
    case 1:
        return "4800Bd\n";
    case 2:
        return "9600Bd\n";
    default:
        return "19200Bd\n";
    }
}

const char* led_text(unsigned led_init)
{
    switch (led_init) {
    case 0:
        return "LED nesviti\n";
    case 1:
        return "LED sviti\n";
    case 2:
        return "LED blika pomalu\n";
    default:
        return "LED blika rychle\n";
    }
}

} // namespace

int show_configuration(SerialPort& link)
{
    ConfigurationBytes bytes{};
    if (!replied(fetch_configuration(link, bytes))) {
        return action_failed;
    }
    const ControllerSettings s = decode_settings(bytes);
    std::printf("\nSitova adresa ovladace:          %u\n", s.network_address);
    std::printf("\nKomunikacni rychlost ovladace:   %s", speed_text(s.baud_code));
    std::printf("\nLimitni hodnota tlacitka:        %u\n", s.button_limit);
    std::printf("\nHodnota BRIDGE bitu:             %u\n", s.bridge_bit);
    std::printf("\nInicializacni hodnota LED:       %s", led_text(s.led_init));
    std::printf("\nHodnota LED write enable bitu:   %u\n", s.led_write_enable);
    std::printf("\nHodnota delicky pro PWM:         %u\n", s.pwm_divider);
    std::printf("\nInicializacni hodnota PWM:       %u\n", s.pwm_init);
    std::fputs("\n\n ", stdout);
    return action_succeeded;
}
