// The record of every write (--log) and settings from the command line
// (--set): what a write overwrote can be put back, and every write is a row.

#include <ctime>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>

#include "expected_screens.hpp"
#include "session.hpp"

using emulator::FaultKind;
namespace fs = std::filesystem;

TEST(WriteLog, WhatAWriteOverwroteIsSavedAndPutsTheControllerBackAsItWas)
{
    const emulator::Configuration old{0x02, 0x01, 0x74, 0x78, 0x01, 0x7C};
    const fs::path log = kit::own_directory() / "site a" / "log";
    // Earlier files under the names of the seconds to come stay as they are.
    fs::create_directories(log);
    std::vector<fs::path> earlier;
    for (std::time_t second = std::time(nullptr); earlier.size() < 20; ++second) {
        char name[64];
        std::strftime(name, sizeof name, "%Y%m%d-%H%M%S-COM1.before.conf", std::gmtime(&second));
        std::ofstream(earlier.emplace_back(log / name)) << "earlier\n";
    }
    auto line = start_line(1, {.configuration = old});
    // Each controller of a bus its own address, with no file edited.
    ProgramResult result = run_with(
        {"--port", "COM1", "--write", "-", "--set", "address=5", "--log", file_argument(log)}, settings_a);
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    EXPECT_EQ(emulator::snapshot(*line).configuration,
              (emulator::Configuration{0x05, 0x03, 0x7E, 0x7E, 0x48, 0x7F}));
    EXPECT_EQ(hex(emulator::snapshot(*line).received),
              hex(kit::concat({kit::type_request, kit::firmware_request, kit::read_request, kit::read_request,
                               kit::write_frame({0x05, 0x03, 0x7E, 0x7E, 0x48, 0x7F}), kit::read_request})));
    std::vector<fs::path> saved;
    const std::vector<fs::path> all = before_files(log);
    std::set_difference(all.begin(), all.end(), earlier.begin(), earlier.end(), std::back_inserter(saved));
    ASSERT_EQ(saved.size(), 1U);
    EXPECT_TRUE(saved[0].string().ends_with("-2.before.conf")) << saved[0];
    EXPECT_NE(result.errors.find("what it held is saved in " + file_argument(saved[0]) + "\n"),
              std::string::npos);
    EXPECT_NE(contents(saved[0], false).find(std::string("0") + platform.line_end), std::string::npos)
        << "a text file of the system's";

    // One command puts it back.
    line.reset();
    line = start_line(1, {.configuration = {0x05, 0x03, 0x7E, 0x7E, 0x48, 0x7F}});
    result = run_with({"--port", "COM1", "--write", file_argument(saved[0]), "--log", file_argument(log)});
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    EXPECT_EQ(emulator::snapshot(*line).configuration, old);
    EXPECT_EQ(before_files(log).size(), earlier.size() + 2);
    for (const fs::path& file : earlier) {
        EXPECT_EQ(contents(file), "earlier\n") << file;
    }
    EXPECT_EQ(log_rows(log),
              (std::vector<std::string>{
                  "COM1,ZML-4C08,105,written,2,1,0,0,0,0,1,0,5,3,2,1,2,1,200,1,<before-file>",
                  "COM1,ZML-4C08,105,written,5,3,2,1,2,1,200,1,2,1,0,0,0,0,1,0,<before-file>"}));
}

