#include "scripted.hpp"

#include <array>

#include "configuration_file.hpp"
#include "files.hpp"
#include "requests.hpp"
#include "settings.hpp"
#include "trace.hpp"
#include "write_log.hpp"

namespace {

constexpr int exit_done = 0;
constexpr int exit_failed = 1;
constexpr int exit_refused = 2;
constexpr std::size_t most_problems_shown = 20;
// Bytes right behind a reply come within this; a USB adapter may hold them
// back for its latency timer, 16 ms by default.
constexpr unsigned trailing_bytes_ms = 50;

void say(const std::string& text)
{
    print_error_line("zumel-config: " + text);
}

// One controller on one link. `problem` says why the last step failed.
struct Session {
    SerialPort link;
    std::string port; // "COM3"
    std::string problem{};
};

void say_problem(const Session& session)
{
    say(session.link.status == OpenStatus::open ? session.port + ": " + session.problem
                                                : failure_line(session.link));
}

// One request, trusted only when nothing stale could be taken for its reply
// and nothing followed it at once.
template <typename Request> bool ask(Session& session, const std::string& what, Request request)
{
    port_discard_input(session.link);
    const Exchange result = request(session.link);
    if (!answered(result)) {
        session.problem = "the controller does not respond to " + what;
        if (result.received > 0) {
            session.problem += " (" + std::to_string(result.received) + " of " +
                               std::to_string(result.expected) + " bytes came)";
        }
        return false;
    }
    std::array<std::uint8_t, 64> more{};
    const std::size_t extra = port_read_within(session.link, more.data(), more.size(), trailing_bytes_ms);
    if (extra > 0) {
        session.problem = "the controller sent more than the " + std::to_string(result.expected) +
                          " bytes of its reply to " + what + " (then " + hex_pairs({more.data(), extra}) +
                          (extra == more.size() ? " ..." : "") + "), so the reply is not trusted";
        return false;
    }
    return true;
}

// Opens the port and identifies the controller, as the dialogue does first.
bool connect(Session& session, ControllerIdentity& identity)
{
    if (!is_open(session.link)) {
        session.problem = session.link.failure;
        return false;
    }
    const bool identified =
        ask(session, "the identify request",
            [&identity](SerialPort& link) { return identify_controller(link, identity.type); }) &&
        ask(session, "the firmware request",
            [&identity](SerialPort& link) { return query_firmware_version(link, identity.version); });
    if (!identified) {
        if (session.problem == "the controller does not respond to the identify request") {
            session.problem += "; is it switched on with jumper J6 fitted?";
        }
        return false;
    }
    say(session.port + ": " + controller_identity(identity.type, identity.version));
    return true;
}

// Reads the configuration twice: a reply garbled on the way is caught when
// the two differ.
bool read_twice(Session& session, ControllerSettings& settings)
{
    std::array<ConfigurationBytes, 2> reads{};
    for (ConfigurationBytes& bytes : reads) {
        if (!ask(session, "the read request",
                 [&bytes](SerialPort& link) { return fetch_configuration(link, bytes); })) {
            return false;
        }
    }
    if (reads[0] != reads[1]) {
        session.problem = "two reads of the configuration disagree (" + hex_pairs(reads[0]) + ", then " +
                          hex_pairs(reads[1]) + "); the line is not to be trusted";
        return false;
    }
    settings = decode_settings(reads.front());
    return true;
}

void warn_outside_ranges(const ControllerSettings& settings)
{
    for (const SettingField& field : setting_fields) {
        const unsigned value = settings.*field.member;
        if (value < field.lowest || value > field.highest) {
            say("warning: the controller holds " + setting_line(field, settings) + ", outside " +
                std::to_string(field.lowest) + "-" + std::to_string(field.highest) +
                "; --write refuses such a file");
        }
    }
}

// The file's settings, with those given by --set in their place; false
// when anything is refused, each refusal said.
bool wanted_settings(const WriteRequest& request, ControllerSettings& wanted, int& status)
{
    const std::string name = request.input == "-" ? "standard input" : request.input;
    std::string raw, text, error;
    if (!read_file(request.input, largest_configuration_file + 1, raw, error)) {
        say("cannot read " + name + ": " + error);
        status = exit_failed;
        return false;
    }
    status = exit_refused;
    if (!decode_text(raw, text, error)) {
        say(name + ": " + error);
        say("nothing was sent");
        return false;
    }
    Overridden overridden{};
    const std::vector<std::string> refused = parse_setting_overrides(request.sets, wanted, overridden);
    const std::vector<FileProblem> problems = parse_configuration_file(text, wanted, overridden);
    for (const std::string& refusal : refused) {
        say(refusal);
    }
    for (std::size_t i = 0; i < problems.size() && i < most_problems_shown; ++i) {
        std::string where = name;
        if (problems[i].line != 0) {
            where.append(":").append(std::to_string(problems[i].line));
        }
        say(where + ": " + problems[i].text);
    }
    if (problems.size() > most_problems_shown) {
        say(name + ": " + std::to_string(problems.size() - most_problems_shown) + " more problems");
    }
    if (!refused.empty() || !problems.empty()) {
        say("nothing was sent");
        return false;
    }
    return true;
}

// The write itself, on an open session; fills in the record as it goes.
int write_and_check(Session& session, const ControllerSettings& wanted, const WriteLog* log,
                    WriteRecord& record)
{
    ControllerIdentity identity;
    if (!connect(session, identity)) {
        return exit_failed;
    }
    record.identity = identity;
    if (log != nullptr) {
        ControllerSettings before;
        if (!read_twice(session, before)) {
            return exit_failed;
        }
        record.before = before;
        warn_outside_ranges(before);
        std::string saved_as, error;
        if (!save_before(*log, record.port, identity, before, saved_as, error)) {
            session.problem = "cannot save what the controller holds in " + log->directory + ": " + error +
                              "; nothing was written";
            return exit_failed;
        }
        say(session.port + ": what it held is saved in " + saved_as);
    }
    const ConfigurationBytes bytes = encode_settings(wanted);
    ConfigurationBytes held_bytes{};
    if (!ask(session, "the write", [&bytes](SerialPort& link) { return store_configuration(link, bytes); }) ||
        !ask(session, "the read-back after the write",
             [&held_bytes](SerialPort& link) { return fetch_configuration(link, held_bytes); })) {
        return exit_failed;
    }
    const ControllerSettings held = decode_settings(held_bytes);
    record.after = held;
    std::string differences;
    for (const SettingField& field : setting_fields) {
        if (held.*field.member != wanted.*field.member) {
            differences += (differences.empty() ? "" : ", ") + setting_line(field, held) + " (written " +
                           std::to_string(wanted.*field.member) + ")";
        }
    }
    if (!differences.empty()) {
        record.outcome = "differs after the write: " + differences;
        session.problem = "the controller acknowledged the write but holds " + differences;
        return exit_failed;
    }
    record.outcome = "written";
    say(session.port + ": configuration written and read back");
    return exit_done;
}

} // namespace

