// Reading and writing the controller's configuration from the menu.

#include <gtest/gtest.h>

#include "tests/e2e/expected_screens.hpp"
#include "tests/e2e/session.hpp"

using emulator::Fault;
using emulator::FaultKind;

namespace {

const std::string connected = screen::banner + screen::identity("ZML-4C08", "105");

Scenario session(const std::string& keyboard,
                 const emulator::Configuration& configuration = {0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D})
{
    Scenario scenario;
    scenario.keyboard = keyboard;
    scenario.controller.configuration = configuration;
    return scenario;
}

const screen::Display shown_default{"10", "9600Bd", "1", "0", "LED sviti", "0", "128", "0"};

std::string answers(std::initializer_list<const char*> values)
{
    std::string text;
    for (const char* v : values) {
        text += v;
        text += '\n';
    }
    return text;
}

// A form answered at the first try shows each prompt once.
const std::string form_once = screen::whole_form();

} // namespace

TEST(ReadConfiguration, ShowsTheEightSettingsThenTheMenuAgain)
{
    struct Case {
        emulator::Configuration bytes;
        screen::Display shown;
    };
    const Case cases[] = {
        {{0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D}, shown_default},
        {{0x01, 0x05, 0x74, 0x78, 0x00, 0x7C}, {"1", "19200Bd", "0", "0", "LED nesviti", "0", "0", "0"}},
        {{0x7F, 0x01, 0xFF, 0xFF, 0xFF, 0xFF},
         {"63", "4800Bd", "3", "1", "LED blika rychle", "1", "255", "1"}},
        {{0x01, 0x00, 0x7E, 0x7A, 0x48, 0x7F},
         {"1", "2400Bd", "2", "1", "LED blika pomalu", "0", "200", "1"}},
        {{0x3F, 0x03, 0x74, 0x78, 0x7F, 0x7C}, {"63", "19200Bd", "0", "0", "LED nesviti", "0", "127", "0"}},
        {{0x00, 0xFF, 0x00, 0x00, 0x00, 0x00}, {"0", "19200Bd", "0", "0", "LED nesviti", "0", "0", "0"}},
    };
    for (const auto& c : cases) {
        const Outcome outcome = run_scenario(session("1\n1\n3\n", c.bytes));
        EXPECT_EQ(outcome.program.output,
                  connected + screen::menu_choice + screen::display(c.shown) + screen::menu_choice)
            << hex(Bytes(c.bytes.begin(), c.bytes.end()));
        EXPECT_EQ(hex(outcome.controller.received),
                  hex(concat({type_request, firmware_request, read_request})));
    }
}

TEST(ReadConfiguration, TwoReadsInARowAndAPortAnsweredOnTheSameLine)
{
    // "1 1" picks COM1 and at once answers the first menu with 1.
    const Outcome outcome = run_scenario(session("1 1\n1\n3\n"));
    const std::string shown = screen::display(shown_default);
    EXPECT_EQ(outcome.program.output,
              connected + screen::menu_choice + shown + screen::menu_choice + shown + screen::menu_choice);
    EXPECT_EQ(outcome.controller.requests.size(), 4U);
}

TEST(ReadConfiguration, AShortReplyShowsNoLabelAndEnds)
{
    Scenario scenario = session("1\n1\n1\n3\n");
    scenario.controller.faults = {Fault{.kind = FaultKind::short_reply, .request = 2, .count = 1}};
    const Outcome outcome = run_scenario(scenario);
    EXPECT_EQ(outcome.program.output, connected + screen::menu_choice + screen::failure_end);
    EXPECT_EQ(outcome.controller.requests.size(), 3U) << "the program ended after the failed read";
}

TEST(WriteConfiguration, AnswersBecomeTheWriteFrameAndReadBack)
{
    struct Case {
        std::string keys;
        Bytes configuration;
        std::uint8_t checksum;
        screen::Display shown;
    };
    const Case cases[] = {
        {answers({"10", "2", "1", "0", "1", "0", "128", "0"}),
         {0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D},
         0x34,
         shown_default},
        {answers({"1", "0", "0", "0", "0", "0", "0", "0"}),
         {0x01, 0x00, 0x74, 0x78, 0x00, 0x7C},
         0x42,
         {"1", "2400Bd", "0", "0", "LED nesviti", "0", "0", "0"}},
        {answers({"1", "2", "3", "1", "2", "1", "200", "1"}),
         {0x01, 0x02, 0x7F, 0x7E, 0x48, 0x7F},
         0x64,
         {"1", "9600Bd", "3", "1", "LED blika pomalu", "1", "200", "1"}},
        // Several answers on one line, signs and minus zero.
        {"63 3 3 +1\n3 1 255 1\n",
         {0x3F, 0x03, 0x7F, 0x7F, 0x7F, 0x7F},
         0x6D,
         {"63", "19200Bd", "3", "1", "LED blika rychle", "1", "255", "1"}},
        {"7 -0 -0 0 -0 0 0 0\n",
         {0x07, 0x00, 0x74, 0x78, 0x00, 0x7C},
         0x3C,
         {"7", "2400Bd", "0", "0", "LED nesviti", "0", "0", "0"}},
    };
    for (const auto& c : cases) {
        const Outcome outcome =
            run_scenario(session("1\n2\n" + c.keys + "1\n3\n", {0x01, 0x00, 0x74, 0x78, 0x00, 0x7C}));
        const Bytes frame = write_frame(c.configuration, c.checksum);
        EXPECT_EQ(hex(outcome.controller.received),
                  hex(concat({type_request, firmware_request, frame, read_request})))
            << c.keys;
        EXPECT_EQ(outcome.program.output, connected + screen::menu_choice + form_once + screen::menu_choice +
                                              screen::display(c.shown) + screen::menu_choice)
            << c.keys;
    }
}

