// The dialogue as a technician meets it, against the emulated controller:
// every screen byte for byte, every byte on the line.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include "expected_screens.hpp"
#include "session.hpp"

using emulator::FaultKind;
using namespace screen;

namespace {

const Bytes identified = kit::concat({kit::type_request, kit::firmware_request});

emulator::Fault fault(FaultKind kind, std::size_t request = 0, std::size_t count = 0)
{
    return {.kind = kind, .request = request, .count = count};
}

} // namespace

TEST(Connect, ShowsTypeAndVersionAsReceivedOnEachPort)
{
    // As received: XON and XOFF pass, since flow control is off.
    const std::tuple<std::string, std::uint8_t, std::uint8_t, std::string> cases[] = {
        {"ABC12345", 1, 5, "105"},
        {"  x     ", 0, 0, "000"},
        {"\x11\x13QS\x7f~z.", 0x11, 0x13, "1719"},
        {"ZML-0001", 255, 123, "255123"},
        {"ZML-4C08", 1, 5, "105"},
        {"ZML-4C08", 1, 5, "105"},
    };
    int com = 0;
    for (const auto& [type, high, low, version] : cases) {
        Scenario scenario = with(std::to_string(++com) + "\n3\n");
        scenario.com = com;
        std::copy(type.begin(), type.end(), scenario.controller.type.begin());
        scenario.controller.firmware_high = high;
        scenario.controller.firmware_low = low;
        const Outcome outcome = run_scenario(scenario);
        EXPECT_EQ(outcome.program.output, banner + identity(type, version) + menu_choice) << "COM" << com;
        EXPECT_EQ(hex(outcome.controller.received), hex(identified));
    }
}

TEST(Connect, APortChoiceOutsideTheListEndsAfterAKeyAndNumbersWrap)
{
    // Without a console the key wait ends at once.
    for (const char* keys : {"0\n", "7\n", "-1\n", "4294967296\n", "x\n1\n", "", "+\n", "12345678901\n"}) {
        const Outcome outcome = run_scenario(with(keys));
        EXPECT_EQ(outcome.program.output, banner + invalid_port) << '"' << keys << '"';
        EXPECT_TRUE(outcome.controller.received.empty()) << '"' << keys << '"';
    }
    // 2^32 + 1 selects COM1; "1 3" picks the port and answers the menu.
    for (const char* keys : {"4294967297\n3\n", "1 3\n", "+1\n3\n", "  \n\n 001\n\n3"}) {
        EXPECT_EQ(run_scenario(with(keys)).program.output, connected + menu_choice) << '"' << keys << '"';
    }
}

TEST(Menu, NumbersButOneOrTwoEndAtOnceWhileASlipShowsTheMenuAgain)
{
    for (const char* choice : {"3\n", "9\n", "0\n", "-1\n", "4294967299\n", ""}) {
        const Outcome outcome = run_scenario(with(std::string("1\n") + choice));
        EXPECT_EQ(outcome.program.output, connected + menu_choice) << '"' << choice << '"';
        EXPECT_EQ(outcome.controller.requests.size(), 2U);
    }
    // Letters, the Czech top row (e-caron where 2 is) and a bare sign: the
    // rest of the line goes, the menu comes again, and the session goes on.
    for (const char* slip : {"abc 1\n", "\xc4\x9b\n", "+\n", "\x01\xff\n"}) {
        EXPECT_EQ(run_scenario(with(std::string("1\n") + slip + "1\n3\n")).program.output,
                  connected + menu_choice + menu_choice + shown_default + menu_choice)
            << '"' << slip << '"';
    }
}

