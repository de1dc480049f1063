// Configuration files, --set, the write log's rows and the scripted modes'
// trust rules, in-process on a line of the test's own.

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "commissioning/scripted.hpp"
#include "commissioning/station.hpp"
#include "controller/address_record.hpp"
#include "controller/configuration_file.hpp"
#include "controller/write_log.hpp"
#include "kit.hpp"
#include "messages/words.hpp"
#include "stub_line.hpp"
#include "system/files.hpp"

namespace {

using kit::Bytes;
using kit::hex;

const std::string good_file = "# ZML-4C08, firmware 105\n"
                              "address = 10\nbaud = 2\nbutton_limit = 1\nbridge = 0\n"
                              "led_init = 1\nled_write_enable = 0\npwm_divider = 128\npwm_init = 0\n";

// What an unknown setting is answered with.
const std::string every_setting =
    "address, baud, button_limit, bridge, led_init, led_write_enable, pwm_divider, pwm_init";

} // namespace

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

// The type a header names, as --read writes it and editors save it again;
// no other first line names one.
TEST(ConfigurationFile, TheTypeItsHeaderNames)
{
    const std::pair<std::string, std::string> cases[] = {
        {good_file, "ZML-4C08"},           {"#  ZML-2C04 , firmware 105\r\naddress = 1\r\n", "ZML-2C04"},
        {"# A, B, firmware 1203", "A, B"}, {"address = 1\n# ZML-4C08, firmware 105\n", ""},
        {"# made by hand\n", ""},          {"", ""},
    };
    for (const auto& [text, type] : cases) {
        EXPECT_EQ(type_named_in(text), type) << text;
    }
    EXPECT_EQ(header_type({.type = {{'Z', 'M', 'L', '-', '2', ' ', ' ', ' '}}}), "ZML-2");
}

TEST(ConfigurationFile, EveryProblemWithItsLine)
{
    const std::string bad = "# controller 7\n"
                            "address = 0\n"
                            "baud = 9600\n"
                            "adress = 5\n"
                            "button_limit = x\n"
                            "bridge = -1\n"
                            "led_init 1\n"
                            "bridge = 1\n"
                            "led_write_enable = 1\x01\n"
                            "pwm_divider = 99999999999\n"
                            "address = 10\n"
                            "pwm_init = 4294967296\n";
    ControllerSettings parsed;
    std::string problems;
    for (const FileProblem& problem : parse_configuration_file(bad, parsed)) {
        problems += std::to_string(problem.line) + ": " + problem.text + "\n";
    }
    EXPECT_EQ(problems,
              "2: 'address' = 0 is out of range 1-63\n"
              "3: 'baud' = 9600 is out of range 0-3 (0 = 2400 Bd, 1 = 4800 Bd, 2 = 9600 Bd, 3 = "
              "19200 Bd); for 9600 Bd write 2\n"
              "4: unknown setting 'adress'; did you mean 'address'? The settings are address, baud, "
              "button_limit, bridge, led_init, led_write_enable, pwm_divider, pwm_init\n"
              "5: 'button_limit' is not a number: 'x'\n"
              "6: 'bridge' is not a number: '-1'\n"
              "7: expected NAME = VALUE, found 'led_init 1'\n"
              "8: 'bridge' is already set on line 6\n"
              "9: not text: control characters\n"
              "10: 'pwm_divider' is not a number: '99999999999'\n"
              "11: 'address' is already set on line 2\n"
              "12: 'pwm_init' = 4294967296 is out of range 0-1\n"
              "0: missing setting 'led_init'\n"
              "0: missing setting 'led_write_enable'\n");

    const auto huge = parse_configuration_file(std::string(largest_configuration_file + 1, '#'), parsed);
    ASSERT_EQ(huge.size(), 1U);
    EXPECT_EQ(huge[0].text, "larger than 65536 bytes: not a configuration file");
    EXPECT_EQ(huge[0].line, 0U) << "the file as a whole";
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
            "--set adress=5: unknown setting 'adress'; did you mean 'address'? The settings are " +
                every_setting,
            "--set address: expected NAME=VALUE",
            "--set baud=4: 'baud' = 4 is out of range 0-3 (0 = 2400 Bd, 1 = 4800 Bd, 2 = 9600 Bd, 3 = 19200 "
            "Bd)",
            "--set pwm_init=0: 'pwm_init' is given twice"}));
}

