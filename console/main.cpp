// The program's entry: the command line decides between the dialogue and the
// scripted modes, before anything is printed or any port opened.

#include <cstdio>

#include "dialogue.hpp"
#include "options.hpp"
#include "scripted.hpp"
#include "serial_link.hpp"

int main(int argc, char** argv)
{
    const Options options = parse_options(argc, argv);
    switch (options.mode) {
    case Options::Mode::help:
        std::fputs(usage_text, stdout);
        return 0;
    case Options::Mode::version:
        std::puts("zumel-config " ZUMEL_VERSION);
        return 0;
    case Options::Mode::usage_error:
        std::fprintf(stderr, "zumel-config: %s\n%s", options.error.c_str(), usage_text);
        return 2;
    default:
        break;
    }
    if (!options.com_prefix.empty() && !set_com_device_prefix(options.com_prefix)) {
        std::fputs("zumel-config: --com-prefix does not apply here: the system names its COM ports itself "
                   "(COM1, COM2, ...)\n",
                   stderr);
        return 2;
    }
    switch (options.mode) {
    case Options::Mode::read:
        return read_configuration(options.port, options.file);
    case Options::Mode::write:
        return write_configuration(options.port, options.file);
    default:
        run_configurator();
        return 0;
    }
}
