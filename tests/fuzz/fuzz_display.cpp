// Any six configuration bytes in a read reply: the display must still be
// the eight settings, each a value it can have, in the fixed layout.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "console/screens.hpp"
#include "protocol/settings.hpp"
#include "tests/fuzz/dialogue_model.hpp"
#include "tests/support/scripted_line.hpp"

namespace {

void require(bool condition, const char* what, const std::string& shown = {})
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_display: %s\n---\n%s\n---\n", what, shown.c_str());
        std::abort();
    }
}

struct Line {
    std::string_view label;
    std::vector<std::string_view> texts; // the value is one of these, or
    unsigned highest = 0;                // a decimal number up to this
};

const std::array<Line, 8> lines{{
    {"Sitova adresa ovladace:          ", {}, 63},
    {"Komunikacni rychlost ovladace:   ", {"2400Bd", "4800Bd", "9600Bd", "19200Bd"}},
    {"Limitni hodnota tlacitka:        ", {}, 3},
    {"Hodnota BRIDGE bitu:             ", {}, 1},
    {"Inicializacni hodnota LED:       ",
     {"LED nesviti", "LED sviti", "LED blika pomalu", "LED blika rychle"}},
    {"Hodnota LED write enable bitu:   ", {}, 1},
    {"Hodnota delicky pro PWM:         ", {}, 255},
    {"Inicializacni hodnota PWM:       ", {}, 1},
}};

bool decimal_up_to(std::string_view text, unsigned highest)
{
    if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= highest;
}

void check_screen(const std::string& shown)
{
    std::string_view rest = shown;
    for (const Line& line : lines) {
        require(rest.substr(0, 1) == "\n" && rest.substr(1, line.label.size()) == line.label,
                "a setting's label missing or out of order", shown);
        rest.remove_prefix(1 + line.label.size());
        const std::size_t end = rest.find('\n');
        require(end != std::string_view::npos, "a setting without its line end", shown);
        const std::string_view value = rest.substr(0, end);
        bool known = false;
        for (std::string_view text : line.texts) {
            known = known || value == text;
        }
        require(line.texts.empty() ? decimal_up_to(value, line.highest) : known, "a value out of range",
                shown);
        rest.remove_prefix(end + 1);
    }
    require(rest == "\n\n ", "the display does not end as it should", shown);
}

std::vector<std::uint8_t> read_reply(const ConfigurationBytes& configuration)
{
    std::vector<std::uint8_t> reply{0xFF, 0x30};
    reply.insert(reply.end(), configuration.begin(), configuration.end());
    reply.resize(50, 0x00);
    model::close_frame(reply);
    return reply;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ConfigurationBytes configuration{};
    if (size < configuration.size()) {
        return 0;
    }
    std::copy_n(data, configuration.size(), configuration.begin());

    reset_scripted_line();
    give_reply(read_reply(configuration));
    char* text = nullptr;
    std::size_t length = 0;
    std::FILE* screen = open_memstream(&text, &length);
    require(screen != nullptr, "open_memstream failed");
    std::FILE* const saved = stdout;
    stdout = screen;
    const int result = show_configuration();
    stdout = saved;
    std::fclose(screen);
    const std::string shown(text, length);
    std::free(text);

    require(result == action_succeeded, "a whole reply did not count as one", shown);
    require(scripted_line().incoming.empty(), "the reply was not read whole", shown);
    const std::vector<std::uint8_t> read_request{0xFF, 0x30, 0x56, 0x7B, 0x80};
    require(scripted_line().written == read_request, "not exactly one read request was sent", shown);
    check_screen(shown);

    // Settings that came from a controller survive being written back.
    const ControllerSettings settings = decode_settings(configuration);
    if (settings.baud_code <= 3) {
        require(decode_settings(encode_settings(settings)) == settings, "settings changed on the way back",
                shown);
    }
    return 0;
}
