// Connecting, identifying and every way the program ends, as a technician
// meets them, against the emulated controller.

#include <gtest/gtest.h>

#include "tests/e2e/expected_screens.hpp"
#include "tests/e2e/session.hpp"

using emulator::Fault;
using emulator::FaultKind;

namespace {

const std::string default_identity = screen::identity("ZML-4C08", "105");

Scenario with_keys(const std::string& keyboard)
{
    Scenario scenario;
    scenario.keyboard = keyboard;
    return scenario;
}

} // namespace

TEST(Connect, IdentifiesTheControllerShowsTheMenuAndEndsOnThree)
{
    const Outcome outcome = run_scenario(with_keys("1\n3\n"));
    EXPECT_EQ(outcome.program.output, screen::banner + default_identity + screen::menu_choice);
    EXPECT_EQ(hex(outcome.controller.received), hex(concat({type_request, firmware_request})));
    EXPECT_EQ(emulator::total(outcome.controller.errors), 0U);
    ASSERT_EQ(outcome.controller.requests.size(), 2U);
}

TEST(Connect, TypeAndVersionAreShownAsReceived)
{
    struct Case {
        std::array<char, 8> type;
        std::uint8_t high, low;
        std::string shown_type, shown_version;
    };
    const Case cases[] = {
        {{'A', 'B', 'C', '1', '2', '3', '4', '5'}, 1, 5, "ABC12345", "105"},
        {{' ', ' ', 'x', ' ', ' ', ' ', ' ', ' '}, 0, 0, "  x     ", "000"},
        {{'\x11', '\x13', 'Q', 'S', '\x7f', '~', 'z', '.'}, 12, 123, "\x11\x13QS\x7f~z.", "12123"},
        {{'Z', 'M', 'L', '-', '0', '0', '0', '1'}, 255, 255, "ZML-0001", "255255"},
    };
    for (const auto& c : cases) {
        Scenario scenario = with_keys("1\n3\n");
        scenario.controller.type = c.type;
        scenario.controller.firmware_high = c.high;
        scenario.controller.firmware_low = c.low;
        const Outcome outcome = run_scenario(scenario);
        EXPECT_EQ(outcome.program.output,
                  screen::banner + screen::identity(c.shown_type, c.shown_version) + screen::menu_choice)
            << c.shown_type;
    }
}

TEST(Connect, APortChoiceOutsideTheListEndsAfterAKey)
{
    // Without a console the key wait ends at once.
    for (const char* keys :
         {"0\n", "7\n", "-1\n", "4294967296\n", "x\n", "", "   \n", "+\n", "12345678901\n"}) {
        const Outcome outcome = run_scenario(with_keys(keys));
        EXPECT_EQ(outcome.program.output, screen::banner + screen::invalid_port) << '"' << keys << '"';
        EXPECT_TRUE(outcome.controller.received.empty()) << '"' << keys << '"';
    }
}

TEST(Connect, NumbersWrapAndTheRestOfTheLineAnswersTheNextPrompt)
{
    // 2^32 + 1 selects COM1; "1 3" picks the port and ends at the menu.
    for (const char* keys : {"4294967297\n3\n", "1 3\n", "+1\n3\n", "  \n\n 1\n\n3"}) {
        const Outcome outcome = run_scenario(with_keys(keys));
        EXPECT_EQ(outcome.program.output, screen::banner + default_identity + screen::menu_choice)
            << '"' << keys << '"';
    }
}

TEST(Connect, APortThatCannotBeOpenedEndsWithoutARequest)
{
    Scenario scenario = with_keys("2\n3\n"); // the emulator sits on COM1 only
    std::filesystem::remove(com_port_path(2));
    const Outcome outcome = run_scenario(scenario);
    EXPECT_EQ(outcome.program.output, screen::banner + screen::open_failed);
    EXPECT_TRUE(outcome.controller.received.empty());
}

TEST(Connect, EachComNumberOpensItsOwnDevice)
{
    for (int com = 1; com <= 6; ++com) {
        Scenario scenario = with_keys(std::to_string(com) + "\n3\n");
        scenario.com = com;
        const Outcome outcome = run_scenario(scenario);
        EXPECT_EQ(outcome.program.output, screen::banner + default_identity + screen::menu_choice)
            << "COM" << com;
    }
}

