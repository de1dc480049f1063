// The program's entry: the command line decides between the dialogue, the
// scripted modes and the port survey, before anything is printed or any
// port opened.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "commissioning/scripted.hpp"
#include "commissioning/station.hpp"
#include "controller/write_log.hpp"
#include "dialogue/dialogue.hpp"
#include "file_names.hpp"
#include "messages/messages.hpp"
#include "options.hpp"
#include "survey/survey.hpp"
#include "system/terminal.hpp"
#include "trace.hpp"

namespace {

// Off Windows COMn is the prefix followed by n-1; other programs' UUCP lock
// files are where the system keeps them unless ZUMEL_LOCK_DIRS says (for a
// machine set up otherwise, and for tests).
ComNaming naming_from(const Options& options)
{
    ComNaming naming = default_com_naming();
    if (!options.com_prefix.empty()) {
        naming.prefix = options.com_prefix;
    }
    if (const char* folders = std::getenv("ZUMEL_LOCK_DIRS"); folders != nullptr) {
        naming.lock_folders.clear();
        for (std::string_view rest = folders; !rest.empty();) {
            const std::size_t colon = rest.find(':');
            naming.lock_folders.emplace_back(rest.substr(0, colon));
            rest.remove_prefix(colon == rest.npos ? rest.size() : colon + 1);
        }
    }
    return naming;
}

ExitStatus run(const Options& options, const ComNaming& naming, const LineObserver& observer,
               bool& dialogue_ended_itself)
{
    const Target target{
        .port = options.port.value_or(PortName{ComPort{}}), .naming = naming, .observer = observer};
    switch (options.mode) {
    case Options::Mode::list:
        return list_serial_ports_command(naming);
    case Options::Mode::find:
        return find_controllers(naming, observer);
    case Options::Mode::read:
        return read_configuration(target, options.output);
    case Options::Mode::write:
        return write_configuration(target,
                                   {.input = options.input, .sets = options.sets, .log = options.log});
    case Options::Mode::station:
        return run_station({.ports = options.ports,
                            .naming = naming,
                            .observer = observer,
                            .write = {.input = options.input, .sets = options.sets, .log = options.log},
                            .addresses = options.addresses});
    default:
        break;
    }
    std::optional<WriteLog> log;
    if (!open_write_log(options.log, log)) {
        return ExitStatus::failed;
    }
    // Every end of the dialogue but the menu's and an unfinished form's
    // waits for a key already.
    dialogue_ended_itself = !run_configurator(
        {.naming = naming, .port = options.port, .observer = observer, .log = log ? &*log : nullptr});
    return ExitStatus::done;
}

// Every way the program ends but the dialogue's, which waits for its own key.
ExitStatus start(const Options& options, bool& dialogue_ended_itself)
{
    switch (options.mode) {
    case Options::Mode::help:
        std::fputs(usage_text, stdout);
        return ExitStatus::done;
    case Options::Mode::version:
        std::printf("%s %s\n", program_name, ZUMEL_VERSION);
        return ExitStatus::done;
    case Options::Mode::usage_error:
        say(options.error);
        print_error_line(usage_hint);
        return ExitStatus::refused;
    default:
        break;
    }
    if (!file_names_allowed(options)) {
        return ExitStatus::refused;
    }
    if (!options.com_prefix.empty() && !com_prefix_applies()) {
        say("--com-prefix does not apply here: the system names its COM ports itself (COM1, COM2, ...)");
        return ExitStatus::refused;
    }
    Trace trace;
    if (!options.trace.empty()) {
        const Result<Trace> opened = open_trace(options.trace, ZUMEL_VERSION);
        if (!opened) {
            say("cannot write the trace " + options.trace + ": " + opened.error());
            return ExitStatus::failed;
        }
        trace = *opened;
    }
    return run(options, naming_from(options), trace_observer(trace), dialogue_ended_itself);
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments = program_arguments(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments) {
        pointers.push_back(argument.c_str());
    }
    bool dialogue_ended_itself = false;
    const ExitStatus status =
        start(parse_options(static_cast<int>(pointers.size()), pointers.data()), dialogue_ended_itself);
    stop_handled();
    // A window of its own closes with the program: what it said stays
    // readable until a key is pressed.
    if (!dialogue_ended_itself && console_is_own()) {
        ask_for_a_key();
    }
    return static_cast<int>(status);
}
