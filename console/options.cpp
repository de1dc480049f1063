#include "options.hpp"

#include <cctype>
#include <cstdio>
#include <string_view>

const char* const usage_text =
    "usage: zumel-config [--com-prefix PREFIX]\n"
    "       zumel-config [--com-prefix PREFIX] --port COMn --read [-o FILE]\n"
    "       zumel-config [--com-prefix PREFIX] --port COMn --write FILE\n"
    "       zumel-config --help | --version\n"
    "\n"
    "Without --read or --write it runs the dialogue, which asks for COM1 to COM6.\n"
    "  --com-prefix PREFIX  COMn is the device PREFIX followed by n-1: --com-prefix /dev/ttyUSB\n"
    "                       makes COM1 /dev/ttyUSB0 (not on Windows, which names its ports itself)\n"
    "  --port COMn          the controller's port for --read and --write\n"
    "  --read               print the controller's configuration as a configuration file\n"
    "  -o FILE              with --read: write it to FILE instead\n"
    "  --write FILE         send the configuration in FILE (- for standard input) to the\n"
    "                       controller, then read it back and compare\n"
    "Exit status: 0 done, 1 the port or the controller failed, 2 bad usage or a refused file.\n";

namespace {

// COM1 to COM255, as Windows numbers its ports.
bool is_port_name(std::string_view name)
{
    if (name.size() < 4 || name.size() > 6 || name.substr(0, 3) != "COM" || name[3] == '0') {
        return false;
    }
    unsigned number = 0;
    for (char c : name.substr(3)) {
        if (c < '0' || c > '9') {
            return false;
        }
        number = number * 10 + static_cast<unsigned>(c - '0');
    }
    return number <= 255;
}

Options refuse(std::string error)
{
    Options options;
    options.mode = Options::Mode::usage_error;
    options.error = std::move(error);
    return options;
}

} // namespace

Options parse_options(int argc, const char* const* argv)
{
    Options options;
    std::string write_file, output_file;
    bool help = false, version = false, read = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        std::string_view value;
        bool has_value = false;
        // --name=value as well as --name value
        if (const std::size_t equals = argument.find('=');
            argument.starts_with("--") && equals != argument.npos) {
            value = argument.substr(equals + 1);
            argument = argument.substr(0, equals);
            has_value = true;
        }
        const bool takes_value = argument == "--com-prefix" || argument == "--port" ||
                                 argument == "--write" || argument == "-o" || argument == "--output";
        if (takes_value && !has_value) {
            if (i + 1 >= argc) {
                return refuse(std::string(argument) + " needs a value");
            }
            value = argv[++i];
        } else if (!takes_value && has_value) {
            return refuse(std::string(argument) + " takes no value");
        }
        if (takes_value && value.empty()) {
            return refuse(std::string(argument) + " needs a value");
        }
        bool given_twice = false;
        auto set = [&given_twice](std::string& field, std::string_view text) {
            given_twice = !field.empty();
            field = text;
        };
        if (argument == "--help" || argument == "-h") {
            help = true;
        } else if (argument == "--version") {
            version = true;
        } else if (argument == "--com-prefix") {
            set(options.com_prefix, value);
        } else if (argument == "--port") {
            set(options.port, value);
        } else if (argument == "--read") {
            given_twice = read;
            read = true;
        } else if (argument == "--write") {
            set(write_file, value);
        } else if (argument == "-o" || argument == "--output") {
            set(output_file, value);
        } else {
            return refuse((argument.starts_with("-") ? "unknown option " : "unexpected argument ") +
                          std::string(argument));
        }
        if (given_twice) {
            return refuse(std::string(argument) + " given twice");
        }
    }
    const bool write = !write_file.empty();
    if (help || version) {
        options.mode = help ? Options::Mode::help : Options::Mode::version;
        return options;
    }
    if (read && write) {
        return refuse("--read and --write exclude each other");
    }
    if (!output_file.empty() && !read) {
        return refuse("-o goes with --read only");
    }
    if ((read || write) && options.port.empty()) {
        return refuse(std::string(read ? "--read" : "--write") + " needs --port COMn");
    }
    if (!options.port.empty() && !read && !write) {
        return refuse("--port goes with --read or --write");
    }
    // Windows takes com3 for COM3; so do we.
    for (std::size_t i = 0; i < options.port.size() && i < 3; ++i) {
        options.port[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(options.port[i])));
    }
    if (!options.port.empty() && !is_port_name(options.port)) {
        return refuse(options.port + " is not a port name: COM1, COM2, ...");
    }
    options.file = read ? output_file : write_file;
    options.mode = read ? Options::Mode::read : write ? Options::Mode::write : Options::Mode::dialogue;
    return options;
}