TEST(NoResponse, EachRequestWaitsItsWholeTimeOutThenEnds)
{
    const std::string form = "1\n2\n10 2 1 0 1 0 128 0\n1\n3\n";
    // The last piece of a reply in pieces comes after 1012 ms: too late.
    const emulator::Fault too_late{
        .kind = FaultKind::pieces, .count = 6, .delay_ms = 400, .first_delay_ms = 700};
    const std::tuple<std::string, emulator::Fault, std::string, std::size_t, double> cases[] = {
        {"1\n3\n", {.kind = FaultKind::silent, .always = true}, failed_at_type, 1, 1012},
        {"1\n3\n", fault(FaultKind::short_reply, 0, 1), failed_at_type, 1, 1012},
        {"1\n3\n", fault(FaultKind::short_reply, 1, 1), failed_at_firmware, 2, 1008},
        {"1\n1\n1\n3\n", fault(FaultKind::short_reply, 2, 22), connected + menu_choice + failure_end, 3,
         1052},
        {form, fault(FaultKind::short_reply, 2, 1), connected + menu_choice + whole_form() + failure_end, 3,
         1004},
        {"1\n3\n", too_late, failed_at_type, 1, 1012},
    };
    for (const auto& [keys, failure, shown, requests, least_ms] : cases) {
        const Outcome outcome = run_scenario(with(keys, {failure}));
        EXPECT_EQ(outcome.program.output, shown) << keys;
        EXPECT_EQ(outcome.controller.requests.size(), requests) << keys << ": nothing is retried";
        EXPECT_GE(outcome.program.elapsed_ms, least_ms) << keys;
    }
    // A 13-byte type reply: its extra byte becomes byte 0 of the firmware
    // reply, so byte 2 is the firmware's command byte (0x26 = 38).
    EXPECT_EQ(
        run_scenario(with("1\n3\n", {{.kind = FaultKind::extra_bytes, .bytes = {0x42}}})).program.output,
        banner + identity("ZML-4C08", "538") + menu_choice);
}

TEST(ReadConfiguration, ShowsTheEightSettingsThenTheMenuAgain)
{
    const std::pair<emulator::Configuration, Display> cases[] = {
        {{0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D}, {"10", "9600Bd", "1", "0", "LED sviti", "0", "128", "0"}},
        {{0x01, 0x05, 0x74, 0x78, 0x00, 0x7C}, {"1", "19200Bd", "0", "0", "LED nesviti", "0", "0", "0"}},
        {{0x7F, 0x01, 0xFF, 0xFF, 0xFF, 0xFF},
         {"63", "4800Bd", "3", "1", "LED blika rychle", "1", "255", "1"}},
        {{0x01, 0x00, 0x7E, 0x7A, 0x48, 0x7F},
         {"1", "2400Bd", "2", "1", "LED blika pomalu", "0", "200", "1"}},
    };
    for (const auto& [bytes, shown] : cases) {
        Scenario scenario = with("1 1\n1\n3\n"); // "1 1": the port, and at once the menu
        scenario.controller.configuration = bytes;
        const Outcome outcome = run_scenario(scenario);
        EXPECT_EQ(outcome.program.output,
                  connected + menu_choice + display(shown) + menu_choice + display(shown) + menu_choice)
            << hex(bytes);
        EXPECT_EQ(hex(outcome.controller.received),
                  hex(kit::concat({identified, kit::read_request, kit::read_request})));
    }
}

TEST(WriteConfiguration, AnswersBecomeTheWriteFrameAndReadBack)
{
    const std::tuple<std::string, emulator::Configuration, Display> cases[] = {
        {"10\n2\n1\n0\n1\n0\n128\n0\n",
         {0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D},
         {"10", "9600Bd", "1", "0", "LED sviti", "0", "128", "0"}},
        {"+1 2 3 +1\n2 1 200 1\n",
         {0x01, 0x02, 0x7F, 0x7E, 0x48, 0x7F},
         {"1", "9600Bd", "3", "1", "LED blika pomalu", "1", "200", "1"}},
    };
    for (const auto& [keys, configuration, shown] : cases) {
        Scenario scenario = with("1\n2\n" + keys + "1\n3\n");
        scenario.controller.configuration = {0x02, 0x01, 0x74, 0x78, 0x01, 0x7C};
        const Outcome outcome = run_scenario(scenario);
        EXPECT_EQ(hex(outcome.controller.received),
                  hex(kit::concat({identified, kit::write_frame(configuration), kit::read_request})));
        EXPECT_EQ(outcome.program.output,
                  connected + menu_choice + whole_form() + menu_choice + display(shown) + menu_choice);
    }
}