TEST(WriteConfiguration, ValuesOutOfRangeAreAskedForAgain)
{
    // Per prompt: rejected answers, then the accepted one.
    struct Prompt {
        std::vector<const char*> rejected;
        const char* accepted;
    };
    const Prompt prompts[8] = {
        {{"0", "64", "-1", "4294967295", "100"}, "1"},
        {{"4", "-1", "256"}, "3"},
        {{"4", "-1"}, "3"},
        {{"2", "-1"}, "1"},
        {{"4", "-1"}, "3"},
        {{"2", "-1"}, "1"},
        {{"256", "-1", "1000"}, "255"},
        {{"2", "-1", "4294967298"}, "0"},
    };
    std::string keys = "1\n2\n";
    std::string form;
    for (int i = 0; i < 8; ++i) {
        for (const char* value : prompts[i].rejected) {
            keys += std::string(value) + "\n";
            form += screen::prompts[i]; // no message, the same prompt again, whole
        }
        keys += std::string(prompts[i].accepted) + "\n";
        form += screen::prompts[i];
    }
    const Outcome outcome = run_scenario(session(keys + "3\n"));
    EXPECT_EQ(outcome.program.output, connected + screen::menu_choice + form + screen::menu_choice);
    EXPECT_EQ(hex(outcome.controller.received),
              hex(concat({type_request, firmware_request,
                          write_frame({0x01, 0x03, 0x7F, 0x7F, 0x7F, 0x7D}, 0x2D)})));

    // The upper bounds of every range are taken at the first try.
    const Outcome highest = run_scenario(session("1\n2\n63\n3\n3\n1\n3\n1\n255\n1\n3\n"));
    EXPECT_EQ(highest.program.output, connected + screen::menu_choice + form_once + screen::menu_choice);
}

TEST(WriteConfiguration, TextThatHoldsNoNumberRepeatsThePrompt)
{
    // The unreadable rest of the line is dropped; the prompt comes again.
    const Outcome outcome = run_scenario(session("1\n2\nabc\n10\n+\n2 x y\n1 0 1 0 128 0\n3\n"));
    // "2 x y": 2 answers the speed; "x y" is not a number for the button
    // limit, is dropped, and the button limit is asked for again.
    const std::string expected_form = screen::prompts[0] + screen::prompts[0] + screen::prompts[1] +
                                      screen::prompts[1] + screen::prompts[2] + screen::prompts[2] +
                                      screen::prompts[3] + screen::prompts[4] + screen::prompts[5] +
                                      screen::prompts[6] + screen::prompts[7];
    EXPECT_EQ(outcome.program.output, connected + screen::menu_choice + expected_form + screen::menu_choice);
    EXPECT_EQ(hex(outcome.controller.received),
              hex(concat({type_request, firmware_request,
                          write_frame({0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D}, 0x34)})));
}

TEST(WriteConfiguration, AnUnfinishedFormWritesNothing)
{
    // End of input after each number of answers: nothing reaches the line
    // after the identification, and the program ends without hanging.
    const char* all[] = {"10", "2", "1", "0", "1", "0", "128", "0"};
    for (int given = 0; given < 8; ++given) {
        std::string keys = "1\n2\n";
        std::string form;
        for (int i = 0; i < given; ++i) {
            keys += std::string(all[i]) + "\n";
            form += screen::prompts[i];
        }
        form += screen::prompts[given];
        const Outcome outcome = run_scenario(session(keys + "  \n"));
        EXPECT_EQ(outcome.program.output, connected + screen::menu_choice + form) << given << " answers";
        EXPECT_EQ(hex(outcome.controller.received), hex(concat({type_request, firmware_request})))
            << given << " answers";
    }
}

TEST(WriteConfiguration, TheAcknowledgementCountsOnlyByItsLength)
{
    const std::string keys = "1\n2\n10 2 1 0 1 0 128 0\n1\n3\n";
    Scenario odd_ack = session(keys);
    odd_ack.controller.faults = {
        Fault{.kind = FaultKind::replace_reply, .request = 2, .bytes = {0x00, 0x13, 0x11, 0xEE}}};
    Outcome outcome = run_scenario(odd_ack);
    EXPECT_EQ(outcome.program.output, connected + screen::menu_choice + form_once + screen::menu_choice +
                                          screen::display(shown_default) + screen::menu_choice);

    Scenario short_ack = session(keys);
    short_ack.controller.faults = {Fault{.kind = FaultKind::short_reply, .request = 2, .count = 1}};
    outcome = run_scenario(short_ack);
    EXPECT_EQ(outcome.program.output, connected + screen::menu_choice + form_once + screen::failure_end);
    EXPECT_EQ(outcome.controller.requests.size(), 3U) << "no read after the failed write";
}
