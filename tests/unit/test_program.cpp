// The command line, and the words the program has for what the link and
// the controller report: the trace's lines and the reasons it gives.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "messages/words.hpp"
#include "program/options.hpp"
#include "program/trace.hpp"

namespace {

// What the command line was taken for, in a few words.
std::string described(std::vector<const char*> arguments)
{
    arguments.insert(arguments.begin(), "zumel-config");
    const Options o = parse_options(static_cast<int>(arguments.size()), arguments.data());
    const char* modes[] = {"dialogue", "help", "version", "read",     "write",
                           "station",  "list", "find",    "refused: "};
    std::string text = modes[static_cast<int>(o.mode)] + o.error;
    for (const auto& [name, value] : {std::pair{"port", o.port ? port_name_text(*o.port) : ""},
                                      {"input", o.input},
                                      {"output", o.output},
                                      {"prefix", o.com_prefix},
                                      {"trace", o.trace},
                                      {"log", o.log}}) {
        text += value.empty() ? "" : std::string(", ") + name + " " + value;
    }
    for (const std::string& set : o.sets) {
        text += ", set " + set;
    }
    for (const PortName& port : o.ports.size() > 1 ? o.ports : std::vector<PortName>{}) {
        text += ", watch " + port_name_text(port);
    }
    if (o.addresses) {
        text += ", addresses " + std::to_string(o.addresses->first) + "-" + std::to_string(o.addresses->last);
    }
    return text;
}

// One option of a usage line: "[--port COMn]..." is {"--port", "COMn", true}.
struct Named {
    std::string option, value;
    bool repeated = false;
};

// The command lines a usage line names: "A | B C" is A or B C, after what
// comes before A.
std::vector<std::vector<Named>> command_lines(const std::string& usage)
{
    std::vector<std::vector<Named>> lines(1);
    const std::regex option(R"(\s\[?(-[-a-z]+)(?: ([A-Z][A-Za-z=-]*))?\]?(\.\.\.)?|\s\|)");
    for (auto m = std::sregex_iterator(usage.begin(), usage.end(), option); m != std::sregex_iterator();
         ++m) {
        if ((*m)[1].matched) {
            lines.back().push_back({(*m)[1].str(), (*m)[2].str(), (*m)[3].matched});
        } else {
            lines.push_back({});
        }
    }
    std::vector<Named> common(lines.front().begin(), lines.front().end() - (lines.size() > 1 ? 1 : 0));
    lines.front().erase(lines.front().begin(), lines.front().begin() + common.size());
    for (std::vector<Named>& line : lines) {
        line.insert(line.begin(), common.begin(), common.end());
    }
    return lines;
}

// A value of each kind --help names, a second one of those that repeat.
Options parsed(const std::vector<Named>& line)
{
    std::vector<const char*> arguments{"zumel-config"};
    for (const Named& named : line) {
        for (int time = 0; time < (named.repeated ? 2 : 1); ++time) {
            const bool again = time == 1;
            arguments.push_back(named.option.c_str());
            if (!named.value.empty()) {
                arguments.push_back(named.value == "COMn"         ? (again ? "COM2" : "COM1")
                                    : named.value == "NAME=VALUE" ? (again ? "pwm_init=0" : "baud=1")
                                    : named.value == "FIRST-LAST" ? "2-3"
                                                                  : "x");
            }
        }
    }
    return parse_options(static_cast<int>(arguments.size()), arguments.data());
}

} // namespace

