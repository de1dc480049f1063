// The dialogue as a technician meets it, against the emulated controller:
// every screen byte for byte, every byte on the line.

#include <gtest/gtest.h>

#include "expected_screens.hpp"
#include "session.hpp"

using emulator::Fault;
using emulator::FaultKind;

namespace {

const std::string connected = screen::banner + screen::identity("ZML-4C08", "105");
const std::string type_shown = screen::banner + screen::separator + "\n\n Typ ovladace:    ZML-4C08";
const screen::Display shown_default{"10", "9600Bd", "1", "0", "LED sviti", "0", "128", "0"};
const Bytes identified = kit::concat({kit::type_request, kit::firmware_request});

Scenario with(const std::string& keyboard, std::vector<Fault> faults = {})
{
    Scenario scenario;
    scenario.keyboard = keyboard;
    scenario.controller.faults = std::move(faults);
    return scenario;
}

} // namespace

TEST(Connect, ShowsTypeAndVersionAsReceivedOnEachPort)
{
    struct Case {
        int com;
        std::array<char, 8> type;
        std::uint8_t high, low;
        std::string shown_type, shown_version;
    };
    const Case cases[] = {
        {1, {'A', 'B', 'C', '1', '2', '3', '4', '5'}, 1, 5, "ABC12345", "105"},
        {2, {' ', ' ', 'x', ' ', ' ', ' ', ' ', ' '}, 0, 0, "  x     ", "000"},
        // XON and XOFF pass: flow control is off.
        {3, {'\x11', '\x13', 'Q', 'S', '\x7f', '~', 'z', '.'}, 0x11, 0x13, "\x11\x13QS\x7f~z.", "1719"},
        {4, {'Z', 'M', 'L', '-', '0', '0', '0', '1'}, 255, 123, "ZML-0001", "255123"},
        {5, {'Z', 'M', 'L', '-', '4', 'C', '0', '8'}, 1, 5, "ZML-4C08", "105"},
        {6, {'Z', 'M', 'L', '-', '4', 'C', '0', '8'}, 1, 5, "ZML-4C08", "105"},
    };
    for (const auto& c : cases) {
        Scenario scenario = with(std::to_string(c.com) + "\n3\n");
        scenario.com = c.com;
        scenario.controller.type = c.type;
        scenario.controller.firmware_high = c.high;
        scenario.controller.firmware_low = c.low;
        const Outcome outcome = run_scenario(scenario);
        EXPECT_EQ(outcome.program.output,
                  screen::banner + screen::identity(c.shown_type, c.shown_version) + screen::menu_choice)
            << "COM" << c.com;
        EXPECT_EQ(hex(outcome.controller.received), hex(identified));
    }
}

TEST(Connect, APortChoiceOutsideTheListEndsAfterAKeyAndNumbersWrap)
{
    // Without a console the key wait ends at once.
    for (const char* keys : {"0\n", "7\n", "-1\n", "4294967296\n", "x\n1\n", "", "+\n", "12345678901\n"}) {
        const Outcome outcome = run_scenario(with(keys));
        EXPECT_EQ(outcome.program.output, screen::banner + screen::invalid_port) << '"' << keys << '"';
        EXPECT_TRUE(outcome.controller.received.empty()) << '"' << keys << '"';
    }
    // 2^32 + 1 selects COM1; "1 3" picks the port and answers the menu.
    for (const char* keys : {"4294967297\n3\n", "1 3\n", "+1\n3\n", "  \n\n 001\n\n3"}) {
        EXPECT_EQ(run_scenario(with(keys)).program.output, connected + screen::menu_choice)
            << '"' << keys << '"';
    }
}

TEST(Menu, NumbersButOneOrTwoEndAtOnceWhileASlipShowsTheMenuAgain)
{
    for (const char* choice : {"3\n", "9\n", "0\n", "-1\n", "4294967299\n", ""}) {
        const Outcome outcome = run_scenario(with(std::string("1\n") + choice));
        EXPECT_EQ(outcome.program.output, connected + screen::menu_choice) << '"' << choice << '"';
        EXPECT_EQ(outcome.controller.requests.size(), 2U);
    }
    // Letters, the Czech top row (e-caron where 2 is) and a bare sign: the
    // rest of the line goes, the menu comes again, and the session goes on.
    for (const char* slip : {"abc 1\n", "\xc4\x9b\n", "+\n", "\x01\xff\n"}) {
        const Outcome outcome = run_scenario(with(std::string("1\n") + slip + "1\n3\n"));
        EXPECT_EQ(outcome.program.output, connected + screen::menu_choice + screen::menu_choice +
                                              screen::display(shown_default) + screen::menu_choice)
            << '"' << slip << '"';
    }
}

