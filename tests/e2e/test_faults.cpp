// What the line and the keyboard may do in the field. Every case ends with
// a defined screen and exit code 0, never hangs or spins, and never writes a
// configuration the technician did not finish.

#include <csignal>
#include <gtest/gtest.h>
#include <random>

#include "tests/e2e/expected_screens.hpp"
#include "tests/e2e/session.hpp"

using emulator::Fault;
using emulator::FaultKind;

namespace {

const std::string connected = screen::banner + screen::identity("ZML-4C08", "105");
const std::string type_shown = screen::separator + "\n\n Typ ovladace:    ZML-4C08";
const std::string a_form = "10 2 1 0 1 0 128 0\n";

Scenario session(const std::string& keyboard, std::vector<Fault> faults = {})
{
    Scenario scenario;
    scenario.keyboard = keyboard;
    scenario.controller.faults = std::move(faults);
    return scenario;
}

bool wrote_configuration(const emulator::Controller& controller)
{
    for (const auto& request : controller.requests) {
        if (request.command == emulator::command_write) {
            return true;
        }
    }
    return false;
}

Bytes noise(std::size_t length, unsigned seed)
{
    std::mt19937 random(seed);
    Bytes bytes(length);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

} // namespace

TEST(LineFaults, TheLineHangsUpBeforeDuringOrAfterAReply)
{
    struct Case {
        const char* name;
        std::string keys;
        std::vector<Fault> faults;
        std::string screen;
    };
    const std::string half_type_reply = "\xFF\x28ZML-";
    const Case cases[] = {
        {"before the type reply",
         "1\n3\n",
         {Fault{.kind = FaultKind::hang_up, .request = 0}},
         screen::banner + screen::separator + screen::failure_end},
        {"in the middle of the type reply",
         "1\n3\n",
         {Fault{.kind = FaultKind::replace_reply,
                .request = 0,
                .bytes = Bytes(half_type_reply.begin(), half_type_reply.end())},
          Fault{.kind = FaultKind::hang_up_after_reply, .request = 0}},
         screen::banner + screen::separator + screen::failure_end},
        {"after the firmware reply, before the read",
         "1\n1\n3\n",
         {Fault{.kind = FaultKind::hang_up_after_reply, .request = 1}},
         connected + screen::menu_choice + screen::failure_end},
        {"while the technician fills in the form",
         "1\n2\n" + a_form + "3\n",
         {Fault{.kind = FaultKind::hang_up_after_reply, .request = 1}},
         connected + screen::menu_choice + screen::whole_form() + screen::failure_end},
        {"when the write frame arrives",
         "1\n2\n" + a_form + "3\n",
         {Fault{.kind = FaultKind::hang_up, .request = 2}},
         connected + screen::menu_choice + screen::whole_form() + screen::failure_end},
    };
    for (const auto& c : cases) {
        const Outcome outcome = run_scenario(session(c.keys, c.faults));
        EXPECT_EQ(outcome.program.output, c.screen) << c.name;
        if (!target().under_wine) { // Wine's ReadFile spins on a dead line until its time-out
            EXPECT_LT(outcome.program.elapsed_ms, 1000.0) << c.name << ": a dead line is not waited on";
            EXPECT_LT(outcome.program.cpu_ms, 300.0) << c.name << ": nor spun on";
        }
    }
}

TEST(LineFaults, RepliesInManySmallPiecesCountWhole)
{
    // Every reply one byte at a time, 4 ms apart: the read of 52 bytes takes
    // about 200 ms of its 1052.
    const Outcome outcome =
        run_scenario(session("1\n1\n2\n" + a_form + "3\n",
                             {Fault{.kind = FaultKind::pieces, .always = true, .count = 1, .delay_ms = 4}}));
    EXPECT_EQ(outcome.program.output,
              connected + screen::menu_choice +
                  screen::display({"10", "9600Bd", "1", "0", "LED sviti", "0", "128", "0"}) +
                  screen::menu_choice + screen::whole_form() + screen::menu_choice);
    EXPECT_TRUE(wrote_configuration(outcome.controller));
}

TEST(LineFaults, NoiseInsteadOfRepliesIsShownAsReceived)
{
    // Any twelve bytes are a type reply; the program shows them as they are.
    Bytes type_reply = noise(12, 7);
    type_reply[2] = 'N'; // keep the text comparison printable at its ends
    const Outcome outcome = run_scenario(
        session("1\n3\n", {Fault{.kind = FaultKind::replace_reply, .request = 0, .bytes = type_reply}}));
    const std::string type(type_reply.begin() + 2, type_reply.begin() + 10);
    EXPECT_EQ(outcome.program.output, screen::banner + screen::identity(type, "105") + screen::menu_choice);
}

TEST(LineFaults, AReplyFarLongerThanAskedFeedsTheFollowingReads)
{
    // 500 extra bytes after the type reply: every later read is served from
    // them, whatever they hold, and the program still ends as asked.
    for (unsigned seed = 1; seed <= 3; ++seed) {
        const Outcome outcome = run_scenario(
            session("1\n1\n1\n3\n",
                    {Fault{.kind = FaultKind::extra_bytes, .request = 0, .bytes = noise(500, seed)}}));
        EXPECT_EQ(outcome.program.exit_code, 0);
        EXPECT_TRUE(outcome.program.output.ends_with(screen::menu_choice)) << "seed " << seed;
        EXPECT_EQ(outcome.program.output.find(screen::no_response), std::string::npos);
    }
}

TEST(HostileKeyboard, EveryPromptHasADefinedAnswer)
{
    const std::string binary("\x01\x02\xFF\x00\x7F\x1B[A", 8);
    const std::string huge_letters(3'000'000, 'x');
    const std::string huge_digits(3'000'000, '9');
    struct Case {
        const char* name;
        std::string keys;
        std::string screen;
        bool writes;
    };
    const Case cases[] = {
        {"binary at the port prompt", binary + "\n1\n3\n", screen::banner + screen::invalid_port, false},
        {"NUL at the port prompt", std::string(1, '\0') + "1\n3\n", screen::banner + screen::invalid_port,
         false},
        {"megabytes of letters at the port prompt", huge_letters + "\n1\n",
         screen::banner + screen::invalid_port, false},
        {"megabytes of digits at the port prompt", huge_digits + "\n3\n",
         screen::banner + screen::invalid_port, false},
        {"binary at the menu", "1\n" + binary + "\n1\n", connected + screen::menu_choice, false},
        {"megabytes of letters at the menu", "1\n" + huge_letters + "\n1\n", connected + screen::menu_choice,
         false},
        {"binary in the form, then a whole form", "1\n2\n" + binary + "\n" + a_form + "3\n",
         connected + screen::menu_choice + screen::prompts[0] + screen::whole_form() + screen::menu_choice,
         true},
        {"megabytes of letters in the form, then end of input", "1\n2\n" + huge_letters,
         connected + screen::menu_choice + screen::prompts[0] + screen::prompts[0], false},
        {"megabytes of digits in the form, then end of input", "1\n2\n" + huge_digits,
         connected + screen::menu_choice + screen::prompts[0] + screen::prompts[0], false},
        {"a sign without digits in every answer, then end of input", "1\n2\n-\n+\n- 5\n",
         connected + screen::menu_choice + screen::prompts[0] + screen::prompts[0] + screen::prompts[0] +
             screen::prompts[0],
         false},
        {"seven answers and end of input", "1\n2\n10 2 1 0 1 0 128",
         connected + screen::menu_choice + screen::whole_form(), false},
    };
    for (const auto& c : cases) {
        const Outcome outcome = run_scenario(session(c.keys));
        EXPECT_EQ(outcome.program.output, c.screen) << c.name;
        EXPECT_EQ(wrote_configuration(outcome.controller), c.writes) << c.name;
        EXPECT_LT(outcome.program.cpu_ms, 2000.0) << c.name;
    }
}

TEST(Signals, ASignalWhileWaitingForAReplyLeavesNoPartialFrame)
{
    if (target().under_wine) {
        GTEST_SKIP() << "signals reach Wine's loader, not the Windows program";
    }
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        std::string error;
        emulator::ControllerSetup silent_write;
        silent_write.faults = {Fault{.kind = FaultKind::silent, .request = 2}};
        auto line = emulator::start_pty_line(com_port_path(1), silent_write, error);
        ASSERT_TRUE(line) << error;
        RunningProgram program = start_program(configurator_run("1\n2\n" + a_form));
        ASSERT_TRUE(emulator::wait_for_requests(*line, 3, std::chrono::milliseconds(5'000)));
        kill(program.pid, signal_number);
        const ProgramResult result = finish_program(program);
        EXPECT_EQ(result.signal, signal_number);
        const auto controller = emulator::snapshot(*line);
        EXPECT_EQ(controller.received.size(), 4U + 4U + 52U) << "the write frame went whole";
        EXPECT_EQ(emulator::total(controller.errors), 0U);
    }
}