// --help names each option of the table with its value, and each of its
// usage lines is a command line the table takes, naming every option of its
// mode, "..." on exactly those that may come again there.
TEST(Options, TheHelpNamesEveryOptionAsTheTableHasIt)
{
    const std::string help = usage_text;
    for (const OptionRow& row : option_rows) {
        const std::string line = "\n  " + (row.short_name.empty() ? "" : std::string(row.short_name) + ", ") +
                                 std::string(row.name) +
                                 (row.value.empty() ? "" : " " + std::string(row.value)) + " ";
        EXPECT_NE(help.find(row.asks_for == Options::Mode::help || row.asks_for == Options::Mode::version
                                ? " " + std::string(row.name)
                                : line),
                  help.npos)
            << line;
    }
    std::set<Options::Mode> shown;
    const std::string synopsis = help.substr(0, help.find("\n\n"));
    for (std::size_t start = 0, end = 0; start < synopsis.size(); start = end + 1) {
        end = std::min(synopsis.find("\n       zumel-config", start), synopsis.size());
        for (const std::vector<Named>& line : command_lines(synopsis.substr(start, end - start))) {
            const Options options = parsed(line);
            ASSERT_NE(options.mode, Options::Mode::usage_error) << options.error;
            shown.insert(options.mode);
            std::set<const OptionRow*> named;
            for (const Named& option : line) {
                const OptionRow* row = option_named(option.option);
                ASSERT_NE(row, nullptr) << option.option;
                named.insert(row);
                EXPECT_EQ(option.value, row->value) << option.option;
                EXPECT_EQ(option.repeated, has_mode(row->repeatable, options.mode)) << option.option;
            }
            for (const OptionRow& row : option_rows) {
                std::vector<Named> more = line;
                more.push_back({std::string(row.name), std::string(row.value)});
                EXPECT_TRUE(named.contains(&row) || options.mode == Options::Mode::help ||
                            options.mode == Options::Mode::version || parsed(more).mode != options.mode)
                    << row.name << " belongs on the line of its mode";
            }
        }
    }
    EXPECT_EQ(shown.size(), static_cast<std::size_t>(Options::Mode::usage_error)) << "a line for every mode";
}

