#include "scripted.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "configuration_file.hpp"
#include "frames.hpp"
#include "serial_link.hpp"
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
bool connect(const std::string& port, ControllerType& type, FirmwareVersion& version)
{
    report_no_response_to(nullptr); // standard output is the file's; failures are said here
    if (!open_port(port.c_str(), "9600")) {
        say(open_failure_reason());
        return false;
    }
    if (!identify_controller(type) || !query_firmware_version(version)) {
        close_port();
        say(port + ": the controller does not respond; is it switched on with jumper J6 fitted?");
        return false;
    }
    say(port + ": " + controller_identity(type, version));
    return true;
}

// Reads the configuration and closes the port, done with the controller
// either way; says `failure` when no reply came.
bool read_settings(const std::string& port, ControllerSettings& settings, const char* failure)
{
    ConfigurationBytes bytes{};
    const bool fetched = fetch_configuration(bytes) != 0;
    close_port();
    if (!fetched) {
        say(port + ": the controller does not respond to " + failure);
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

int read_configuration(const std::string& port, const std::string& output)
{
    ControllerType type;
    FirmwareVersion version;
    if (!connect(port, type, version)) {
        return exit_failed;
    }
    ControllerSettings settings;
    if (!read_settings(port, settings, "the read request")) {
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

int write_configuration(const std::string& port, const std::string& input)
{
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

    ControllerType type;
    FirmwareVersion version;
    if (!connect(port, type, version)) {
        return exit_failed;
    }
    if (!store_configuration(encode_settings(wanted))) {
        close_port();
        say(port + ": the controller did not acknowledge the write");
        return exit_failed;
    }
    ControllerSettings held;
    if (!read_settings(port, held, "the read-back after the write")) {
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