TEST(WriteLog, FailedWritesAreRowsTooAndRunsAtOnceLoseNone)
{
    const fs::path log = kit::own_directory() / "failures";
    const std::pair<std::vector<emulator::Fault>, std::string> cases[] = {
        {{{.kind = FaultKind::ignore_write, .always = true}},
         "COM1,ZML-4C08,105,\"differs after the write: address = 10 (written 7), baud = 2 (written 3), "
         "button_limit = 1 (written 2), bridge = 0 (written 1), led_init = 1 (written 2), led_write_enable = "
         "0 "
         "(written 1), pwm_divider = 128 (written 200), pwm_init = 0 (written 1)\","
         "10,2,1,0,1,0,128,0,10,2,1,0,1,0,128,0,<before-file>"},
        // Without a trusted acknowledgement, what it holds is still read back.
        {{{.kind = FaultKind::silent, .request = 4}},
         "COM1,ZML-4C08,105,failed: the controller does not respond to the write; it holds what was "
         "written,10,2,1,0,1,0,128,0,7,3,2,1,2,1,200,1,<before-file>"},
        {{{.kind = FaultKind::extra_bytes, .request = 4, .bytes = {0x42}},
          {.kind = FaultKind::ignore_write, .request = 4}},
         "COM1,ZML-4C08,105,\"failed: the controller sent more than the 4 bytes of its reply to the write "
         "(then "
         "42), so the reply is not trusted; it holds address = 10 (written 7), baud = 2 (written 3), "
         "button_limit = "
         "1 (written 2), bridge = 0 (written 1), led_init = 1 (written 2), led_write_enable = 0 (written 1), "
         "pwm_divider = 128 (written 200), pwm_init = 0 (written "
         "1)\",10,2,1,0,1,0,128,0,10,2,1,0,1,0,128,0,<before-file>"},
        // Nothing written from reads that disagree.
        {{{.kind = FaultKind::garble, .request = 3, .count = 4, .bytes = {0x01}}},
         "COM1,ZML-4C08,105,\"failed: two reads of the configuration disagree (0A 02 75 79 00 7D, then 0A 02 "
         "74 79 "
         "00 7D); the line is not to be trusted\",,,,,,,,,,,,,,,,,"},
        {{{.kind = FaultKind::silent, .always = true}},
         "COM1,,,failed: the controller does not respond to the identify request; is it switched on with "
         "jumper J6 fitted?,,,,,,,,,,,,,,,,,"},
    };
    std::vector<std::string> expected;
    for (const auto& [faults, row] : cases) {
        auto line = start_line(1, {.faults = faults});
        EXPECT_EQ(
            run_with({"--port", "COM1", "--write", "-", "--log", file_argument(log)}, settings_a).exit_code,
            1);
        expected.push_back(row);
    }
    EXPECT_EQ(log_rows(log), expected);
}

TEST(WriteLog, TwoAdaptersAtOnceShareOneLogAndLoseNoRow)
{
    SKIP_WHERE(platform.no_runs_at_once);
    const fs::path shared = kit::own_directory() / "a" / "shared" / "log"; // made as mkdir -p would
    auto first = start_line(1), second = start_line(2);
    std::vector<RunningProgram> runs;
    for (const char* port : {"COM1", "COM2"}) {
        runs.push_back(start_program(
            configurator_run(settings_a, {"--port", port, "--write", "-", "--log", file_argument(shared)})));
    }
    for (RunningProgram& run : runs) {
        EXPECT_EQ(finish_program(run).exit_code, 0);
    }
    std::vector<std::string> both = log_rows(shared);
    std::sort(both.begin(), both.end());
    EXPECT_EQ(both, (std::vector<std::string>{
                        "COM1,ZML-4C08,105,written,10,2,1,0,1,0,128,0,7,3,2,1,2,1,200,1,<before-file>",
                        "COM2,ZML-4C08,105,written,10,2,1,0,1,0,128,0,7,3,2,1,2,1,200,1,<before-file>"}));
    EXPECT_EQ(before_files(shared).size(), 2U);
    for (const fs::path& folder : {shared, shared.parent_path()}) {
        EXPECT_EQ(static_cast<mode_t>(fs::status(folder).permissions()), 0777 & ~creation_mask()) << folder;
    }
}

TEST(WriteLog, TheDialogueRecordsItsWriteWhenAskedAndOnlyThenReadsFirst)
{
    const fs::path log = kit::own_directory() / "dialogue";
    // A stray byte behind the type reply shifts what the dialogue shows;
    // the before-file comes from reads that discard it and agree.
    auto line = start_line(1, {.faults = {{.kind = FaultKind::extra_bytes, .bytes = {0x42}}}});
    const ProgramResult result = run_with({"--log", file_argument(log)}, "1\n2\n7 3 2 1 2 1 200 1\n3\n");
    EXPECT_EQ(result.output, screen::banner + screen::identity("ZML-4C08", "538") + screen::menu_choice +
                                 screen::whole_form() + screen::menu_choice);
    EXPECT_EQ(result.errors, "") << "a write that went well says nothing";
    EXPECT_EQ(hex(emulator::snapshot(*line).received),
              hex(kit::concat({kit::type_request, kit::firmware_request, kit::type_request,
                               kit::firmware_request, kit::read_request, kit::read_request,
                               kit::write_frame({0x07, 0x03, 0x7E, 0x7E, 0x48, 0x7F})})));
    EXPECT_EQ(log_rows(log),
              (std::vector<std::string>{"COM1,ZML-4C08,105,\"written; acknowledged, the dialogue does not "
                                        "read back\",10,2,1,0,1,0,128,0,7,3,2,1,2,1,200,1,<before-file>"}));
    ASSERT_EQ(before_files(log).size(), 1U);
    EXPECT_EQ(contents(before_files(log)[0]),
              "# ZML-4C08, firmware 105\naddress = 10\nbaud = 2\nbutton_limit = 1\n"
              "bridge = 0\nled_init = 1\nled_write_enable = 0\npwm_divider = 128\n"
              "pwm_init = 0\n");
}

