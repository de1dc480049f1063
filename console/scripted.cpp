#include "scripted.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "configuration_file.hpp"
#include "requests.hpp"
#include "settings.hpp"

namespace {

constexpr int exit_done = 0;
constexpr int exit_failed = 1;
constexpr int exit_refused = 2;
constexpr std::size_t most_problems_shown = 20;

void say(const std::string& text)
{
    std::fprintf(stderr, "zumel-config: %s\n", text.c_str());
}

// Opens the port and identifies the controller, as the dialogue does first.
bool connect(SerialPort& link, ControllerType& type, FirmwareVersion& version)
{
    if (!is_open(link)) {
        say(failure_line(link));
        return false;
    }
    const std::string port = com_name(link.port);
    if (!answered(identify_controller(link, type)) || !answered(query_firmware_version(link, version))) {
        close_port(link);
        say(port + ": the controller does not respond; is it switched on with jumper J6 fitted?");
        return false;
    }
    say(port + ": " + controller_identity(type, version));
    return true;
}

// Reads the configuration and closes the port, done with the controller
// either way; says `failure` when no reply came.
bool read_settings(SerialPort& link, ControllerSettings& settings, const char* failure)
{
    ConfigurationBytes bytes{};
    const bool fetched = answered(fetch_configuration(link, bytes));
    close_port(link);
    if (!fetched) {
        say(com_name(link.port) + ": the controller does not respond to " + failure);
        return false;
    }
    settings = decode_settings(bytes);
    return true;
}

// Beside the finished file, then renamed over it: never a half-written one.
bool save(const std::string& path, const std::string& text)
{
    const std::string partial = path + ".partial";
    std::FILE* file = std::fopen(partial.c_str(), "w");
    bool saved = file != nullptr && std::fputs(text.c_str(), file) >= 0;
    saved = file != nullptr && std::fclose(file) == 0 && saved;
    std::error_code error;
    if (saved) {
        std::filesystem::rename(partial, path, error);
    }
    if (!saved || error) {
        say("cannot write " + path + ": " + (error ? error.message() : std::strerror(errno)));
        std::filesystem::remove(partial, error);
        return false;
    }
    return true;
}

// Reads at most one byte more than a configuration file may hold.
bool load(const std::string& path, std::string& text)
{
    const bool from_stdin = path == "-";
    std::FILE* file = from_stdin ? stdin : std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        say("cannot read " + path + ": " + std::strerror(errno));
        return false;
    }
    text.resize(largest_configuration_file + 1);
    text.resize(std::fread(text.data(), 1, text.size(), file));
    const bool failed = std::ferror(file) != 0;
    if (!from_stdin) {
        std::fclose(file);
    }
    if (failed) {
        say("cannot read " + path);
    }
    return !failed;
}

} // namespace

int read_configuration(ComPort com, const std::string& output, const LineObserver& observer)
{
    const std::string port = com_name(com);
    SerialPort link = open_port(com, observer);
    ControllerType type;
    FirmwareVersion version;
    if (!connect(link, type, version)) {
        return exit_failed;
    }
    ControllerSettings settings;
    if (!read_settings(link, settings, "the read request")) {
        return exit_failed;
    }
    for (const SettingField& field : setting_fields) {
        const unsigned value = settings.*field.member;
        if (value < field.lowest || value > field.highest) {
            say("warning: the controller holds " + setting_line(field, settings) + ", outside " +
                std::to_string(field.lowest) + "-" + std::to_string(field.highest) +
                "; --write refuses such a file");
        }
    }
    const std::string text = format_configuration_file(type, version, settings);
    if (output.empty() || output == "-") {
        std::fputs(text.c_str(), stdout);
        return std::fflush(stdout) == 0 ? exit_done : exit_failed;
    }
    if (!save(output, text)) {
        return exit_failed;
    }
    say(port + ": configuration read into " + output);
    return exit_done;
}

int write_configuration(ComPort com, const std::string& input, const LineObserver& observer)
{
    const std::string port = com_name(com);
    const std::string name = input == "-" ? "standard input" : input;
    std::string text;
    if (!load(input, text)) {
        return exit_refused;
    }
    ControllerSettings wanted;
    const std::vector<FileProblem> problems = parse_configuration_file(text, wanted);
    if (!problems.empty()) {
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
        say("nothing was sent");
        return exit_refused;
    }

    SerialPort link = open_port(com, observer);
    ControllerType type;
    FirmwareVersion version;
    if (!connect(link, type, version)) {
        return exit_failed;
    }
    if (!answered(store_configuration(link, encode_settings(wanted)))) {
        close_port(link);
        say(port + ": the controller did not acknowledge the write");
        return exit_failed;
    }
    ControllerSettings held;
    if (!read_settings(link, held, "the read-back after the write")) {
        return exit_failed;
    }
    std::string differences;
    for (const SettingField& field : setting_fields) {
        if (held.*field.member != wanted.*field.member) {
            differences += (differences.empty() ? "" : ", ") + setting_line(field, held) + " (written " +
                           std::to_string(wanted.*field.member) + ")";
        }
    }
    if (!differences.empty()) {
        say(port + ": the controller acknowledged the write but holds " + differences);
        return exit_failed;
    }
    say(port + ": configuration written and read back");
    return exit_done;
}
