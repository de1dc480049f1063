// The program's entry: the command line decides between the dialogue, the
// scripted modes and the port survey, before anything is printed or any
// port opened.

#include <cstdio>
#include <string>
#include <vector>

#include "dialogue.hpp"
#include "files.hpp"
#include "options.hpp"
#include "ports.hpp"
#include "scripted.hpp"
#include "trace.hpp"
#include "write_log.hpp"

namespace {

int run(const Options& options, const LineObserver& observer)
{
    switch (options.mode) {
    case Options::Mode::list:
        return list_serial_ports_command();
    case Options::Mode::find:
        return find_controllers(options.com_prefix, observer);
    case Options::Mode::read:
        return read_configuration(*options.port, options.file, observer);
    case Options::Mode::write:
        return write_configuration(
            *options.port, {.input = options.file, .sets = options.sets, .log = options.log}, observer);
    default:
        break;
    }
    const WriteLog log{options.log};
    std::string error;
    if (!options.log.empty() && !prepare_write_log(log, error)) {
        print_error_line("zumel-config: cannot write the log in " + options.log + ": " + error);
        return 1;
    }
    run_configurator(
        {.port = options.port, .observer = observer, .log = options.log.empty() ? nullptr : &log});
    return 0;
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
        return 0;
    case Options::Mode::version:
        std::puts("zumel-config " ZUMEL_VERSION);
        return 0;
    case Options::Mode::usage_error:
        print_error_line("zumel-config: " + options.error);
        std::fputs(usage_text, stderr);
        return 2;
    default:
        break;
    }
    if (!options.com_prefix.empty() && !set_com_device_prefix(options.com_prefix)) {
        print_error_line("zumel-config: --com-prefix does not apply here: the system names its COM ports "
                         "itself (COM1, COM2, ...)");
        return 2;
    }
    Trace trace;
    std::string error;
    if (!options.trace.empty() && !open_trace(options.trace, ZUMEL_VERSION, trace, error)) {
        print_error_line("zumel-config: cannot write the trace " + options.trace + ": " + error);
        return 1;
    }
    return run(options, trace_observer(trace));
}