// A refused name says which was meant; a refused code says what each code
// means, and which one a meaning given instead of it stands for.
TEST(ConfigurationFile, ARefusalSaysWhatWasMeant)
{
    const std::string bauds = " (0 = 2400 Bd, 1 = 4800 Bd, 2 = 9600 Bd, 3 = 19200 Bd)";
    const std::string leds = " (0 = off, 1 = on, 2 = slow blink, 3 = fast blink)";
    const std::pair<std::string, std::string> cases[] = {
        {"baud=9600bd", "'baud' is not a number: '9600bd'" + bauds + "; for 9600 Bd write 2"},
        {"led_init=slow", "'led_init' is not a number: 'slow'" + leds + "; for slow blink write 2"},
        {"led_init = Fast Blink",
         "'led_init' is not a number: 'Fast Blink'" + leds + "; for fast blink write 3"},
        {"led_init=blink", "'led_init' is not a number: 'blink'" + leds},
        {"led_i=1", "unknown setting 'led_i'; did you mean 'led_init'? The settings are " + every_setting},
        {"led=1", "unknown setting 'led'; the settings are " + every_setting}, // led_init or led_write_enable
        // Two pairs of neighbours swapped: two apart.
        {"pmw_idvider=1",
         "unknown setting 'pmw_idvider'; did you mean 'pwm_divider'? The settings are " + every_setting},
    };
    for (const auto& [set, refusal] : cases) {
        ControllerSettings parsed;
        Overridden overridden{};
        EXPECT_EQ(parse_setting_overrides({set}, parsed, overridden),
                  std::vector<std::string>{"--set " + set + ": " + refusal});
    }
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
        // NULs at four of five other bytes are UTF-16 still; at three of four, not.
        {std::string("a\0b\0c\0d\0\x0D\x01", 10), "not text: UTF-16 without a BOM? Save it as UTF-8"},
        {std::string("a\0b\0c\0\x0D\x01", 8), "not text: binary"},
        {std::string("\x7F"
                     "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0\x03\0>\0\x01",
                     21),
         "not text: binary"},
        {std::string("\xFF\xFE\x61", 3), "not text: UTF-16 cut off inside a character"},
        // Half a character: a high half before a line end, a low half alone.
        {std::string("\xFF\xFE\x40\xDB\x0A\x00", 6), "not text: UTF-16 with half a character"},
        {std::string("\xFF\xFE\x41\x00\x41\xDC", 6), "not text: UTF-16 with half a character"},
        {std::string("\xFF\xFE\x40\xDB", 4), "not text: UTF-16 with half a character"},
        {std::string("\xFF\xFE\x00\xDC\x00\xDC", 6), "not text: UTF-16 with half a character"},
        {std::string("\xFF\xFE\x00\xE0\xFF\xDB\xFF\xDF\x00\xD8\x00\xDC\xFE\x07\x00\x08", 16),
         "\xEE\x80\x80\xF4\x8F\xBF\xBF\xF0\x90\x80\x80\xDF\xBE\xE0\xA0\x80"}, // U+E000, U+10FFFF, U+10000,
                                                                              // U+07FE, U+0800
        {"\xEF\xBB\xBF" + std::string(largest_configuration_file - 2, '#'),
         "larger than 65536 bytes: not a configuration file"},
        {std::string("\xFF\xFE\x61\0\0\0", 6), "not text: binary"},
    };
    for (const auto& [raw, expected] : cases) {
        const Result<std::string> decoded = decode_text(raw);
        EXPECT_EQ(decoded ? *decoded : decoded.error(), expected) << hex(kit::Bytes(raw.begin(), raw.end()));
    }
}

namespace {

const Bytes type_reply{0xFF, 0x28, 'Z', 'M', 'L', '-', '4', 'C', '0', '8', 0x5A, 0x80};
const Bytes firmware_reply{0xFF, 0x26, 0x05, 0x01, 0x00, 0x00, 0x55, 0x80};

Bytes read_reply(std::array<std::uint8_t, 6> configuration)
{
    Bytes reply(52, 0x00);
    reply[0] = 0xFF;
    reply[1] = 0x30;
    std::copy(configuration.begin(), configuration.end(), reply.begin() + 2);
    reply[51] = 0x80;
    return reply;
}

} // namespace