TEST(WriteLog, ABeforeFileThatCannotBeSavedStopsTheWrite)
{
    SKIP_WHERE(platform.no_long_paths);
    // Deep enough that writes.csv fits the system's path limit and the
    // before-file does not.
    fs::path log = kit::own_directory() / "deep";
    while (log.string().size() < 4070 - 201) {
        log /= std::string(200, 'd');
    }
    log /= std::string(4070 - log.string().size() - 1, 'e');
    auto line = start_line(1);
    ProgramResult result = run_with({"--port", "COM1", "--write", "-", "--log", log.string()}, settings_a);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_TRUE(result.errors.ends_with(": File name too long; nothing was written\n")) << result.errors;
    EXPECT_EQ(emulator::snapshot(*line).requests.size(), 4U) << "identify, firmware, two reads; no write";

    line.reset();
    line = start_line(1);
    result = run_with({"--log", log.string()}, "1\n2\n7 3 2 1 2 1 200 1\n3\n");
    EXPECT_EQ(result.output,
              screen::connected + screen::menu_choice + screen::whole_form() + screen::key_prompt);
    EXPECT_EQ(emulator::snapshot(*line).requests.size(), 6U) << "identified twice, two reads; no write";
    const std::vector<std::string> found = log_rows(log);
    ASSERT_EQ(found.size(), 2U);
    for (const std::string& row : found) {
        EXPECT_TRUE(row.starts_with("COM1,ZML-4C08,105,failed: cannot save what the controller holds in "))
            << row;
    }
    EXPECT_TRUE(result.errors.ends_with(": File name too long; nothing was written\n")) << result.errors;
}

namespace {

// The port's options as the tests' runs give them.
std::string port_words()
{
    const ProgramRun own = configurator_run("");
    const auto prefix = std::find(own.command.begin(), own.command.end(), "--com-prefix");
    return (prefix != own.command.end() ? "--com-prefix " + prefix[1] + " " : "") + "--port COM1";
}

const std::string held_before = "address = 10, baud = 2, button_limit = 1, bridge = 0, led_init = 1, "
                                "led_write_enable = 0, pwm_divider = 128, pwm_init = 0";
const std::string held_as_written = "address = 7, baud = 3, button_limit = 2, bridge = 1, led_init = 2, "
                                    "led_write_enable = 1, pwm_divider = 200, pwm_init = 1";

} // namespace

