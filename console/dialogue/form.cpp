#include <cstdio>

#include "controller/steps.hpp"
#include "controller/write_log.hpp"
#include "dialogue.hpp"
#include "messages/messages.hpp"
#include "messages/words.hpp"
#include "setting_texts.hpp"
#include "typed_numbers.hpp"

namespace {

// Asks until the answer is in range; a multi-line prompt comes whole every
// time. False at the end of input.
bool ask_for(const char* prompt, const SettingField& field, unsigned& answer)
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

Action enter_configuration(SerialPort& link, const WriteLog* log, const ControllerIdentity& identity,
                           const ComNaming& naming)
{
    ControllerSettings settings;
    for (std::size_t i = 0; i < setting_fields.size(); ++i) {
        if (!ask_for(setting_texts[i].prompt, setting_fields[i], settings.*setting_fields[i].member)) {
            return Action::abandoned; // nothing is sent for an unfinished form
        }
    }
    const WriteSteps steps{
        // With a log: what the controller is and holds, by the scripted
        // modes' rules, since the file saved must put it back as it was.
        .read_held = [&link](ControllerIdentity& identity) -> Result<ControllerSettings> {
            const Result<ControllerIdentity> identified = identify_trusted(link);
            if (!identified) {
                show_no_response(); // no answer that can be trusted
                return Unexpected{identified.error()};
            }
            identity = *identified;
            Result<ControllerSettings> held = read_trusted_configuration(link);
            if (!held) {
                show_no_response();
            }
            return held;
        },
        .write =
            [&link, &settings] {
                const bool acknowledged = replied(store_configuration(link, encode_settings(settings)));
                return WriteResult{.outcome = acknowledged ? WriteOutcome{WriteOutcome::Kind::acknowledged}
                                                           : failed_for("no acknowledgement"),
                                   .after = acknowledged ? std::optional(settings) : std::nullopt,
                                   .problem =
                                       acknowledged ? "" : "the controller did not acknowledge the write",
                                   .sent = true};
            },
        .address = settings.network_address,
    };
    const LoggedWrite done = logged_write(log, link.name, identity, steps);
    // The screen has shown what failed on the line; the rest is said here.
    if (done.failed_at == LoggedWrite::Stage::saving_before ||
        done.failed_at == LoggedWrite::Stage::reserving) {
        say(done.problem);
    } else if (done.failed_at == LoggedWrite::Stage::reading_before) {
        say(port_name_text(link.name) + ": " + done.problem + "; nothing was written");
    } else if (log != nullptr && done.failed_at == LoggedWrite::Stage::writing) {
        // The way back, where the before-file was saved.
        say(port_name_text(link.name) + ": " + done.problem);
        for (const std::string& line : way_back(done, port_options(link.name, naming))) {
            say(port_name_text(link.name) + ": " + line);
        }
    }
    if (done.record_problem) {
        say(*done.record_problem);
    }
    return done.failed_at == LoggedWrite::Stage::done ? Action::succeeded : Action::failed;
}