// --read in-process: what waits is dropped, and any reply that might be
// wrong fails the run with what was seen.
TEST(TrustRules, AScriptedReadTakesOnlyRepliesItCanTrust)
{
    const Bytes held = read_reply({0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D});
    const std::filesystem::path output = kit::own_directory() / "read.conf";
    struct Case {
        std::string name;
        stub::Line line;
        std::string said; // after the identity line, or in its place, after "zumel-config: COM1: "
    };
    const Case cases[] = {
        {"bytes waiting before the first request",
         {.incoming = {0x00, 0xFF, 0x28}, .replies = {type_reply, firmware_reply, held, held}},
         "configuration read into " + output.string() + "\n"},
        {"a stray byte behind the type reply",
         {.replies = {kit::concat({type_reply, {0x42}})}},
         "the controller sent more than the 12 bytes of its reply to the identify request (then 42), so the "
         "reply is not trusted\n"},
        {"a garbled second read",
         {.replies = {type_reply, firmware_reply, held, read_reply({0x0A, 0x02, 0x74, 0x79, 0x00, 0x7D})}},
         "two reads of the configuration disagree (0A 02 75 79 00 7D, then 0A 02 74 79 00 7D); the line is "
         "not to be trusted\n"},
        {"a silent read",
         {.replies = {type_reply, firmware_reply}},
         "the controller does not respond to the read request\n"},
        {"a line that hangs up",
         {.replies = {type_reply, firmware_reply}, .dry_end = TransferEnd::hung_up},
         "the line hung up awaiting the reply to the read request; is the adapter plugged in?\n"},
        {"a port that fails",
         {.replies = {type_reply, firmware_reply, Bytes(held.begin(), held.begin() + 7)},
          .dry_end = TransferEnd::failed,
          .dry_error = EIO},
         "reading the reply to the read request failed: Input/output error (7 of 52 bytes came)\n"},
    };
    for (const Case& c : cases) {
        stub::reset(c.line);
        std::filesystem::remove(output);
        ExitStatus status = ExitStatus::done;
        const std::string said = kit::written_to(2, [&status, &output] {
            status =
                read_configuration({.port = ComPort{1}, .naming = default_com_naming()}, output.string());
        });
        const bool read = c.name == cases[0].name;
        EXPECT_EQ(status, read ? ExitStatus::done : ExitStatus::failed) << c.name;
        const std::string identity = "zumel-config: COM1: ZML-4C08, firmware 105\n";
        EXPECT_EQ(said, (said.starts_with(identity) ? identity : "") + "zumel-config: COM1: " + c.said)
            << c.name;
        EXPECT_EQ(std::filesystem::exists(output), read)
            << c.name << ": nothing written from a reply not trusted";
        EXPECT_FALSE(stub::line.open) << c.name;
    }
    EXPECT_EQ(hex(stub::line.written),
              hex(kit::concat({kit::type_request, kit::firmware_request, kit::read_request})));
}

// A spreadsheet shows each field as written: commas, quotes and line ends
// quoted, a failure with no values before or after.
TEST(WriteLog, RowsQuoteWhatASpreadsheetWouldSplit)
{
    WriteRecord record{
        .port = ComPort{12},
        .identity =
            ControllerIdentity{.type = {{'Z', ',', '"', 'Q', '"', '\x01', ' ', 'x'}}, .version = {1, 5}},
        .outcome = {WriteOutcome::Kind::differs, "address = 10 (written 7), baud = 2 (written 3)"},
        .before = ControllerSettings{10, 2, 1, 0, 1, 0, 128, 0},
        .after = ControllerSettings{7, 3, 2, 1, 2, 1, 200, 1}};
    EXPECT_EQ(csv_row("T", record),
              "T,COM12,\"Z,\"\"Q\"\"? x\",105,\"differs after the write: address = 10 (written "
              "7), baud = 2 (written 3)\",10,2,1,0,1,0,128,0,7,3,2,1,2,1,200,1,\r\n");
    // Named, not temporaries: GCC 12's -O2 takes a temporary's string for
    // uninitialized here.
    WriteRecord failure{.port = ComPort{1}, .outcome = failed_for("no such device"), .before_file = "a,b"};
    EXPECT_EQ(csv_row("T", failure), "T,COM1,,,failed: no such device,,,,,,,,,,,,,,,,,\"a,b\"\r\n");
    // A file begun before the column goes on without it.
    failure.outcome = {WriteOutcome::Kind::failed};
    failure.before_file = "x";
    EXPECT_EQ(csv_row("T", failure, false), "T,COM1,,,failed,,,,,,,,,,,,,,,,\r\n");
    // A field a spreadsheet would run as a formula shows as text.
    for (const char lead : {'=', '+', '-', '@'}) {
        record.identity->type.characters = {lead, 'S', 'U', 'M', '(', '1', ')', ' '};
        EXPECT_TRUE(csv_row("T", record).starts_with(std::string("T,COM12,'") + lead + "SUM(1) ,105,"))
            << lead;
    }
}

