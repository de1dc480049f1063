// What the console reads: typed numbers, the command line and
// configuration files.

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#include "commissioning/configuration_file.hpp"
#include "dialogue/typed_numbers.hpp"
#include "kit.hpp"
#include "messages/words.hpp"
#include "program/options.hpp"

namespace {

// Feeds text to standard input for the reads that follow. Reopening drops
// whatever the previous case left in the stream's buffer.
void type_in(const std::string& text)
{
    const std::string path = (kit::own_directory() / "keys").string();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    ASSERT_NE(std::freopen(path.c_str(), "rb", stdin), nullptr);
}

std::string rest_of_input()
{
    std::string rest;
    for (int c = std::getchar(); c != EOF; c = std::getchar()) {
        rest += static_cast<char>(c);
    }
    return rest;
}

using Status = NumberRead::Status;
using kit::hex;

// What the command line was taken for, in a few words.
std::string described(std::vector<const char*> arguments)
{
    arguments.insert(arguments.begin(), "zumel-config");
    const Options o = parse_options(static_cast<int>(arguments.size()), arguments.data());
    const char* modes[] = {"dialogue", "help", "version", "read", "write", "list", "find", "refused: "};
    std::string text = modes[static_cast<int>(o.mode)] + o.error;
    for (const auto& [name, value] : {std::pair{"port", o.port ? com_name(*o.port) : ""},
                                      {"file", o.file},
                                      {"prefix", o.com_prefix},
                                      {"trace", o.trace},
                                      {"log", o.log}}) {
        text += value.empty() ? "" : std::string(", ") + name + " " + value;
    }
    for (const std::string& set : o.sets) {
        text += ", set " + set;
    }
    return text;
}

const std::string good_file = "# ZML-4C08, firmware 105\n"
                              "address = 10\nbaud = 2\nbutton_limit = 1\nbridge = 0\n"
                              "led_init = 1\nled_write_enable = 0\npwm_divider = 128\npwm_init = 0\n";

} // namespace

TEST(ReadNumber, ValuesSignsWrappingAndWhatStaysUnread)
{
    struct Case {
        const char* input;
        Status status;
        std::uint32_t value;
        const char* left;
    };
    const Case cases[] = {
        {"  \n\t 42 rest\n", Status::number, 42, " rest\n"},
        {"+5\n", Status::number, 5, "\n"},
        {"-1\n", Status::number, 4294967295U, "\n"},
        {"-0\n", Status::number, 0, "\n"},
        {"4294967297\n", Status::number, 1, "\n"},
        {"00063x", Status::number, 63, "x"},
        {"99999999999999999999999999\n", Status::number, 3825205247U, "\n"},
        {"12", Status::number, 12, ""},
        {"\v\f\r9", Status::number, 9, ""},
        {"abc\n", Status::not_a_number, 0, "abc\n"},
        {"+\n", Status::not_a_number, 0, "\n"},
        {"--3\n", Status::not_a_number, 0, "-3\n"},
        {"", Status::end_of_input, 0, ""},
        {"   \n\n", Status::end_of_input, 0, ""},
        {"-", Status::end_of_input, 0, ""},
    };
    for (const auto& c : cases) {
        type_in(c.input);
        const NumberRead read = read_number();
        EXPECT_EQ(read.status, c.status) << '"' << c.input << '"';
        EXPECT_EQ(read.value, c.value) << '"' << c.input << '"';
        EXPECT_EQ(rest_of_input(), c.left) << '"' << c.input << '"';
    }

    type_in(std::string("\0"
                        "5\n7 8\nrest",
                        10));
    EXPECT_EQ(read_number().status, Status::not_a_number) << "NUL is not a digit";
    discard_input_line();
    EXPECT_EQ(read_number().value, 7U);
    EXPECT_EQ(read_number().value, 8U);
    discard_input_line();
    discard_input_line();
    EXPECT_EQ(read_number().status, Status::end_of_input);
}