// The completion offers every option of the table, a value after those that
// take one (after --set the settings' names), and after each option none of
// those that share no mode with it.
TEST(Options, TheCompletionOffersAndExcludesAsTheTable)
{
    std::stringstream text;
    text << std::ifstream(COMPLETION_SCRIPT).rdbuf();
    const std::string script = std::regex_replace(text.str(), std::regex("\\\\\n\\s*"), "");
    std::smatch found;
    ASSERT_TRUE(std::regex_search(script, found, std::regex(R"(for option in ([^;]*); do)")));
    std::istringstream offered(found[1].str());
    std::string in_order, table;
    for (std::string name; offered >> name;) {
        in_order += option_named(name) == nullptr ? "? " : std::string(option_named(name)->name) + " ";
    }
    std::map<const OptionRow*, std::string> excludes;
    std::set<const OptionRow*> valued;
    const std::regex pattern(R"re(\n\s+(-[-a-z]+(?:\s*\|\s*-[-a-z]+)*)\)( excluded\+="([^"]*)" ;;)?)re");
    for (auto line = std::sregex_iterator(script.begin(), script.end(), pattern);
         line != std::sregex_iterator(); ++line) {
        std::istringstream alternatives(std::regex_replace((*line)[1].str(), std::regex(R"(\|)"), " "));
        for (std::string name; alternatives >> name;) {
            ASSERT_NE(option_named(name), nullptr) << name;
            (*line)[2].matched ? void(excludes[option_named(name)] = (*line)[3].str())
                               : void(valued.insert(option_named(name)));
        }
    }
    for (const OptionRow& row : option_rows) {
        table += std::string(row.name) + " ";
        std::string excluded;
        for (const OptionRow& other : option_rows) {
            excluded += exclude_each_other(row, other) ? std::string(spoken_name(other)) + " " : "";
        }
        EXPECT_EQ(excludes[&row], excluded) << row.name;
        EXPECT_EQ(valued.contains(&row), !row.value.empty()) << row.name << " takes a value";
    }
    EXPECT_EQ(in_order, table) << "offered in the table's order, by a name of each";
    std::string settings;
    for (const SettingField& field : setting_fields) {
        settings += std::string(field.name) + "= ";
    }
    ASSERT_TRUE(std::regex_search(script, found,
                                  std::regex(R"re(--set\)\s*COMPREPLY=\(\$\(compgen -W "([^"]*)")re")));
    EXPECT_EQ(std::regex_replace(found[1].str(), std::regex("\\s+"), " ") + " ", settings) << "after --set";
}

// After --port a device server's scheme once a letter of it is typed, in
// either case; nothing more where the technician types the host.
TEST(Options, TheCompletionOffersTheServersSchemesAfterPort)
{
    const std::pair<const char*, const char*> cases[] = {
        {"r", "rfc2217://"}, {"SO", "socket://"}, {"", ""}, {"rfc2217:", ""}, {"x", ""}};
    for (const auto& [typed, offered] : cases) {
        const std::string command =
            std::string("bash -c 'source \"$0\"; COMP_WORDS=(zumel-config --port \"$1\"); "
                        "COMP_CWORD=2; PATH=/nonexistent; _zumel_config; "
                        "echo \"${COMPREPLY[*]}\"' ") +
            COMPLETION_SCRIPT + " '" + typed + "'";
        std::FILE* shell = popen(command.c_str(), "r");
        ASSERT_NE(shell, nullptr);
        char line[256] = {};
        const bool read = std::fgets(line, sizeof line, shell) != nullptr;
        EXPECT_EQ(pclose(shell), 0) << typed;
        EXPECT_TRUE(read) << typed;
        EXPECT_EQ(std::string(line), std::string(offered) + "\n") << typed;
    }
}

TEST(Options, EachModeAndEveryRefusal)
{
    auto station = [](std::vector<const char*> more) {
        more.insert(more.begin(), {"--station", "--write", "a", "--log", "d"});
        return more;
    };
    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{}, "dialogue"},
        {{"--com-prefix", "/dev/ttyUSB"}, "dialogue, prefix /dev/ttyUSB"},
        {{"--port", "com9", "--trace", "t.txt", "--log", "d"}, "dialogue, port COM9, trace t.txt, log d"},
        {{"--port=com12", "--read", "-o", "a.conf", "--com-prefix=/x/t"},
         "read, port COM12, output a.conf, prefix /x/t"},
        {{"--write", "-", "--port", "COM4096", "--set", "address=3", "--set=baud=1"},
         "write, port COM4096, input -, set address=3, set baud=1"},
        {{"--list"}, "list"},
        {{"--find", "--trace", "t"}, "find, trace t"},
        {{"--read", "--help"}, "help"},
        {{"-h", "--version", "--help"}, "help"},
        {{"--help", "--help"}, "refused: --help given twice"},
        {{"--version"}, "version"},
        {{"--bogus"}, "refused: unknown option --bogus"},
        {{"--s"}, "refused: unknown option --s"}, // --set, -o and -h as near
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
        {{"-o", "a"}, "refused: -o goes with --read only"},
        {{"--port", "COM1", "--set", "baud=1"}, "refused: --set goes with --write only"},
        {{"--list", "--find"}, "refused: --list and --find exclude each other"},
        {{"--find", "--port", "COM1"}, "refused: --find and --port exclude each other"},
        {{"--list", "--trace", "t"}, "refused: --list opens no port: there is nothing to trace"},
        {station({}), "station, input a, log d"},
        {{"--station", "--write=a", "--log=d", "--port", "COM1", "--port", "com12", "--addresses", "2-63",
          "--set", "baud=1"},
         "station, port COM1, input a, log d, set baud=1, watch COM1, watch COM12, addresses 2-63"},
        {station({"--addresses=7-7"}), "station, input a, log d, addresses 7-7"},
        {{"--station", "--log", "d"}, "refused: --station needs --write FILE"},
        {{"--station", "--write", "a"}, "refused: --station needs --log DIR: it keeps the batch there"},
        {station({"--read"}), "refused: --station and --read exclude each other"},
        {station({"--port", "COM1", "--port", "com1"}), "refused: com1 given twice"},
        {{"--port", "COM1", "--addresses", "2-3"}, "refused: --addresses goes with --station only"},
        // Device servers wherever a port is named; a URL that does not parse is refused in words.
        {{"--port", "RFC2217://10.0.0.5:4001", "--read"}, "read, port rfc2217://10.0.0.5:4001"},
        {{"--port=socket://[fe80::1]:23", "--write", "a", "--log", "d"},
         "write, port socket://[fe80::1]:23, input a, log d"},
        {station({"--port", "rfc2217://h:1", "--port", "COM2", "--port", "socket://h:1"}),
         "station, port rfc2217://h:1, input a, log d, watch rfc2217://h:1, watch COM2, watch socket://h:1"},
        {station({"--port", "rfc2217://h:1", "--port", "rfc2217://h:1"}),
         "refused: rfc2217://h:1 given twice"},
        {{"--find", "--port", "rfc2217://h:1"}, "refused: --find and --port exclude each other"},
        {{"--list", "--port", "socket://h:1"}, "refused: --list and --port exclude each other"},
        {station({"--addresses", "2-9", "--set", " address =3"}),
         "refused: --addresses and --set  address =3 exclude each other: the station gives the addresses"},
        {station({"--addresses", "2-9", "--set", "address\t=3"}),
         "refused: --addresses and --set address\t=3 exclude each other: the station gives the addresses"},
    };
    for (const auto& [arguments, expected] : cases) {
        EXPECT_EQ(described(arguments), expected);
    }
    for (const char* range : {"0-5", "5-64", "9-2", "2", "2-", "-3", "a-b", "2-3x", "99999999999-3"}) {
        EXPECT_EQ(described(station({"--addresses", range})),
                  "refused: --addresses " + std::string(range) +
                      ": expected FIRST-LAST within 1-63, FIRST not above LAST")
            << range;
    }
    for (const char* name : {"COM0", "LPT1"}) { // the parser's own table has the rest
        EXPECT_EQ(described({"--port", name}),
                  "refused: " + std::string(name) + " is not a port name: COM1 to COM4096");
    }
    for (const auto& [name, why] : std::initializer_list<std::pair<const char*, const char*>>{
             {"telnet://h:23", "a device server is rfc2217://HOST:PORT or socket://HOST:PORT"},
             {"rfc2217://h", "no port after the host (HOST:PORT)"},
             {"socket://:23", "no host before the port"},
             {"socket://h/x:23", "the host is not a name, an IPv4 address or an IPv6 address in brackets"},
             {"rfc2217://h:65536", "the port is not a number from 1 to 65535"},
         }) {
        EXPECT_EQ(described({"--port", name, "--read"}),
                  "refused: " + std::string(name) + " is not a port name: " + why);
    }
}

// A trace tells a time-out from a hang-up and a failure, for reads and writes.
TEST(Words, TheTraceSaysHowEachReadAndWriteEnded)
{
    SerialPort link;
    link.name = ComPort{3};
    link.port = ComPort{3};
    link.device = "/dev/ttyUSB2";
    const std::uint8_t ff[] = {0xFF};
    using Kind = LineEvent::Kind;
    // Whole transfers, time-outs on reads and hang-ups are the end-to-end
    // traces'; here what they cannot make happen.
    const std::pair<LineEvent, std::string> cases[] = {
        {{Kind::received, ff, 12, 1012, 7, TransferEnd::failed, EBADF},
         "COM3 received 1 of 12 bytes, failed after 7 ms (Bad file descriptor): FF"},
        {{Kind::sent, {}, 52, 1104, 1104, TransferEnd::timed_out},
         "COM3 sent 0 of 52 bytes, time-out after 1104 ms"},
        {{Kind::discarded, ff}, "COM3 discarded 1 bytes that were waiting: FF"},
        // The wait behind a whole reply: nothing is the good case.
        {{Kind::received, {}, 64, 50, 50, TransferEnd::timed_out, 0, true},
         "COM3 nothing behind the reply within 50 ms"},
        {{Kind::received, ff, 64, 50, 50, TransferEnd::timed_out, 0, true},
         "COM3 received 1 bytes behind the reply within 50 ms: FF"},
        {{Kind::received, {}, 64, 50, 3, TransferEnd::hung_up, 0, true},
         "COM3 received 0 of 64 bytes, hung up after 3 ms behind the reply"},
    };
    for (const auto& [event, line] : cases) {
        EXPECT_EQ(trace_line(link, event), line);
    }
}

// A server's open is traced with what it settled, each setting as it
// answered; a line on the server's own settings is said once on stderr.
TEST(Words, AServersOpenSaysWhatItSettled)
{
    SerialPort link;
    link.name = ServerAddress{.scheme = ServerScheme::rfc2217, .host = "plc-7", .port = 4001};
    link.device = "10.0.0.5:4001";
    link.line = controller_line;
    link.server.answers = {
        .baud = 9600, .data_size = 8, .parity = 2, .stop_size = 1, .control = 1, .purged = true};
    const LineEvent opened{.kind = LineEvent::Kind::opened};
    const std::string asked = "rfc2217://plc-7:4001 (10.0.0.5:4001) connected: asked 9600 Bd, 8 data bits, "
                              "odd parity, 1 stop bit, no flow control; the server answered ";
    EXPECT_EQ(trace_line(link, opened),
              asked + "9600 Bd, 8 data bits, parity odd, stop bits 1, flow control none, buffers purged");
    link.server.answers = {.parity = 9, .stop_size = 3};
    EXPECT_EQ(trace_line(link, opened), asked + "baud not answered, data bits not answered, parity 9, stop "
                                                "bits 1.5, flow control not answered, purge not answered");
    const std::uint8_t request[] = {0xFF, 0x28, 0x59, 0x80};
    EXPECT_EQ(trace_line(link, {.kind = LineEvent::Kind::sent, .bytes = request, .asked = 4}),
              "rfc2217://plc-7:4001 sent 4 bytes: FF 28 59 80");
    EXPECT_EQ(trace_line(link, {.kind = LineEvent::Kind::closed}), "rfc2217://plc-7:4001 closed");
    EXPECT_EQ(own_settings_notice(link), "") << "not open";

    link.server.own_settings = true;
    EXPECT_EQ(trace_line(link, opened),
              "rfc2217://plc-7:4001 (10.0.0.5:4001) connected: on the server's own line settings (no "
              "COM-PORT-OPTION)");
    link.name = ServerAddress{.scheme = ServerScheme::socket, .host = "10.0.0.5", .port = 23};
    link.device = "10.0.0.5:23";
    EXPECT_EQ(trace_line(link, opened),
              "socket://10.0.0.5:23 (10.0.0.5:23) connected: on the server's own line settings (bare TCP)");
    // Open (on the in-process line), it is said with the settings to set there.
    SerialPort open = open_port(ComPort{1}, default_com_naming(), controller_line);
    open.name = link.name;
    open.server.own_settings = true;
    EXPECT_EQ(
        own_settings_notice(open),
        "socket://10.0.0.5:23: a socket:// server keeps its own line settings; set 9600 8O1 on the server");
}

// The reasons a scripted run gives name what happened on the line.
// A file's name in a command to type: one word to sh and to cmd alike.
TEST(Words, ANameInACommandIsOneWord)
{
    const std::pair<std::string, std::string> cases[] = {
        {"site-a/20261207-143015-COM1.before.conf", "site-a/20261207-143015-COM1.before.conf"},
        {"C:\\Users\\Tom\\b.conf", "C:\\Users\\Tom\\b.conf"},
        {"m\xc4\x9bsto/b.conf", "m\xc4\x9bsto/b.conf"},
        {"site a/b.conf", "\"site a/b.conf\""},
        {"a&b;c", "\"a&b;c\""},
        {"", "\"\""},
    };
    for (const auto& [name, word] : cases) {
        EXPECT_EQ(command_word(name), word) << name;
    }
}

TEST(Words, AnExchangeThatFailedSaysHow)
{
    auto exchange = [](TransferEnd sent, TransferEnd received, std::size_t count,
                       std::vector<std::uint8_t> trailing) {
        return Exchange{.sent = {.count = 4, .end = sent, .error = EIO},
                        .received = {.count = count, .end = received, .error = EBADF},
                        .expected = 12,
                        .trailing = std::move(trailing)};
    };
    using End = TransferEnd;
    std::string many_11 = "11";
    for (std::size_t i = 1; i < trailing_bytes_kept; ++i) {
        many_11 += " 11";
    }
    const std::pair<Exchange, std::string> cases[] = {
        {exchange(End::complete, End::timed_out, 3, {}),
         "the controller does not respond to the identify request (3 of 12 bytes came)"},
        {exchange(End::complete, End::failed, 5, {}),
         "reading the reply to the identify request failed: Bad file descriptor (5 of 12 bytes came)"},
        {exchange(End::complete, End::complete, 12, std::vector<std::uint8_t>(trailing_bytes_kept, 0x11)),
         "the controller sent more than the 12 bytes of its reply to the identify request (then " + many_11 +
             " ...), so the reply is not trusted"},
        {exchange(End::hung_up, End::hung_up, 0, {}),
         "the line hung up while sending the identify request; is the adapter plugged in?"},
        {exchange(End::failed, End::failed, 0, {}),
         "sending the identify request failed: Input/output error"},
        {exchange(End::timed_out, End::timed_out, 0, {}),
         "the port did not send the identify request in time; is the adapter stuck?"},
    };
    for (const auto& [failed, reason] : cases) {
        EXPECT_EQ(exchange_problem(failed, "the identify request"), reason);
    }
}

TEST(Words, APortThatDidNotOpenSaysWhyAndWhatToDo)
{
    SerialPort link;
    link.port = ComPort{2};
    link.device = "/dev/ttyUSB1";
    link.line = {.baud = 9600, .data_bits = 8, .parity = Parity::odd, .stop_bits = 1};
    struct Case {
        OpenStatus status;
        std::string group;
        std::string call;
        int error;
        std::string said;
    };
    const std::string cannot_set = "the line cannot be set to 9600 Bd, 8 data bits, odd parity, 1 stop bit";
    const Case cases[] = {
        {OpenStatus::denied, "dialout", "", EACCES,
         "permission denied; the device belongs to the group dialout: add yourself to it (sudo usermod -aG "
         "dialout $USER) and log in again"},
        {OpenStatus::denied, "", "", EACCES, "permission denied; ask for access to the device"},
        {OpenStatus::settings_refused, "", "", 0, cannot_set + "; the driver does not take these settings"},
        {OpenStatus::setup_failed, "", "tcsetattr", EINVAL, cannot_set + " (tcsetattr: Invalid argument)"},
        {OpenStatus::other, "", "", EMFILE, "Too many open files"},
        {OpenStatus::other, "", "open", EMFILE, "cannot be opened (open: Too many open files)"},
    };
    for (const Case& c : cases) {
        link.status = c.status;
        link.device_group = c.group;
        link.failed_call = c.call;
        link.system_error = c.error;
        EXPECT_EQ(failure_line(link), "COM2 (/dev/ttyUSB1): " + c.said);
    }
    link.device = "COM2";
    link.status = OpenStatus::in_use;
    EXPECT_EQ(failure_line(link), "COM2: in use by another program; end it and try again")
        << "no device twice";
}