// An old row's outcome words stand for the outcome that wrote them; words
// that are none (a lead with nothing after it, a hand's edit) stay as they
// are and count as no audit row.
TEST(WriteLog, OutcomeWordsReadBackAsTheirOutcome)
{
    using Kind = WriteOutcome::Kind;
    const std::pair<std::string, WriteOutcome> cases[] = {
        {"written", {Kind::written}},
        {"written; acknowledged, the dialogue does not read back", {Kind::acknowledged}},
        {"differs after the write: baud = 2 (written 3)", {Kind::differs, "baud = 2 (written 3)"}},
        {"failed: failed: no reply", {Kind::failed, "failed: no reply"}},
        {"failed", {Kind::failed}},
        {"already done", {Kind::already_done}},
        {"failed: ", {Kind::other, "failed: "}},
        {"differs after the write: ", {Kind::other, "differs after the write: "}},
        {"Written", {Kind::other, "Written"}},
        {"", {Kind::other}},
    };
    for (const auto& [words, outcome] : cases) {
        EXPECT_EQ(outcome_in(words), outcome) << words;
        EXPECT_EQ(outcome_text(outcome), words);
    }
}

// As > would, -o does not replace a file its user may not write.
TEST(Files, AFileTheUserMayNotWriteIsNotReplaced)
{
    // A folder anyone may reach and add files to, inside the test's own,
    // which others may pass through for this test only.
    namespace fs = std::filesystem;
    const fs::perms pass_through = fs::perms::group_exec | fs::perms::others_exec;
    fs::permissions(kit::own_directory(), pass_through, fs::perm_options::add);
    const fs::path folder = kit::own_directory() / "shared";
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::all); // anyone may add files beside it
    const fs::path kept = folder / "read-only.conf";
    std::ofstream(kept) << "old\n";
    fs::permissions(kept, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    // Root may write anything, so the file is someone else's, whom root turns into.
    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 &&
            (chown(kept.c_str(), 65534, 65534) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(3);
        }
        const Result<void> replaced = replace_file(kept.string(), "new\n");
        _exit(!replaced && replaced.error() == "Permission denied" ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "refused, with the reason";
    std::ifstream file(kept);
    std::string text;
    std::getline(file, text);
    EXPECT_EQ(text, "old");
    fs::remove_all(folder);
    fs::permissions(kit::own_directory(), pass_through, fs::perm_options::remove);
}

// A station reads back what it recorded: the address each row confirms,
// whatever the other fields hold.
TEST(WriteLog, RowsReadBackAsWritten)
{
    const WriteLog log{(kit::own_directory() / "log").string()};
    std::optional<WriteLog> opened;
    ASSERT_TRUE(open_write_log(log.directory, opened));
    const WriteRecord rows[] = {
        {.port = ComPort{3},
         .identity = ControllerIdentity{.type = {{'A', '"', 'B', ',', 'C', '=', ' ', ' '}}},
         .outcome = {WriteOutcome::Kind::written},
         .after = ControllerSettings{12, 3, 2, 1, 2, 1, 200, 1},
         .before_file = "20261207-143015-COM3.before.conf"},
        {.port = ComPort{4}, .outcome = failed_for("the controller said \"no\", then nothing")},
        {.port = ServerAddress{.scheme = ServerScheme::socket, .host = "fe80::1", .port = 4001},
         .outcome = {WriteOutcome::Kind::written},
         .after = ControllerSettings{13, 3, 2, 1, 2, 1, 200, 1}}};
    for (const WriteRecord& row : rows) {
        const Result<void> added = record_write(log, row);
        ASSERT_TRUE(added) << added.error();
    }
    const Result<std::vector<WriteRecord>> read_rows = read_write_log(log);
    ASSERT_TRUE(read_rows) << read_rows.error();
    const std::vector<WriteRecord>& read = *read_rows;
    ASSERT_EQ(read.size(), 3U);
    for (std::size_t i = 0; i < read.size(); ++i) {
        EXPECT_EQ(read[i].port, rows[i].port);
        EXPECT_EQ(read[i].outcome, rows[i].outcome);
        EXPECT_EQ(read[i].after, rows[i].after);
        EXPECT_EQ(read[i].before_file, rows[i].before_file);
    }
    // A folder whose record is gone takes the rows' addresses back, a
    // server's port as its row names it.
    std::filesystem::remove(std::filesystem::path(log.directory) / address_record_name);
    ASSERT_TRUE(open_write_log(log.directory, opened));
    std::stringstream text;
    text << std::ifstream(std::filesystem::path(log.directory) / address_record_name).rdbuf();
    const std::string record = text.str();
    EXPECT_NE(record.find(" imported 12 COM3 "), std::string::npos) << record;
    EXPECT_NE(record.find(" imported 13 socket://[fe80::1]:4001 "), std::string::npos) << record;

    // An address the record cannot take is never written, and its row says why.
    std::filesystem::remove(std::filesystem::path(log.directory) / address_record_name);
    std::filesystem::create_directory(std::filesystem::path(log.directory) / address_record_name);
    bool sent = false;
    const LoggedWrite done = logged_write(
        &log, ComPort{5}, {},
        {.read_held = [](ControllerIdentity&) -> Result<ControllerSettings> { return ControllerSettings{}; },
         .write = [&sent] { return sent = true, WriteResult{}; },
         .address = 21});
    EXPECT_FALSE(sent);
    EXPECT_TRUE(done.problem.starts_with("cannot reserve address 21 in ")) << done.problem;
    const Result<std::vector<WriteRecord>> after = read_write_log(log);
    ASSERT_TRUE(after && after->size() == 4U);
    EXPECT_EQ(after->back().outcome, failed_for(done.problem.substr(0, done.problem.rfind(';'))));
}

TEST(AddressRecord, EveryCutOfTheRecordReadsAsTheWholeLinesBeforeItAndNoMore)
{
    using Kind = AddressEvent::Kind;
    const std::vector<AddressEvent> events = {
        {"2026-12-07T14:30:15Z", Kind::reserved, 12, "COM3"},
        {"2026-12-07T14:30:16Z", Kind::written, 12, "COM3"},
        {"2026-12-07T14:31:02Z", Kind::reserved, 13, "COM12"},
        {"2026-12-07T14:31:03Z", Kind::failed, 13, "COM12"},
    };
    std::string text = record_header();
    std::vector<std::size_t> ends;
    for (const AddressEvent& event : events) {
        text += record_line(event);
        ends.push_back(text.size());
    }
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        const RecordReading reading = read_record(std::string_view(text).substr(0, cut));
        const auto whole = static_cast<std::size_t>(
            std::count_if(ends.begin(), ends.end(), [cut](std::size_t end) { return end <= cut; }));
        ASSERT_EQ(reading.events,
                  std::vector<AddressEvent>(events.begin(), events.begin() + static_cast<long>(whole)))
            << cut;
        EXPECT_EQ(reading.damaged, 0U) << cut;
        EXPECT_EQ(reading.consumed, text.rfind('\n', cut == 0 ? 0 : cut - 1) == std::string::npos || cut == 0
                                        ? 0
                                        : text.rfind('\n', cut - 1) + 1)
            << cut;
    }
}

