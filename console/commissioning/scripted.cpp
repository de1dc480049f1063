#include "scripted.hpp"

#include "controller/configuration_file.hpp"
#include "controller/write_log.hpp"
#include "messages/words.hpp"
#include "requests.hpp"
#include "settings.hpp"
#include "system/files.hpp"
#include "system/terminal.hpp"

namespace {

constexpr std::size_t most_problems_shown = 20;

// One controller on one link. `problem` says why the last step failed.
struct Session {
    SerialPort link;
    std::string problem{};
};

// Said once the port is closed again.
void say_problem(const Session& session)
{
    say(session.link.status == OpenStatus::open ? port_name_text(session.link.name) + ": " + session.problem
                                                : failure_line(session.link));
}

// Identifies the controller, as the dialogue does first.
bool connect(Session& session, ControllerIdentity& identity)
{
    if (!is_open(session.link)) {
        session.problem = open_failure_text(session.link);
        return false;
    }
    if (const std::string notice = own_settings_notice(session.link); !notice.empty()) {
        say(notice);
    }
    const Result<ControllerIdentity> identified = identify_trusted(session.link);
    if (!identified) {
        session.problem = identified.error();
        return false;
    }
    identity = *identified;
    say(port_name_text(session.link.name) + ": " + identity_text(identity));
    return true;
}

bool read_twice(Session& session, ControllerSettings& settings)
{
    const Result<ControllerSettings> read = read_trusted_configuration(session.link);
    if (!read) {
        session.problem = read.error();
        return false;
    }
    settings = *read;
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

} // namespace

bool read_wanted_settings(const WriteRequest& request, ControllerSettings& wanted, ExitStatus& status,
                          std::string& file_type)
{
    const std::string name = input_name(request);
    const Result<std::string> raw = read_file(request.input, largest_configuration_file + 1);
    if (!raw) {
        say("cannot read " + name + ": " + raw.error());
        status = ExitStatus::failed;
        return false;
    }
    status = ExitStatus::refused;
    const Result<std::string> decoded = decode_text(*raw);
    if (!decoded) {
        say(name + ": " + decoded.error());
        say("nothing was sent");
        return false;
    }
    const std::string& text = *decoded;
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
    file_type = type_named_in(text);
    return true;
}

std::string input_name(const WriteRequest& request)
{
    return request.input == "-" ? "standard input" : request.input;
}

bool of_another_type(const ControllerIdentity& identity, const std::string& file_type)
{
    return !file_type.empty() && file_type != header_type(identity);
}

std::string type_warning(const std::string& port, const ControllerIdentity& identity,
                         const std::string& file_type, const std::string& input)
{
    if (!of_another_type(identity, file_type)) {
        return "";
    }
    return "warning: " + port + " is a " + header_type(identity) + ", and the header of " + input +
           " names a " + file_type + "; written all the same";
}

ExitStatus read_configuration(const Target& target, const std::string& output)
{
    // A file that cannot be made there is known before the controller is asked.
    if (!output.empty() && output != "-") {
        if (const Result<void> may = may_replace(output); !may) {
            say("cannot write " + output + ": " + may.error());
            return ExitStatus::failed;
        }
    }
    Session session{.link = open_port(target.port, target.naming, controller_line, target.observer)};
    ControllerIdentity identity;
    ControllerSettings settings;
    const bool read = connect(session, identity) && read_twice(session, settings);
    close_port(session.link);
    if (!read) {
        say_problem(session);
        return ExitStatus::failed;
    }
    warn_outside_ranges(settings);
    const std::string text = format_configuration_file(identity, settings);
    if (output.empty() || output == "-") {
        if (const Result<void> shown = write_standard_output(text); !shown) {
            say("cannot write standard output: " + shown.error());
            return ExitStatus::failed;
        }
        return ExitStatus::done;
    }
    if (const Result<void> replaced = replace_file(output, text); !replaced) {
        say("cannot write " + output + ": " + replaced.error());
        return ExitStatus::failed;
    }
    say(port_name_text(target.port) + ": configuration read into " + output);
    return ExitStatus::done;
}

ExitStatus write_configuration(const Target& target, const WriteRequest& request)
{
    ControllerSettings wanted;
    ExitStatus status = ExitStatus::done;
    std::string file_type;
    if (!read_wanted_settings(request, wanted, status, file_type)) {
        return status;
    }
    std::optional<WriteLog> log;
    if (!open_write_log(request.log, log)) {
        return ExitStatus::failed;
    }
    if (log) {
        // A stop no longer ends the run where it stands: a write frame sent
        // is read back and recorded, and none is sent once a stop came.
        catch_stop_requests();
    }
    Session session{.link = open_port(target.port, target.naming, controller_line, target.observer)};
    const std::string port = port_name_text(target.port);
    ControllerIdentity identity;
    if (!connect(session, identity)) {
        say_problem(session);
        if (log) {
            const Result<void> added =
                record_write(*log, {.port = target.port, .outcome = failed_for(session.problem)});
            if (!added) {
                say("cannot add the write to " + log->directory + "/writes.csv: " + added.error());
            }
        }
        return ExitStatus::failed;
    }
    if (const std::string warning = type_warning(port, identity, file_type, input_name(request));
        !warning.empty()) {
        say(warning);
    }
    const WriteSteps steps{
        .read_held = [&session](ControllerIdentity&) -> Result<ControllerSettings> {
            ControllerSettings held;
            if (!read_twice(session, held)) {
                return Unexpected{session.problem};
            }
            warn_outside_ranges(held);
            return held;
        },
        .write =
            [&session, &wanted] {
                if (stop_requested()) {
                    const std::string stopped = "stopped before the write; nothing was written";
                    return WriteResult{.outcome = failed_for(stopped), .problem = stopped};
                }
                return write_and_read_back(session.link, wanted);
            },
        .address = wanted.network_address,
    };
    const LoggedWrite done = logged_write(log ? &*log : nullptr, target.port, identity, steps);
    close_port(session.link);
    if (!done.saved_as.empty()) {
        say(port + ": what it held is saved in " + done.saved_as);
    }
    if (done.failed_at == LoggedWrite::Stage::done) {
        say(port + ": configuration written and read back");
    } else {
        say(port + ": " + done.problem);
        for (const std::string& line : way_back(done, port_options(target.port, target.naming))) {
            say(port + ": " + line);
        }
    }
    if (done.record_problem) {
        say(*done.record_problem);
        return ExitStatus::failed;
    }
    return done.failed_at == LoggedWrite::Stage::done ? ExitStatus::done : ExitStatus::failed;
}
