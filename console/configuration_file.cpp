#include "configuration_file.hpp"

#include <array>
#include <cstdio>

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && is_blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Control characters mean it is no text file; bytes above 0x7F only ever
// appear in comments, and the name or value check refuses them elsewhere.
bool is_text(std::string_view line)
{
    for (char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7F) {
            return false;
        }
    }
    return true;
}

// Names and values are quoted back, but never at length.
std::string quoted(std::string_view text)
{
    constexpr std::size_t longest = 40;
    std::string quote(1, '\'');
    quote.append(text.substr(0, longest)).append(text.size() > longest ? "...'" : "'");
    return quote;
}

} // namespace

std::string controller_identity(const ControllerType& type, const FirmwareVersion& version)
{
    std::string text;
    for (char c : type.characters) {
        const auto byte = static_cast<unsigned char>(c);
        text += byte >= 0x20 && byte < 0x7F ? c : '?';
    }
    char firmware[16];
    std::snprintf(firmware, sizeof firmware, "%u%02u", unsigned{version.high}, unsigned{version.low});
    return text + ", firmware " + firmware;
}

std::string setting_line(const SettingField& field, const ControllerSettings& settings)
{
    return std::string(field.name) + " = " + std::to_string(settings.*field.member);
}

std::string format_configuration_file(const ControllerType& type, const FirmwareVersion& version,
                                      const ControllerSettings& settings)
{
    std::string text = "# " + controller_identity(type, version) + "\n";
    for (const SettingField& field : setting_fields) {
        text += setting_line(field, settings) + "\n";
    }
    return text;
}

std::vector<FileProblem> parse_configuration_file(std::string_view text, ControllerSettings& settings)
{
    if (text.size() > largest_configuration_file) {
        return {{0, "larger than " + std::to_string(largest_configuration_file) +
                        " bytes: not a configuration file"}};
    }
    std::vector<FileProblem> problems;
    std::array<std::size_t, setting_fields.size()> set_on{}; // line of each setting, 0 while unset
    std::size_t number = 0;
    while (!text.empty()) {
        ++number;
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == text.npos ? text.size() : end + 1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (!is_text(line)) {
            problems.push_back({number, "not text: control characters"});
            continue;
        }
        line = trimmed(line);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == line.npos) {
            problems.push_back({number, "expected NAME = VALUE, found " + quoted(line)});
            continue;
        }
        const std::string_view name = trimmed(line.substr(0, equals));
        const std::string_view value = trimmed(line.substr(equals + 1));
        std::size_t index = 0;
        while (index < setting_fields.size() && name != setting_fields[index].name) {
            ++index;
        }
        if (index == setting_fields.size()) {
            problems.push_back({number, "unknown setting " + quoted(name)});
            continue;
        }
        const SettingField& field = setting_fields[index];
        if (set_on[index] != 0) {
            problems.push_back(
                {number, quoted(name) + " is already set on line " + std::to_string(set_on[index])});
            continue;
        }
        set_on[index] = number;
        unsigned long long parsed = 0;
        bool digits = !value.empty() && value.size() <= 10;
        for (char c : value) {
            digits = digits && c >= '0' && c <= '9';
            parsed = parsed * 10 + static_cast<unsigned>(c - '0');
        }
        if (!digits) {
            problems.push_back({number, quoted(name) + " is not a number: " + quoted(value)});
        } else if (parsed < field.lowest || parsed > field.highest) {
            problems.push_back({number, quoted(name) + " = " + std::string(value) + " is out of range " +
                                            std::to_string(field.lowest) + "-" +
                                            std::to_string(field.highest)});
        } else {
            settings.*field.member = static_cast<unsigned>(parsed);
        }
    }
    for (std::size_t i = 0; i < setting_fields.size(); ++i) {
        if (set_on[i] == 0) {
            problems.push_back({0, "missing setting '" + std::string(setting_fields[i].name) + "'"});
        }
    }
    return problems;
}
