#include "configuration_file.hpp"

#include <algorithm>
#include <array>

#include "messages/words.hpp"

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

const std::string too_large =
    "larger than " + std::to_string(largest_configuration_file) + " bytes: not a configuration file";

// Names and values are quoted back, but never at length.
std::string quoted(std::string_view text)
{
    constexpr std::size_t longest = 40;
    std::string quote(1, '\'');
    quote.append(text.substr(0, longest)).append(text.size() > longest ? "...'" : "'");
    return quote;
}

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Letters apart, two neighbours swapped counting one.
std::size_t distance(std::string_view a, std::string_view b)
{
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        for (std::size_t j = 0; j <= b.size(); ++j) {
            if (i == 0 || j == 0) {
                d[i][j] = i + j;
                continue;
            }
            const std::size_t same = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + same});
            if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) && lower(a[i - 2]) == lower(b[j - 1])) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

// The words for each code of a setting whose codes stand for something.
struct CodeWords {
    std::string_view setting;
    std::array<std::string_view, 4> words;
};

constexpr CodeWords coded_settings[] = {
    {"baud", {"2400 Bd", "4800 Bd", "9600 Bd", "19200 Bd"}},
    {"led_init", {"off", "on", "slow blink", "fast blink"}},
};

constexpr bool a_word_for_each_code()
{
    for (const CodeWords& coded : coded_settings) {
        const auto field = std::find_if(setting_fields.begin(), setting_fields.end(),
                                        [&](const SettingField& f) { return f.name == coded.setting; });
        if (field == setting_fields.end() || field->lowest != 0 || field->highest + 1 != coded.words.size()) {
            return false;
        }
    }
    return true;
}
static_assert(a_word_for_each_code(), "a coded setting has a word for each of its codes, from 0");

// Letter case and blanks aside.
std::string folded(std::string_view text)
{
    std::string fold;
    for (const char c : text) {
        if (!is_blank(c)) {
            fold += lower(c);
        }
    }
    return fold;
}

// " (0 = 2400 Bd, ...); for 9600 Bd write 2" for a value that names a
// code, by its words or their first ("9600", "slow"); empty for a setting
// without words.
std::string code_words(std::string_view setting, std::string_view value)
{
    for (const CodeWords& coded : coded_settings) {
        if (coded.setting != setting) {
            continue;
        }
        std::string text = " (";
        std::string meant;
        for (std::size_t code = 0; code < coded.words.size(); ++code) {
            const std::string_view word = coded.words[code];
            text.append(code == 0 ? "" : ", ").append(std::to_string(code) + " = ").append(word);
            if (folded(value) == folded(word) || folded(value) == folded(word.substr(0, word.find(' ')))) {
                meant = "; for " + std::string(word) + " write " + std::to_string(code);
            }
        }
        return text + ")" + meant;
    }
    return "";
}

std::string unknown_setting(std::string_view name)
{
    std::vector<std::string_view> names;
    std::string all;
    for (const SettingField& field : setting_fields) {
        names.emplace_back(field.name);
        all.append(all.empty() ? "" : ", ").append(field.name);
    }
    const std::string_view meant = meant_name(name, names);
    return "unknown setting " + quoted(name) +
           (meant.empty() ? "; the settings are "
                          : "; did you mean '" + std::string(meant) + "'? The settings are ") +
           all;
}

} // namespace

std::string_view meant_name(std::string_view typed, const std::vector<std::string_view>& names)
{
    constexpr std::size_t longest_typed = 64, furthest = 2;
    if (typed.empty() || typed.size() > longest_typed) {
        return {};
    }
    std::string_view closest, begun;
    std::size_t closest_distance = furthest + 1, begun_by = 0;
    bool tie = false;
    for (const std::string_view name : names) {
        const std::size_t apart = distance(typed, name);
        if (apart < closest_distance) {
            closest = name;
            closest_distance = apart;
            tie = false;
        } else if (apart == closest_distance) {
            tie = true;
        }
        if (name.size() > typed.size() && folded(name.substr(0, typed.size())) == folded(typed)) {
            begun = name;
            ++begun_by;
        }
    }
    return !closest.empty() && !tie ? closest : begun_by == 1 ? begun : std::string_view();
}

std::string setting_line(const SettingField& field, const ControllerSettings& settings)
{
    return std::string(field.name) + " = " + std::to_string(settings.*field.member);
}

std::string format_configuration_file(const ControllerIdentity& identity, const ControllerSettings& settings)
{
    std::string text = "# " + identity_text(identity) + "\n";
    for (const SettingField& field : setting_fields) {
        text += setting_line(field, settings) + "\n";
    }
    return text;
}

std::string header_type(const ControllerIdentity& identity)
{
    return std::string(trimmed(type_text(identity.type)));
}

std::string type_named_in(std::string_view text)
{
    std::string_view first = text.substr(0, text.find('\n'));
    first = trimmed(first.ends_with('\r') ? first.substr(0, first.size() - 1) : first);
    constexpr std::string_view firmware = ", firmware ";
    const std::size_t at = first.rfind(firmware);
    if (!first.starts_with('#') || at == first.npos) {
        return "";
    }
    return std::string(trimmed(first.substr(1, at - 1)));
}

