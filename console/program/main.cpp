// The program's entry: the command line decides between the dialogue, the
// scripted modes and the port survey, before anything is printed or any
// port opened.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "commissioning/scripted.hpp"
#include "commissioning/write_log.hpp"
#include "dialogue/dialogue.hpp"
#include "messages/messages.hpp"
#include "messages/terminal.hpp"
#include "options.hpp"
#include "survey/survey.hpp"
#include "trace.hpp"

namespace {

ExitStatus run(const Options& options, const ComNaming& naming, const LineObserver& observer)
{
    const Target target{.port = options.port.value_or(ComPort{}), .naming = naming, .observer = observer};
    switch (options.mode) {
    case Options::Mode::list:
        return list_serial_ports_command(naming);
    case Options::Mode::find:
        return find_controllers(naming, observer);
    case Options::Mode::read:
        return read_configuration(target, options.file);
    case Options::Mode::write:
        return write_configuration(target, {.input = options.file, .sets = options.sets, .log = options.log});
    default:
        break;
    }
    std::optional<WriteLog> log;
    if (!open_write_log(options.log, log)) {
        return ExitStatus::failed;
    }
    run_configurator(
        {.naming = naming, .port = options.port, .observer = observer, .log = log ? &*log : nullptr});
    return ExitStatus::done;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments = program_arguments(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments) {
        pointers.push_back(argument.c_str());
    }
    const Options options = parse_options(static_cast<int>(pointers.size()), pointers.data());
    switch (options.mode) {
    case Options::Mode::help:
        std::fputs(usage_text, stdout);
        return static_cast<int>(ExitStatus::done);
    case Options::Mode::version:
        std::printf("%s %s\n", program_name, ZUMEL_VERSION);
        return static_cast<int>(ExitStatus::done);
    case Options::Mode::usage_error:
        say(options.error);
        std::fputs(usage_text, stderr);
        return static_cast<int>(ExitStatus::refused);
    default:
        break;
    }
    if (!options.com_prefix.empty() && !com_prefix_applies()) {
        say("--com-prefix does not apply here: the system names its COM ports itself (COM1, COM2, ...)");
        return static_cast<int>(ExitStatus::refused);
    }
    ComNaming naming = default_com_naming();
    if (!options.com_prefix.empty()) {
        naming.prefix = options.com_prefix;
    }
    // Where other programs' UUCP lock files are, if not where the system
    // keeps them: for a machine set up otherwise, and for tests.
    if (const char* folders = std::getenv("ZUMEL_LOCK_DIRS"); folders != nullptr) {
        naming.lock_folders.clear();
        for (std::string_view rest = folders; !rest.empty();) {
            const std::size_t colon = rest.find(':');
            naming.lock_folders.emplace_back(rest.substr(0, colon));
            rest.remove_prefix(colon == rest.npos ? rest.size() : colon + 1);
        }
    }
    Trace trace;
    std::string error;
    if (!options.trace.empty() && !open_trace(options.trace, ZUMEL_VERSION, trace, error)) {
        say("cannot write the trace " + options.trace + ": " + error);
        return static_cast<int>(ExitStatus::failed);
    }
    return static_cast<int>(run(options, naming, trace_observer(trace)));
}