TEST(NoResponse, EachRequestWaitsItsWholeTimeOutThenEnds)
{
    struct Case {
        const char* name;
        std::string keys;
        std::vector<Fault> faults;
        std::string screen;
        std::size_t requests;
        double least_ms;
    };
    const Case cases[] = {
        {"silent controller",
         "1\n3\n",
         {{.kind = FaultKind::silent, .always = true}},
         screen::banner + screen::separator + screen::failure_end,
         1,
         1012},
        {"type reply of 11 bytes",
         "1\n3\n",
         {{.kind = FaultKind::short_reply, .count = 1}},
         screen::banner + screen::separator + screen::failure_end,
         1,
         1012},
        {"firmware reply of 7 bytes",
         "1\n3\n",
         {{.kind = FaultKind::short_reply, .request = 1, .count = 1}},
         type_shown + screen::failure_end,
         2,
         1008},
        {"read reply of 30 bytes",
         "1\n1\n1\n3\n",
         {{.kind = FaultKind::short_reply, .request = 2, .count = 22}},
         connected + screen::menu_choice + screen::failure_end,
         3,
         1052},
        {"acknowledgement of 3 bytes",
         "1\n2\n10 2 1 0 1 0 128 0\n1\n3\n",
         {{.kind = FaultKind::short_reply, .request = 2, .count = 1}},
         connected + screen::menu_choice + screen::whole_form() + screen::failure_end,
         3,
         1004},
        // The last piece of the type reply comes after 1012 ms: too late.
        {"type reply in pieces, too late",
         "1\n3\n",
         {{.kind = FaultKind::pieces, .count = 6, .delay_ms = 400, .first_delay_ms = 700}},
         screen::banner + screen::separator + screen::failure_end,
         1,
         1012},
    };
    for (const auto& c : cases) {
        const Outcome outcome = run_scenario(with(c.keys, c.faults));
        EXPECT_EQ(outcome.program.output, c.screen) << c.name;
        EXPECT_EQ(outcome.controller.requests.size(), c.requests) << c.name << ": nothing is retried";
        EXPECT_GE(outcome.program.elapsed_ms, c.least_ms) << c.name;
        if (!under_wine()) { // stopping Wine takes about a second more
            EXPECT_LT(outcome.program.elapsed_ms, c.least_ms + 900) << c.name << ": not waited on longer";
        }
    }
}

TEST(NoResponse, PiecesInTimeCountWholeAndExtraBytesStartTheNextReply)
{
    EXPECT_EQ(run_scenario(with("1\n3\n", {{.kind = FaultKind::pieces, .count = 1, .delay_ms = 60}}))
                  .program.output,
              connected + screen::menu_choice);
    // A 13-byte type reply: its extra byte becomes byte 0 of the firmware
    // reply, so byte 2 is the firmware's command byte (0x26 = 38) and byte 3
    // its low part.
    EXPECT_EQ(
        run_scenario(with("1\n3\n", {{.kind = FaultKind::extra_bytes, .bytes = {0x42}}})).program.output,
        screen::banner + screen::identity("ZML-4C08", "538") + screen::menu_choice);
}

TEST(ReadConfiguration, ShowsTheEightSettingsThenTheMenuAgain)
{
    const std::pair<emulator::Configuration, screen::Display> cases[] = {
        {{0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D}, shown_default},
        {{0x01, 0x05, 0x74, 0x78, 0x00, 0x7C}, {"1", "19200Bd", "0", "0", "LED nesviti", "0", "0", "0"}},
        {{0x7F, 0x01, 0xFF, 0xFF, 0xFF, 0xFF},
         {"63", "4800Bd", "3", "1", "LED blika rychle", "1", "255", "1"}},
        {{0x01, 0x00, 0x7E, 0x7A, 0x48, 0x7F},
         {"1", "2400Bd", "2", "1", "LED blika pomalu", "0", "200", "1"}},
        {{0x3F, 0x03, 0x74, 0x78, 0x7F, 0x7C}, {"63", "19200Bd", "0", "0", "LED nesviti", "0", "127", "0"}},
    };
    for (const auto& [bytes, shown] : cases) {
        Scenario scenario = with("1 1\n1\n3\n"); // "1 1": the port, and at once the menu
        scenario.controller.configuration = bytes;
        const Outcome outcome = run_scenario(scenario);
        const std::string display = screen::display(shown);
        EXPECT_EQ(outcome.program.output, connected + screen::menu_choice + display + screen::menu_choice +
                                              display + screen::menu_choice)
            << hex(bytes);
        EXPECT_EQ(hex(outcome.controller.received),
                  hex(kit::concat({identified, kit::read_request, kit::read_request})));
    }
}