TEST(Options, EachModeAndEveryRefusal)
{
    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{}, "dialogue"},
        {{"--com-prefix", "/dev/ttyUSB"}, "dialogue, prefix /dev/ttyUSB"},
        {{"--port", "com9", "--trace", "t.txt", "--log", "d"}, "dialogue, port COM9, trace t.txt, log d"},
        {{"--port=com12", "--read", "-o", "a.conf", "--com-prefix=/x/t"},
         "read, port COM12, file a.conf, prefix /x/t"},
        {{"--write", "-", "--port", "COM255", "--set", "address=3", "--set=baud=1"},
         "write, port COM255, file -, set address=3, set baud=1"},
        {{"--list"}, "list"},
        {{"--find", "--trace", "t"}, "find, trace t"},
        {{"--read", "--help"}, "help"},
        {{"-h", "--version"}, "help"},
        {{"--version"}, "version"},
        {{"--bogus"}, "refused: unknown option --bogus"},
        {{"COM1"}, "refused: unexpected argument COM1"},
        {{"--com-prefix"}, "refused: --com-prefix needs a value"},
        {{"--com-prefix="}, "refused: --com-prefix needs a value"},
        {{"--read=yes"}, "refused: --read takes no value"},
        {{"--read"}, "refused: --read needs --port COMn"},
        {{"--write", "a"}, "refused: --write needs --port COMn"},
        {{"--port", "COM1", "--read", "--write", "a"}, "refused: --read and --write exclude each other"},
        {{"--port", "COM1", "--write", "a", "-o", "b"}, "refused: -o goes with --read only"},
        {{"--port", "COM1", "--read", "--set", "baud=1"}, "refused: --set goes with --write only"},
        {{"--port", "COM1", "--read", "--log", "d"}, "refused: --log goes with --write or the dialogue"},
        {{"--port", "COM1", "--port", "COM2", "--read"}, "refused: --port given twice"},
        {{"-o", "a", "--output", "b"}, "refused: -o given twice"},
        {{"--list", "--find"}, "refused: --list and --find exclude each other"},
        {{"--find", "--port", "COM1"}, "refused: --find and --port exclude each other"},
        {{"--list", "--set", "a=1"}, "refused: --list and --set exclude each other"},
        {{"--list", "--trace", "t"}, "refused: --list opens no port: there is nothing to trace"},
    };
    for (const auto& [arguments, expected] : cases) {
        EXPECT_EQ(described(arguments), expected);
    }
    for (const char* name : {"COM0", "LPT1"}) { // the parser's own table has the rest
        EXPECT_EQ(described({"--port", name}),
                  "refused: " + std::string(name) + " is not a port name: COM1 to COM255");
    }
}

TEST(ConfigurationFile, WrittenAsReadAndReadBackWhole)
{
    ControllerType type{{'Z', 'M', 'L', '-', '4', 'C', '0', '8'}};
    const ControllerSettings settings{10, 2, 1, 0, 1, 0, 128, 0};
    EXPECT_EQ(format_configuration_file({type, {1, 5}}, settings), good_file);
    type.characters = {'A', '\n', '\x7f', '#', ' ', '\x80', 'z', '\0'};
    EXPECT_EQ(identity_text({type, {12, 3}}), "A??# ?z?, firmware 1203");

    ControllerSettings parsed;
    EXPECT_TRUE(parse_configuration_file(good_file, parsed).empty());
    EXPECT_EQ(parsed, settings);
    const std::string loose = "\r\n  # comment with \xc4\x8d\r\n\tpwm_init=1 \r\naddress =63\nbaud= 3\n"
                              "button_limit = 3\nbridge = 1\nled_init = 3\nled_write_enable = 1\n"
                              "pwm_divider = 255";
    EXPECT_TRUE(parse_configuration_file(loose, parsed).empty());
    EXPECT_EQ(parsed, (ControllerSettings{63, 3, 3, 1, 3, 1, 255, 1}));
}