TEST(Menu, AnyChoiceButOneOrTwoEndsAtOnceWithoutAKey)
{
    for (const char* choice :
         {"3\n", "9\n", "0\n", "4294967295\n", "-1\n", "4294967299\n", "abc\n", "", "+\n"}) {
        const Outcome outcome = run_scenario(with_keys(std::string("1\n") + choice));
        EXPECT_EQ(outcome.program.output, screen::banner + default_identity + screen::menu_choice)
            << '"' << choice << '"';
        EXPECT_EQ(outcome.controller.requests.size(), 2U) << '"' << choice << '"';
    }
}

TEST(NoResponse, ASilentControllerEndsAfterTheReadTimeOut)
{
    Scenario scenario = with_keys("1\n3\n");
    scenario.controller.faults = {Fault{.kind = FaultKind::silent, .always = true}};
    const Outcome outcome = run_scenario(scenario);
    EXPECT_EQ(outcome.program.output, screen::banner + screen::separator + screen::failure_end);
    EXPECT_EQ(hex(outcome.controller.received), hex(type_request)) << "nothing is retried";
    // The whole time-out is waited for, 1000 ms and 1 ms per byte asked for.
    EXPECT_GE(outcome.program.elapsed_ms, 1012.0);
}

TEST(NoResponse, AShortReplyToEitherRequestEndsTheProgram)
{
    struct Case {
        const char* name;
        std::vector<Fault> faults;
        std::string after_banner;
    };
    const Case cases[] = {
        {"type reply of 11 bytes",
         {Fault{.kind = FaultKind::short_reply, .request = 0, .count = 1}},
         screen::separator + screen::failure_end},
        {"firmware reply of 7 bytes",
         {Fault{.kind = FaultKind::short_reply, .request = 1, .count = 1}},
         screen::separator + "\n\n Typ ovladace:    ZML-4C08" + screen::failure_end},
        {"firmware request unanswered",
         {Fault{.kind = FaultKind::silent, .request = 1}},
         screen::separator + "\n\n Typ ovladace:    ZML-4C08" + screen::failure_end},
    };
    for (const auto& c : cases) {
        Scenario scenario = with_keys("1\n3\n");
        scenario.controller.faults = c.faults;
        const Outcome outcome = run_scenario(scenario);
        EXPECT_EQ(outcome.program.output, screen::banner + c.after_banner) << c.name;
    }
}

TEST(NoResponse, AReplyInPiecesCountsWholeOnlyWithinTheTimeOut)
{
    Scenario in_time = with_keys("1\n3\n");
    in_time.controller.faults = {Fault{.kind = FaultKind::pieces, .request = 0, .count = 1, .delay_ms = 60}};
    Outcome outcome = run_scenario(in_time);
    EXPECT_EQ(outcome.program.output, screen::banner + default_identity + screen::menu_choice);

    // The last piece of the type reply comes after 1012 ms: too late.
    Scenario too_late = with_keys("1\n3\n");
    too_late.controller.faults = {
        Fault{.kind = FaultKind::pieces, .request = 0, .count = 6, .delay_ms = 400, .first_delay_ms = 700}};
    outcome = run_scenario(too_late);
    EXPECT_EQ(outcome.program.output, screen::banner + screen::separator + screen::failure_end);
}

TEST(NoResponse, BytesBeyondAReplyAreReadAsTheStartOfTheNext)
{
    // A 13-byte type reply: its extra byte becomes byte 0 of the firmware
    // reply, so byte 2 is the firmware reply's command byte (0x26 = 38) and
    // byte 3 its low part.
    Scenario scenario = with_keys("1\n3\n");
    scenario.controller.faults = {Fault{.kind = FaultKind::extra_bytes, .request = 0, .bytes = {0x42}}};
    const Outcome outcome = run_scenario(scenario);
    EXPECT_EQ(outcome.program.output,
              screen::banner + screen::identity("ZML-4C08", "538") + screen::menu_choice);
}