Result<std::string> decode_text(std::string_view raw)
{
    // Judged as it lies on the disk: a mark or UTF-16 must not let more in.
    if (raw.size() > largest_configuration_file) {
        return Unexpected{std::string(too_large)};
    }
    const bool little = raw.starts_with("\xFF\xFE"), big = raw.starts_with("\xFE\xFF");
    if (!little && !big) {
        if (raw.starts_with("\xEF\xBB\xBF")) {
            raw.remove_prefix(3);
        }
        if (raw.find('\0') != raw.npos) {
            // NULs at nearly every other byte, on one side only, is UTF-16
            // that lost its mark.
            std::array<std::size_t, 2> zeros{};
            for (std::size_t i = 0; i < raw.size(); ++i) {
                zeros[i % 2] += raw[i] == '\0' ? 1 : 0;
            }
            const std::size_t pairs = raw.size() / 2;
            const bool utf16 =
                std::max(zeros[0], zeros[1]) * 10 >= pairs * 8 && std::min(zeros[0], zeros[1]) * 10 <= pairs;
            return Unexpected{
                std::string(utf16 ? "not text: UTF-16 without a BOM? Save it as UTF-8" : "not text: binary")};
        }
        return std::string(raw);
    }
    raw.remove_prefix(2);
    if (raw.size() % 2 != 0) {
        return Unexpected{std::string("not text: UTF-16 cut off inside a character")};
    }
    auto unit_at = [&raw, little](std::size_t i) {
        const auto low = static_cast<unsigned char>(raw[i + (little ? 0 : 1)]);
        const auto high = static_cast<unsigned char>(raw[i + (little ? 1 : 0)]);
        return static_cast<unsigned>(low | high << 8);
    };
    std::string text;
    for (std::size_t i = 0; i < raw.size(); i += 2) {
        unsigned code = unit_at(i);
        if (code == 0) {
            return Unexpected{std::string("not text: binary")};
        }
        // A character beyond U+FFFF is a high half followed by a low one;
        // a half on its own is no character.
        const bool high_half = code >= 0xD800 && code < 0xDC00;
        const unsigned next = i + 2 < raw.size() ? unit_at(i + 2) : 0;
        if ((high_half && (next < 0xDC00 || next >= 0xE000)) || (code >= 0xDC00 && code < 0xE000)) {
            return Unexpected{std::string("not text: UTF-16 with half a character")};
        }
        if (high_half) {
            i += 2;
            code = 0x10000 + ((code - 0xD800) << 10) + (next - 0xDC00);
        }
        // As UTF-8, so a name typed with a letter beyond ASCII is quoted back
        // as it was typed.
        if (code < 0x80) {
            text += static_cast<char>(code);
        } else if (code < 0x800) {
            text += static_cast<char>(0xC0 | code >> 6);
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            text += static_cast<char>(0xE0 | code >> 12);
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | code >> 18);
            text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return text;
}

namespace {

// Checks one setting given by name and value; the field's index, or the
// number of fields with `problem` set.
std::size_t check_setting(std::string_view name, std::string_view value, ControllerSettings& settings,
                          std::string& problem)
{
    std::size_t index = 0;
    while (index < setting_fields.size() && name != setting_fields[index].name) {
        ++index;
    }
    if (index == setting_fields.size()) {
        problem = unknown_setting(name);
        return index;
    }
    const SettingField& field = setting_fields[index];
    unsigned long long parsed = 0;
    bool digits = !value.empty() && value.size() <= 10;
    for (char c : value) {
        digits = digits && c >= '0' && c <= '9';
        parsed = parsed * 10 + static_cast<unsigned>(c - '0');
    }
    if (!digits) {
        problem = quoted(name) + " is not a number: " + quoted(value) + code_words(name, value);
    } else if (parsed < field.lowest || parsed > field.highest) {
        problem = quoted(name) + " = " + std::string(value) + " is out of range " +
                  std::to_string(field.lowest) + "-" + std::to_string(field.highest) +
                  code_words(name, value);
    } else {
        settings.*field.member = static_cast<unsigned>(parsed);
    }
    return index;
}

} // namespace

std::vector<FileProblem> parse_configuration_file(std::string_view text, ControllerSettings& settings,
                                                  const Overridden& overridden)
{
    if (text.size() > largest_configuration_file) {
        return {{0, too_large}};
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
        ControllerSettings checked = settings;
        std::string problem;
        const std::size_t index = check_setting(name, trimmed(line.substr(equals + 1)), checked, problem);
        const bool known = index < set_on.size();
        const bool duplicate = known && set_on[index] != 0;
        if (duplicate) {
            problem = quoted(name) + " is already set on line " + std::to_string(set_on[index]);
        } else if (known) {
            set_on[index] = number;
        }
        if (known && !duplicate && overridden[index]) {
            continue; // the command line's value stands
        }
        if (!problem.empty()) {
            problems.push_back({number, problem});
        } else {
            settings = checked;
        }
    }
    for (std::size_t i = 0; i < setting_fields.size(); ++i) {
        if (set_on[i] == 0 && !overridden[i]) {
            problems.push_back({0, "missing setting '" + std::string(setting_fields[i].name) + "'"});
        }
    }
    return problems;
}

std::string_view override_name(std::string_view set)
{
    return trimmed(set.substr(0, set.find('=')));
}

std::vector<std::string> parse_setting_overrides(const std::vector<std::string>& sets,
                                                 ControllerSettings& settings, Overridden& overridden)
{
    std::vector<std::string> problems;
    for (const std::string& set : sets) {
        const std::size_t equals = set.find('=');
        std::string problem = equals == set.npos ? "expected NAME=VALUE" : "";
        const std::string_view name = override_name(set);
        const std::size_t index =
            problem.empty()
                ? check_setting(name, trimmed(std::string_view(set).substr(equals + 1)), settings, problem)
                : setting_fields.size();
        if (problem.empty() && overridden[index]) {
            problem = quoted(name) + " is given twice";
        }
        if (!problem.empty()) {
            problems.push_back("--set " + set + ": " + problem);
        } else {
            overridden[index] = true;
        }
    }
    return problems;
}
