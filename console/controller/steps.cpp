#include "steps.hpp"

#include <array>

#include "configuration_file.hpp"
#include "messages/words.hpp"
#include "requests.hpp"
#include "settings.hpp"

WriteResult write_and_read_back(SerialPort& link, const ControllerSettings& wanted)
{
    WriteResult result{.sent = true};
    // Whatever became of the acknowledgement, what the controller now holds
    // is read back and recorded: a write may have taken without it.
    const Exchange acknowledgement = store_configuration(link, encode_settings(wanted), Rule::checked);
    ConfigurationBytes held_bytes{};
    const Exchange read_back = fetch_configuration(link, held_bytes, Rule::checked);
    if (!answered(read_back)) {
        result.problem = answered(acknowledgement)
                             ? exchange_problem(read_back, "the read-back after the write")
                             : exchange_problem(acknowledgement, "the write");
        result.outcome = failed_for(result.problem);
        return result;
    }
    const ControllerSettings held = decode_settings(held_bytes);
    result.after = held;
    std::string differences;
    for (const SettingField& field : setting_fields) {
        if (held.*field.member != wanted.*field.member) {
            differences += (differences.empty() ? "" : ", ") + setting_line(field, held) + " (written " +
                           std::to_string(wanted.*field.member) + ")";
        }
    }
    if (!answered(acknowledgement)) {
        result.problem = exchange_problem(acknowledgement, "the write") + "; it holds " +
                         (differences.empty() ? "what was written" : differences);
        result.outcome = failed_for(result.problem);
        return result;
    }
    if (!differences.empty()) {
        result.outcome = {WriteOutcome::Kind::differs, differences};
        result.problem = "the controller acknowledged the write but holds " + differences;
        return result;
    }
    result.outcome = {WriteOutcome::Kind::written};
    return result;
}

Result<ControllerIdentity> identify_trusted(SerialPort& link)
{
    ControllerIdentity identity;
    const Exchange identified = identify_controller(link, identity.type, Rule::checked);
    if (!answered(identified)) {
        std::string problem = exchange_problem(identified, "the identify request");
        if (identified.received.end == TransferEnd::timed_out && identified.received.count == 0) {
            problem += "; is it switched on with jumper J6 fitted?";
        }
        return Unexpected{problem};
    }
    const Exchange version = query_firmware_version(link, identity.version, Rule::checked);
    if (!answered(version)) {
        return Unexpected{exchange_problem(version, "the firmware request")};
    }
    return identity;
}

Result<ControllerSettings> read_trusted_configuration(SerialPort& link)
{
    std::array<ConfigurationBytes, 2> reads{};
    for (ConfigurationBytes& bytes : reads) {
        const Exchange read = fetch_configuration(link, bytes, Rule::checked);
        if (!answered(read)) {
            return Unexpected{exchange_problem(read, "the read request")};
        }
    }
    if (reads[0] != reads[1]) {
        return Unexpected{"two reads of the configuration disagree (" + hex_pairs(reads[0]) + ", then " +
                          hex_pairs(reads[1]) + "); the line is not to be trusted"};
    }
    return decode_settings(reads.front());
}