TEST(WriteConfiguration, WrongAnswersAreAskedForAgainAndAnyFourBytesAcknowledge)
{
    // Per prompt: rejected answers, then the accepted one. Text with no
    // number drops the rest of its line: "x 5" is one wrong answer.
    const std::vector<std::vector<const char*>> answers = {
        {"0", "64", "-1", "4294967295", "abc", "x 5", "1"},
        {"4", "256", "+", "3"},
        {"4", "-1", "3"},
        {"2", "1"},
        {"4", "3"},
        {"2", "1"},
        {"256", "1000", "255"},
        {"2", "4294967298", "0"},
    };
    std::string keys = "1\n2\n";
    std::string form;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        for (const char* value : answers[i]) {
            keys += std::string(value) + "\n";
            form += prompts[i]; // no message, the same prompt again, whole
        }
    }
    const Outcome outcome = run_scenario(with(
        keys + "3\n", {{.kind = FaultKind::replace_reply, .request = 2, .bytes = {0x00, 0x13, 0x11, 0xEE}}}));
    EXPECT_EQ(outcome.program.output, connected + menu_choice + form + menu_choice);
    EXPECT_EQ(hex(outcome.controller.received),
              hex(kit::concat({identified, kit::write_frame({0x01, 0x03, 0x7F, 0x7F, 0x7F, 0x7D})})));

    // The end of input at any prompt: nothing is sent.
    keys = "1\n2\n";
    form.clear();
    for (std::size_t i = 0; i < answers.size(); ++i) {
        form += prompts[i];
        const Outcome unfinished = run_scenario(with(keys + "  \n"));
        EXPECT_EQ(unfinished.program.output, connected + menu_choice + form) << i << " answers";
        EXPECT_EQ(hex(unfinished.controller.received), hex(identified)) << i << " answers";
        keys += std::string(answers[i].back()) + "\n";
    }
}

TEST(Line, SessionsInARowShareTheLineButNeverTogether)
{
    SKIP_WHERE(platform.no_line_set_twice);
    SKIP_WHERE(platform.no_exclusive_open);
    auto line = start_line();
    // Left with flow control and two stop bits by a program before: the line
    // is set anew.
    const int before = open(emulator::slave_path(*line).c_str(), O_RDWR | O_NOCTTY);
    termios left{};
    tcgetattr(before, &left);
    left.c_iflag |= IXOFF | IXANY;
    left.c_cflag |= CSTOPB;
    tcsetattr(before, TCSANOW, &left);
    close(before);
    // The first session sits at the menu, its keyboard still open.
    ProgramRun first_run = configurator_run("1\n");
    first_run.close_input = false;
    RunningProgram first = start_program(first_run);
    ASSERT_TRUE(emulator::wait_for_requests(*line, 2, std::chrono::milliseconds(5'000)));

    const ProgramResult second = run_configurator(configurator_run("1\n3\n"));
    EXPECT_EQ(second.output, banner + open_failed);
    EXPECT_EQ(second.errors, "zumel-config: COM1 (" + com_port_path(1).string() +
                                 "): in use by another program; end it and try again\n");

    close(first.input_fd); // end of input at the menu ends the first session
    first.input_fd = -1;
    EXPECT_EQ(finish_program(first).output, connected + menu_choice);

    // Once it has gone the port is free, and a line the first session set
    // is set again without complaint.
    for (int session = 0; session < 2; ++session) {
        EXPECT_EQ(run_configurator(configurator_run("1\n3\n")).output, connected + menu_choice);
    }
    for (const auto& request : emulator::snapshot(*line).requests) {
        EXPECT_EQ(request.line_problems, "");
    }
}