TEST(WriteConfiguration, AnswersBecomeTheWriteFrameAndReadBack)
{
    struct Case {
        std::string keys;
        emulator::Configuration configuration;
        screen::Display shown;
    };
    const Case cases[] = {
        {"10\n2\n1\n0\n1\n0\n128\n0\n", {0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D}, shown_default},
        {"1\n0\n0\n0\n0\n0\n0\n0\n",
         {0x01, 0x00, 0x74, 0x78, 0x00, 0x7C},
         {"1", "2400Bd", "0", "0", "LED nesviti", "0", "0", "0"}},
        {"1 2 3 1 2 1 200 1\n",
         {0x01, 0x02, 0x7F, 0x7E, 0x48, 0x7F},
         {"1", "9600Bd", "3", "1", "LED blika pomalu", "1", "200", "1"}},
        // Signs and minus zero.
        {"+63 3 3 +1\n3 1 255 1\n",
         {0x3F, 0x03, 0x7F, 0x7F, 0x7F, 0x7F},
         {"63", "19200Bd", "3", "1", "LED blika rychle", "1", "255", "1"}},
        {"7 -0 -0 0 -0 0 0 0\n",
         {0x07, 0x00, 0x74, 0x78, 0x00, 0x7C},
         {"7", "2400Bd", "0", "0", "LED nesviti", "0", "0", "0"}},
    };
    for (const auto& c : cases) {
        Scenario scenario = with("1\n2\n" + c.keys + "1\n3\n");
        scenario.controller.configuration = {0x02, 0x01, 0x74, 0x78, 0x01, 0x7C};
        const Outcome outcome = run_scenario(scenario);
        EXPECT_EQ(hex(outcome.controller.received),
                  hex(kit::concat({identified, kit::write_frame(c.configuration), kit::read_request})))
            << c.keys;
        EXPECT_EQ(outcome.program.output, connected + screen::menu_choice + screen::whole_form() +
                                              screen::menu_choice + screen::display(c.shown) +
                                              screen::menu_choice)
            << c.keys;
    }
}

TEST(WriteConfiguration, WrongAnswersAreAskedForAgainAndAnyFourBytesAcknowledge)
{
    // Per prompt: rejected answers, then the accepted one. Text with no
    // number drops the rest of its line: "x 5" is one wrong answer.
    const std::pair<std::vector<const char*>, const char*> prompts[8] = {
        {{"0", "64", "-1", "4294967295", "abc", "x 5"}, "1"},
        {{"4", "256", "+"}, "3"},
        {{"4", "-1"}, "3"},
        {{"2"}, "1"},
        {{"4"}, "3"},
        {{"2"}, "1"},
        {{"256", "1000"}, "255"},
        {{"2", "4294967298"}, "0"},
    };
    std::string keys = "1\n2\n";
    std::string form;
    for (int i = 0; i < 8; ++i) {
        for (const char* value : prompts[i].first) {
            keys += std::string(value) + "\n";
            form += screen::prompts[i]; // no message, the same prompt again, whole
        }
        keys += std::string(prompts[i].second) + "\n";
        form += screen::prompts[i];
    }
    Scenario scenario = with(keys + "3\n");
    scenario.controller.faults = {
        {.kind = FaultKind::replace_reply, .request = 2, .bytes = {0x00, 0x13, 0x11, 0xEE}}};
    const Outcome outcome = run_scenario(scenario);
    EXPECT_EQ(outcome.program.output, connected + screen::menu_choice + form + screen::menu_choice);
    EXPECT_EQ(hex(outcome.controller.received),
              hex(kit::concat({identified, kit::write_frame({0x01, 0x03, 0x7F, 0x7F, 0x7F, 0x7D})})));
}

TEST(WriteConfiguration, AnUnfinishedFormWritesNothing)
{
    const char* all[] = {"10", "2", "1", "0", "1", "0", "128", "0"};
    for (int given = 0; given < 8; ++given) {
        std::string keys = "1\n2\n";
        std::string form;
        for (int i = 0; i < given; ++i) {
            keys += std::string(all[i]) + "\n";
            form += screen::prompts[i];
        }
        form += screen::prompts[given];
        const Outcome outcome = run_scenario(with(keys + "  \n"));
        EXPECT_EQ(outcome.program.output, connected + screen::menu_choice + form) << given << " answers";
        EXPECT_EQ(hex(outcome.controller.received), hex(identified)) << given << " answers";
    }
}

TEST(Line, SessionsInARowShareTheLineButNeverTogether)
{
    if (under_wine()) {
        GTEST_SKIP() << "Wine cannot set a pty that already runs at 9600 8O1, and does not enforce "
                        "exclusive opens";
    }
    auto line = start_line();
    ASSERT_TRUE(line);
    // The first session sits at the menu, its keyboard still open.
    ProgramRun first_run = configurator_run("1\n");
    first_run.close_input = false;
    RunningProgram first = start_program(first_run);
    ASSERT_TRUE(emulator::wait_for_requests(*line, 2, std::chrono::milliseconds(5'000)));

    const ProgramResult second = run_configurator(configurator_run("1\n3\n"));
    EXPECT_EQ(second.output, screen::banner + screen::open_failed);
    EXPECT_EQ(second.errors, "zumel-config: COM1 (" + com_port_path(1).string() +
                                 "): in use by another program; end it and try again\n");

    close(first.input_fd); // end of input at the menu ends the first session
    first.input_fd = -1;
    EXPECT_EQ(finish_program(first).output, connected + screen::menu_choice);

    // Once it has gone the port is free, and a line the first session set
    // is set again without complaint.
    for (int session = 0; session < 2; ++session) {
        EXPECT_EQ(run_configurator(configurator_run("1\n3\n")).output, connected + screen::menu_choice);
    }
    const auto controller = emulator::snapshot(*line);
    ASSERT_EQ(controller.requests.size(), 6U);
    for (const auto& request : controller.requests) {
        EXPECT_EQ(request.line_problems, "");
    }
}