int read_configuration(ComPort port, const std::string& output, const LineObserver& observer)
{
    Session session{.link = open_port(port, observer), .port = com_name(port)};
    ControllerIdentity identity;
    ControllerSettings settings;
    const bool read = connect(session, identity) && read_twice(session, settings);
    close_port(session.link);
    if (!read) {
        say_problem(session);
        return exit_failed;
    }
    warn_outside_ranges(settings);
    const std::string text = format_configuration_file(identity.type, identity.version, settings);
    std::string error;
    if (output.empty() || output == "-") {
        if (!write_standard_output(text, error)) {
            say("cannot write standard output: " + error);
            return exit_failed;
        }
        return exit_done;
    }
    if (!replace_file(output, text, error)) {
        say("cannot write " + output + ": " + error);
        return exit_failed;
    }
    say(session.port + ": configuration read into " + output);
    return exit_done;
}

int write_configuration(ComPort port, const WriteRequest& request, const LineObserver& observer)
{
    ControllerSettings wanted;
    int status = exit_done;
    if (!wanted_settings(request, wanted, status)) {
        return status;
    }
    const WriteLog log{request.log};
    std::string error;
    if (!request.log.empty() && !prepare_write_log(log, error)) {
        say("cannot write the log in " + request.log + ": " + error + "; nothing was sent");
        return exit_failed;
    }
    Session session{.link = open_port(port, observer), .port = com_name(port)};
    WriteRecord record{.port = port};
    status = write_and_check(session, wanted, request.log.empty() ? nullptr : &log, record);
    close_port(session.link);
    if (status != exit_done) {
        say_problem(session);
        if (record.outcome.empty()) {
            record.outcome = "failed: " + session.problem;
        }
    }
    if (!request.log.empty() && !record_write(log, record, error)) {
        say("cannot add the write to " + request.log + "/writes.csv: " + error);
        return exit_failed;
    }
    return status;
}
