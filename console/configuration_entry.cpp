#include <cstdio>

#include "console/console_io.hpp"
#include "console/screens.hpp"
#include "protocol/settings.hpp"

namespace {

struct Question {
    const char* prompt; // all its lines, printed whole on every repeat
    unsigned lowest;
    unsigned highest;
    unsigned ControllerSettings::*field;
};

constexpr Question questions[] = {
    {"\nZadejte sitovou adresu ovladace, rozsah 1 - 63:       ", 1, 63, &ControllerSettings::network_address},
    {"\nZadejte komunikacni rychlost ovladace 0 -  2400Bd:    "
     "\n                                      1 -  4800Bd:    "
     "\n                                      2 -  9600Bd:    "
     "\n                                      3 - 19200Bd:    ",
     0, 3, &ControllerSettings::baud_code},
    {"\nZadejte limitni hodnotu tlacitka, rozsah 0 - 3:       ", 0, 3, &ControllerSettings::button_limit},
    {"\nZadejte hodnota BRIDGE bitu, rozsah 0 - 1:            ", 0, 1, &ControllerSettings::bridge_bit},
    {"\nZadejte inicializacni hodnotu LED nesviti      - 0:   "
     "\n                              LED sviti        - 1:   "
     "\n                              LED blika pomalu - 2:   "
     "\n                              LED blika rychle - 3:   ",
     0, 3, &ControllerSettings::led_init},
    {"\nZadejte hodnotu LED write enable bitu, rozsah 0 - 1:  ", 0, 1, &ControllerSettings::led_write_enable},
    {"\nZadejte hodnotu delicky pro PWM, rozsah 0 - 255:      ", 0, 255, &ControllerSettings::pwm_divider},
    {"\nZadejte inicializacni stav PWM, rozsah 0 - 1:         ", 0, 1, &ControllerSettings::pwm_init},
};

// Asks until the answer is in range. False at the end of input.
bool ask(const Question& question, unsigned& answer)
{
    for (;;) {
        std::fputs(question.prompt, stdout);
        const NumberRead read = read_number();
        switch (read.status) {
        case NumberRead::Status::end_of_input:
            return false;
        case NumberRead::Status::not_a_number:
            discard_input_line(); // the same prompt comes again
            break;
        case NumberRead::Status::number:
            if (read.value >= question.lowest && read.value <= question.highest) {
                answer = read.value;
                return true;
            }
            break;
        }
    }
}

} // namespace

int enter_configuration()
{
    ControllerSettings settings;
    for (const Question& question : questions) {
        if (!ask(question, settings.*question.field)) {
            return action_abandoned; // nothing is sent for an unfinished form
        }
    }
    return store_configuration(encode_settings(settings)) ? action_succeeded : action_failed;
}