TEST(ConfigurationFile, EveryProblemWithItsLine)
{
    const std::string bad = "# controller 7\n"
                            "address = 0\n"
                            "baud = 4\n"
                            "adress = 5\n"
                            "button_limit = x\n"
                            "bridge = -1\n"
                            "led_init 1\n"
                            "bridge = 1\n"
                            "led_write_enable = 1\x01\n"
                            "pwm_divider = 99999999999\n"
                            "address = 10\n"
                            "pwm_init = 2\n";
    ControllerSettings parsed;
    std::string problems;
    for (const FileProblem& problem : parse_configuration_file(bad, parsed)) {
        problems += std::to_string(problem.line) + ": " + problem.text + "\n";
    }
    EXPECT_EQ(problems, "2: 'address' = 0 is out of range 1-63\n"
                        "3: 'baud' = 4 is out of range 0-3\n"
                        "4: unknown setting 'adress'\n"
                        "5: 'button_limit' is not a number: 'x'\n"
                        "6: 'bridge' is not a number: '-1'\n"
                        "7: expected NAME = VALUE, found 'led_init 1'\n"
                        "8: 'bridge' is already set on line 6\n"
                        "9: not text: control characters\n"
                        "10: 'pwm_divider' is not a number: '99999999999'\n"
                        "11: 'address' is already set on line 2\n"
                        "12: 'pwm_init' = 2 is out of range 0-1\n"
                        "0: missing setting 'led_init'\n"
                        "0: missing setting 'led_write_enable'\n");

    const auto huge = parse_configuration_file(std::string(largest_configuration_file + 1, '#'), parsed);
    ASSERT_EQ(huge.size(), 1U);
    EXPECT_EQ(huge[0].text, "larger than 65536 bytes: not a configuration file");
    const auto empty = parse_configuration_file("", parsed);
    EXPECT_EQ(empty.size(), 8U);
}

TEST(ConfigurationFile, SettingsFromTheCommandLineStandInsteadOfTheFiles)
{
    const std::string file = "address = 0\nbaud = 9\nbutton_limit = 1\nbridge = 0\nled_init = 1\n"
                             "led_write_enable = 0\npwm_divider = 128\n";
    ControllerSettings parsed;
    Overridden overridden{};
    EXPECT_TRUE(
        parse_setting_overrides({"address=5", " baud = 3", "pwm_init=1"}, parsed, overridden).empty());
    EXPECT_TRUE(parse_configuration_file(file, parsed, overridden).empty());
    EXPECT_EQ(parsed, (ControllerSettings{5, 3, 1, 0, 1, 0, 128, 1}));

    Overridden again{};
    EXPECT_EQ(
        parse_setting_overrides({"adress=5", "address", "baud=4", "pwm_init=1", "pwm_init=0"}, parsed, again),
        (std::vector<std::string>{
            "--set adress=5: unknown setting 'adress'", "--set address: expected NAME=VALUE",
            "--set baud=4: 'baud' = 4 is out of range 0-3", "--set pwm_init=0: 'pwm_init' is given twice"}));
}

TEST(ConfigurationFile, TextAsWindowsToolsSaveIt)
{
    auto utf16 = [](std::string_view text, bool little) {
        std::string bytes = little ? "\xFF\xFE" : "\xFE\xFF";
        for (const char c : text) {
            bytes += little ? std::string{c, '\0'} : std::string{'\0', c};
        }
        return bytes;
    };
    const std::string crlf = "# \xC4\x8D\r\naddress = 7\r\n";
    const std::pair<std::string, std::string> cases[] = {
        {"\xEF\xBB\xBF" + crlf, crlf},
        {crlf, crlf},
        {utf16("# X\r\naddress = 7\r\n", true).replace(6, 2, "\x0D\x01"), crlf}, // X: c with caron, U+010D
        {utf16("address = 7\r\n", false), "address = 7\r\n"},
        {std::string("\xFF\xFE\xAC\x20\x40\xDB\x41\xDC", 8),
         "\xE2\x82\xAC\xF3\xA0\x81\x81"}, // U+20AC, U+E0041
        {utf16("address = 7\r\n", true).substr(2), "not text: UTF-16 without a BOM? Save it as UTF-8"},
        {std::string("\x7F"
                     "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0\x03\0>\0\x01",
                     21),
         "not text: binary"},
        {"\xFF\xFE"
         "a",
         "not text: UTF-16 cut off inside a character"},
        {std::string("\xFF\xFE"
                     "a\0\0\0",
                     6),
         "not text: binary"},
    };
    for (const auto& [raw, expected] : cases) {
        std::string text, problem;
        const bool decoded = decode_text(raw, text, problem);
        EXPECT_EQ(decoded ? text : problem, expected) << hex(kit::Bytes(raw.begin(), raw.end()));
    }
}