TEST(AddressRecord, ALineCutOrChangedIsDamagedAndItsAddressStaysTaken)
{
    const std::string reserved =
        record_line({.time_utc = "2026-12-07T14:30:15Z", .address = 12, .port = "COM3"});
    const std::string changed =
        "2026-12-07T14:30:15Z reserved 21 COM3" + reserved.substr(reserved.rfind(' '));
    // a power cut left half a line, and the next append began a line of its own
    const std::string cut = reserved.substr(0, 31) + "\n";
    const std::string other =
        record_line({.time_utc = "2026-12-07T14:32:00Z", .address = 14, .port = "COM3"});
    const RecordReading reading = read_record(changed + cut + other + "# a note\r\n" + "\r\n");
    EXPECT_EQ(reading.damaged, 2U);
    EXPECT_EQ(reading.events.size(), 1U);
    AddressBook book;
    take_in(book, reading);
    EXPECT_EQ(book.taken, (std::set<unsigned>{1, 14, 21})) << "the cut line read as far as address 1";
    EXPECT_EQ(crc32("123456789"), 0xCBF43926U);
}

TEST(Station, TheStatusLineNeverFillsTheTerminal)
{
    const std::vector<std::string> ports = {"COM1 (connected)", "COM2", "COM3",
                                            "COM4 (connected)", "COM5", "COM6"};
    const std::string rest = "2 of 29 done, next address 4";
    const std::string named = "Watching COM1 (connected), COM2, COM3, COM4 (connected), COM5, COM6: " + rest;
    EXPECT_EQ(status_line(ports, rest, 0), named);
    EXPECT_EQ(status_line(ports, rest, static_cast<unsigned>(named.size()) + 1), named);
    EXPECT_EQ(status_line(ports, rest, static_cast<unsigned>(named.size())),
              "Watching 6 ports, 2 connected: " + rest);
    EXPECT_EQ(status_line(ports, rest, 20), "Watching 6 ports, 2");
    EXPECT_EQ(status_line({}, rest, 80), "Watching for ports: " + rest);
}