// A write that failed or that the controller did not take says, after the
// line scripts match, what the read-back shows and how to put back what it
// held: the command given runs as it stands. Nothing written, nothing said.
TEST(WriteLog, AFailedOrDoubtfulWriteNamesTheWayBack)
{
    const fs::path log = kit::own_directory() / "way-back" / "log";
    const std::string not_saved =
        "zumel-config: COM1: what it held before was not saved (--log DIR saves it before each write)\n";
    struct Case {
        std::vector<emulator::Fault> faults;
        bool logged;
        std::string problem; // the line as before, without the program's name
        std::string after;   // the lines after it
    };
    const Case cases[] = {
        {{{.kind = FaultKind::ignore_write, .always = true}},
         false,
         "COM1: the controller acknowledged the write but holds address = 10 (written 7), baud = 2 (written "
         "3), button_limit = 1 (written 2), bridge = 0 (written 1), led_init = 1 (written 2), "
         "led_write_enable = 0 (written 1), pwm_divider = 128 (written 200), pwm_init = 0 (written 1)\n",
         "zumel-config: COM1: read back after the write, it holds " + held_before + "\n" + not_saved},
        {{{.kind = FaultKind::silent, .request = 2}, {.kind = FaultKind::silent, .request = 3}},
         false,
         "COM1: the controller does not respond to the write\n",
         "zumel-config: COM1: what it holds now is not known: nothing trusted was read back after the "
         "write\n" +
             not_saved},
        {{{.kind = FaultKind::silent, .request = 4}},
         true,
         "COM1: the controller does not respond to the write; it holds what was written\n",
         "zumel-config: COM1: read back after the write, it holds " + held_as_written + "\n"},
    };
    for (const Case& test : cases) {
        auto line = start_line(1, {.faults = test.faults});
        std::vector<std::string> options = {"--port", "COM1", "--write", "-"};
        if (test.logged) {
            options.insert(options.end(), {"--log", file_argument(log)});
        }
        const ProgramResult result = run_with(options, settings_a);
        EXPECT_EQ(result.exit_code, 1) << test.problem;
        const std::size_t at = result.errors.find("zumel-config: " + test.problem);
        ASSERT_NE(at, std::string::npos) << result.errors;
        const std::string rest =
            result.errors.substr(at + std::string("zumel-config: ").size() + test.problem.size());
        if (!test.logged) {
            EXPECT_EQ(rest, test.after);
            continue;
        }
        ASSERT_TRUE(rest.starts_with(test.after)) << rest;
        // The before-file named, with the port's options as the run gave them.
        std::smatch saved;
        ASSERT_TRUE(std::regex_search(result.errors, saved, std::regex("what it held is saved in (.*)\n")));
        EXPECT_EQ(rest.substr(test.after.size()), "zumel-config: COM1: to put back what it held before: "
                                                  "zumel-config " +
                                                      port_words() + " --write " + saved.str(1) + "\n");
        line.reset();
        line = start_line(1, {.configuration = configuration_a()});
        EXPECT_EQ(run_with({"--port", "COM1", "--write", saved.str(1)}).exit_code, 0);
        EXPECT_EQ(emulator::snapshot(*line).configuration, emulator::ControllerSetup{}.configuration)
            << "as it was before";
    }
    EXPECT_EQ(log_rows(log),
              (std::vector<std::string>{
                  "COM1,ZML-4C08,105,failed: the controller does not respond to the write; it "
                  "holds what was written,10,2,1,0,1,0,128,0,7,3,2,1,2,1,200,1,<before-file>"}));
}

// A writes.csv begun before the before_file column goes on in its own
// columns, and its rows are still read (here: imported by a station).
TEST(WriteLog, AWritesCsvBegunWithoutTheBeforeFileColumnKeepsItsColumns)
{
    const fs::path log = kit::own_directory() / "old" / "log";
    fs::create_directories(log);
    const std::string old_header = writes_header.substr(0, writes_header.rfind(','));
    std::ofstream(log / "writes.csv") << old_header << "\r\n"
                                      << "2025-01-02T03:04:05Z,COM1,ZML-4C08,105,written,10,2,1,0,1,0,128,0,"
                                         "3,3,2,1,2,1,200,1\r\n";
    auto line = start_line(1);
    EXPECT_EQ(run_with({"--port", "COM1", "--write", "-", "--log", file_argument(log)}, settings_a).exit_code,
              0);
    EXPECT_EQ(log_rows(log, old_header),
              (std::vector<std::string>{"COM1,ZML-4C08,105,written,10,2,1,0,1,0,128,0,3,3,2,1,2,1,200,1",
                                        "COM1,ZML-4C08,105,written,10,2,1,0,1,0,128,0,7,3,2,1,2,1,200,1"}));
    EXPECT_NE(contents(log / "addresses.record").find(" imported 3 COM1 "), std::string::npos)
        << contents(log / "addresses.record");
}

// The dialogue's screens stay as they are; with a log, a write it sent and
// saw go unacknowledged is followed on standard error by the way back.
TEST(WriteLog, TheDialoguesUnacknowledgedWriteNamesTheWayBack)
{
    const fs::path log = kit::own_directory() / "dialogue-way-back";
    const std::string keys = "1\n2\n7 3 2 1 2 1 200 1\n\n";
    const Outcome plain = run_scenario(with(keys, {{.kind = FaultKind::silent, .request = 2}}));
    EXPECT_EQ(plain.program.errors, "");
    auto line = start_line(1, {.faults = {{.kind = FaultKind::silent, .request = 6}}});
    const ProgramResult result = run_with({"--log", file_argument(log)}, keys);
    EXPECT_EQ(result.output, plain.program.output) << "the same screens as without a log";
    ASSERT_EQ(before_files(log).size(), 1U);
    EXPECT_EQ(result.errors, "zumel-config: COM1: the controller did not acknowledge the write\n"
                             "zumel-config: COM1: what it holds now is not known: nothing trusted was read "
                             "back after the write\n"
                             "zumel-config: COM1: to put back what it held before: zumel-config " +
                                 port_words() + " --write " + file_argument(before_files(log)[0]) + "\n");
}
