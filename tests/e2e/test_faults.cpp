// What the line and the keyboard may do in the field. Every case ends with
// a defined screen, never hangs or spins, and never writes a configuration
// the technician did not finish.

#include <csignal>
#include <gtest/gtest.h>
#include <random>

#include "expected_screens.hpp"
#include "session.hpp"

using emulator::Fault;
using emulator::FaultKind;

namespace {

const std::string connected = screen::banner + screen::identity("ZML-4C08", "105");
const std::string a_form = "10 2 1 0 1 0 128 0\n";

Scenario with(const std::string& keyboard, std::vector<Fault> faults = {})
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

TEST(LineFaults, AHangUpBeforeDuringOrAfterAReplyEndsAtOnce)
{
    const std::string half_reply = "\xFF\x28ZML-";
    const std::tuple<const char*, std::string, std::vector<Fault>, std::string> cases[] = {
        {"before the type reply",
         "1\n3\n",
         {{.kind = FaultKind::hang_up}},
         screen::banner + screen::separator + screen::failure_end},
        {"in the middle of the type reply",
         "1\n3\n",
         {{.kind = FaultKind::replace_reply, .bytes = Bytes(half_reply.begin(), half_reply.end())},
          {.kind = FaultKind::hang_up_after_reply}},
         screen::banner + screen::separator + screen::failure_end},
        {"while the technician fills in the form",
         "1\n2\n" + a_form + "3\n",
         {{.kind = FaultKind::hang_up_after_reply, .request = 1}},
         connected + screen::menu_choice + screen::whole_form() + screen::failure_end},
        {"when the write frame arrives",
         "1\n2\n" + a_form + "3\n",
         {{.kind = FaultKind::hang_up, .request = 2}},
         connected + screen::menu_choice + screen::whole_form() + screen::failure_end},
    };
    for (const auto& [name, keys, faults, shown] : cases) {
        const Outcome outcome = run_scenario(with(keys, faults));
        EXPECT_EQ(outcome.program.output, shown) << name;
        if (!under_wine()) { // Wine's ReadFile spins on a dead line until its time-out
            EXPECT_LT(outcome.program.elapsed_ms, 1000.0) << name << ": a dead line is not waited on";
            EXPECT_LT(outcome.program.cpu_ms, 300.0) << name << ": nor spun on";
        }
    }
}

TEST(LineFaults, OddRepliesAreTakenByTheirLengthAlone)
{
    // Every reply one byte at a time, 4 ms apart: a read of 52 bytes takes
    // about 200 ms of its 1052.
    Outcome outcome =
        run_scenario(with("1\n1\n2\n" + a_form + "3\n",
                          {{.kind = FaultKind::pieces, .always = true, .count = 1, .delay_ms = 4}}));
    EXPECT_EQ(outcome.program.output,
              connected + screen::menu_choice +
                  screen::display({"10", "9600Bd", "1", "0", "LED sviti", "0", "128", "0"}) +
                  screen::menu_choice + screen::whole_form() + screen::menu_choice);
    EXPECT_TRUE(wrote_configuration(outcome.controller));

    // Any twelve bytes are a type reply, shown as they came.
    Bytes type_reply = noise(12, 7);
    type_reply[2] = 'N'; // printable at the text's ends
    outcome = run_scenario(with("1\n3\n", {{.kind = FaultKind::replace_reply, .bytes = type_reply}}));
    EXPECT_EQ(outcome.program.output,
              screen::banner +
                  screen::identity(std::string(type_reply.begin() + 2, type_reply.begin() + 10), "105") +
                  screen::menu_choice);

    // 500 extra bytes after the type reply feed every later read.
    outcome = run_scenario(with("1\n1\n1\n3\n", {{.kind = FaultKind::extra_bytes, .bytes = noise(500, 1)}}));
    EXPECT_TRUE(outcome.program.output.ends_with(screen::menu_choice));
    EXPECT_EQ(outcome.program.output.find(screen::no_response), std::string::npos);
}

TEST(HostileKeyboard, EveryPromptHasADefinedAnswer)
{
    const std::string binary("\x01\x02\xFF\x00\x7F\x1B[A", 8);
    const std::string huge_letters(3'000'000, 'x');
    const std::string huge_digits(3'000'000, '9');
    const std::string form_asked_twice =
        connected + screen::menu_choice + screen::prompts[0] + screen::prompts[0];
    const std::tuple<const char*, std::string, std::string, bool> cases[] = {
        {"binary at the port prompt", binary + "\n1\n3\n", screen::banner + screen::invalid_port, false},
        {"megabytes of digits at the port prompt", huge_digits + "\n3\n",
         screen::banner + screen::invalid_port, false},
        {"megabytes of letters at the menu, then its end", "1\n" + huge_letters,
         connected + screen::menu_choice + screen::menu_choice, false},
        {"binary in the form, then a whole form", "1\n2\n" + binary + "\n" + a_form + "3\n",
         connected + screen::menu_choice + screen::prompts[0] + screen::whole_form() + screen::menu_choice,
         true},
        {"megabytes of letters in the form, then end of input", "1\n2\n" + huge_letters, form_asked_twice,
         false},
        {"megabytes of digits in the form, then end of input", "1\n2\n" + huge_digits, form_asked_twice,
         false},
        {"seven answers and end of input", "1\n2\n10 2 1 0 1 0 128",
         connected + screen::menu_choice + screen::whole_form(), false},
    };
    for (const auto& [name, keys, shown, writes] : cases) {
        const Outcome outcome = run_scenario(with(keys));
        EXPECT_EQ(outcome.program.output, shown) << name;
        EXPECT_EQ(wrote_configuration(outcome.controller), writes) << name;
        EXPECT_LT(outcome.program.cpu_ms, 2000.0) << name;
    }
}

TEST(Signals, ASignalWhileWaitingForAReplyLeavesNoPartialFrame)
{
    if (under_wine()) {
        GTEST_SKIP() << "signals reach Wine's loader, not the Windows program";
    }
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        auto line = start_line(1, {.faults = {{.kind = FaultKind::silent, .request = 2}}});
        ASSERT_TRUE(line);
        RunningProgram program = start_program(configurator_run("1\n2\n" + a_form));
        ASSERT_TRUE(emulator::wait_for_requests(*line, 3, std::chrono::milliseconds(5'000)));
        kill(program.pid, signal_number);
        EXPECT_EQ(finish_program(program).signal, signal_number);
        const auto controller = emulator::snapshot(*line);
        EXPECT_EQ(controller.received.size(), 4U + 4U + 52U) << "the write frame went whole";
        EXPECT_EQ(emulator::total(controller.errors), 0U);
    }
}
