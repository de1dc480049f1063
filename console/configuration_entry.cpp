#include <cstdio>

#include "console_io.hpp"
#include "dialogue.hpp"
#include "files.hpp"
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

// With a log: what the controller holds, saved before the form's frame goes.
bool save_what_it_holds(SerialPort& link, const WriteLog& log, WriteRecord& record)
{
    ConfigurationBytes held{};
    if (!replied(fetch_configuration(link, held))) {
        record.outcome = "failed: the controller does not respond to the read request";
        return false;
    }
    record.before = decode_settings(held);
    std::string saved_as, error;
    if (!save_before(log, record.port, *record.identity, *record.before, saved_as, error)) {
        record.outcome = "failed: cannot save what the controller holds: " + error;
        print_error_line("zumel-config: cannot save what the controller holds in " + log.directory + ": " +
                         error + "; nothing was written");
        return false;
    }
    return true;
}

} // namespace

int enter_configuration(SerialPort& link, const WriteLog* log, const ControllerIdentity& identity)
{
    ControllerSettings settings;
    for (std::size_t i = 0; i < setting_fields.size(); ++i) {
        if (!ask(prompts[i], setting_fields[i], settings.*setting_fields[i].member)) {
            return action_abandoned; // nothing is sent for an unfinished form
        }
    }
    WriteRecord record{.port = link.port, .identity = identity};
    bool written = log == nullptr || save_what_it_holds(link, *log, record);
    if (written) {
        written = replied(store_configuration(link, encode_settings(settings)));
        record.outcome =
            written ? "written; acknowledged, the dialogue does not read back" : "failed: no acknowledgement";
        record.after = written ? std::optional(settings) : std::nullopt;
    }
    std::string error;
    if (log != nullptr && !record_write(*log, record, error)) {
        print_error_line("zumel-config: cannot add the write to " + log->directory + "/writes.csv: " + error);
    }
    return written ? action_succeeded : action_failed;
}
