#include <cstdio>

#include "console_io.hpp"
#include "dialogue.hpp"
#include "settings.hpp"

namespace {

// The prompts, in the order of the settings' table, which holds the ranges.
constexpr const char* prompts[setting_fields.size()] = {
    "\nZadejte sitovou adresu ovladace, rozsah 1 - 63:       ",
    "\nZadejte komunikacni rychlost ovladace 0 -  2400Bd:    "
    "\n                                      1 -  4800Bd:    "
    "\n                                      2 -  9600Bd:    "
    "\n                                      3 - 19200Bd:    ",
    "\nZadejte limitni hodnotu tlacitka, rozsah 0 - 3:       ",
    "\nZadejte hodnota BRIDGE bitu, rozsah 0 - 1:            ",
    "\nZadejte inicializacni hodnotu LED nesviti      - 0:   "
    "\n                              LED sviti        - 1:   "
    "\n                              LED blika pomalu - 2:   "
    "\n                              LED blika rychle - 3:   ",
    "\nZadejte hodnotu LED write enable bitu, rozsah 0 - 1:  ",
    "\nZadejte hodnotu delicky pro PWM, rozsah 0 - 255:      ",
    "\nZadejte inicializacni stav PWM, rozsah 0 - 1:         ",
};

// Asks until the answer is in range; a multi-line prompt comes whole every
// time. False at the end of input.
bool ask(const char* prompt, const SettingField& field, unsigned& answer)
{
    for (;;) {
        std::fputs(prompt, stdout);
        const NumberRead read = read_number();
        switch (read.status) {
        case NumberRead::Status::end_of_input:
            return false;
        case NumberRead::Status::not_a_number:
            discard_input_line(); // the same prompt comes again
            break;
        case NumberRead::Status::number:
            if (read.value >= field.lowest && read.value <= field.highest) {
                answer = read.value;
                return true;
            }
            break;
        }
    }
}

} // namespace

int enter_configuration(SerialPort& link, const WriteLog*)
{
    ControllerSettings settings;
    for (std::size_t i = 0; i < setting_fields.size(); ++i) {
        if (!ask(prompts[i], setting_fields[i], settings.*setting_fields[i].member)) {
            return action_abandoned; // nothing is sent for an unfinished form
        }
    }
    return replied(store_configuration(link, encode_settings(settings))) ? action_succeeded : action_failed;
}
