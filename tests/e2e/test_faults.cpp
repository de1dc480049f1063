// What the line may do in the field, and signals. Every case ends with a
// defined screen and never hangs or spins. Hostile keys at scale are the
// soak's.

#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

#include "expected_screens.hpp"
#include "session.hpp"

using emulator::FaultKind;
using namespace screen;

namespace {

const std::string a_form = "10 2 1 0 1 0 128 0\n";
const std::string form_failed = connected + menu_choice + whole_form() + failure_end;

} // namespace

TEST(LineFaults, AHangUpBeforeDuringOrAfterAReplyEndsAtOnce)
{
    const Bytes half_reply{0xFF, 0x28, 'Z', 'M', 'L'};
    const std::tuple<std::string, std::vector<emulator::Fault>, std::string> cases[] = {
        {"1\n3\n", {{.kind = FaultKind::hang_up}}, failed_at_type},
        {"1\n3\n",
         {{.kind = FaultKind::replace_reply, .bytes = half_reply}, {.kind = FaultKind::hang_up_after_reply}},
         failed_at_type},
        // while the technician fills in the form, and when the write comes
        {"1\n2\n" + a_form + "3\n", {{.kind = FaultKind::hang_up_after_reply, .request = 1}}, form_failed},
        {"1\n2\n" + a_form + "3\n", {{.kind = FaultKind::hang_up, .request = 2}}, form_failed},
    };
    for (const auto& [keys, faults, shown] : cases) {
        const Outcome outcome = run_scenario(with(keys, faults));
        EXPECT_EQ(outcome.program.output, shown) << keys;
    }
}

TEST(LineFaults, AHangUpIsNamedSoInTheTraceAndTheReason)
{
    SKIP_WHERE(platform.no_quick_dead_line);
    auto line = start_line(1, {.faults = {{.kind = FaultKind::hang_up, .request = 2}}});
    const std::filesystem::path trace = kit::own_directory() / "hung-up.txt";
    const ProgramResult result = run_with({"--port", "COM1", "--read", "--trace", trace.string()});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_TRUE(result.errors.ends_with("zumel-config: COM1: the line hung up awaiting the reply to the read "
                                        "request; is the adapter plugged in?\n"))
        << result.errors;
    const std::string lines = trace_lines(trace);
    EXPECT_NE(lines.find("\nCOM1 received 0 of 52 bytes, hung up after "), std::string::npos) << lines;
    EXPECT_EQ(lines.find("of 52 bytes, time-out"), std::string::npos) << lines;
}

TEST(LineFaults, AWriteToALineThatHasGoneFailsAtOnce)
{
    SKIP_WHERE(platform.no_quick_dead_line);
    auto line = start_line(1, {.faults = {{.kind = FaultKind::hang_up_after_reply, .request = 1}}});
    ProgramRun run = configurator_run("1\n");
    run.close_input = false;
    RunningProgram program = start_program(run);
    for (int i = 0; i < 500 && !emulator::closed(*line); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Only now the technician answers the form.
    const std::string keys = "2\n" + a_form;
    ASSERT_EQ(write(program.input_fd, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    close(program.input_fd);
    program.input_fd = -1;
    const ProgramResult result = finish_program(program);
    EXPECT_EQ(result.output, form_failed);
}

TEST(LineFaults, RepliesInManyPiecesCountWhole)
{
    // Every reply one byte at a time, 4 ms apart: a read of 52 bytes takes
    // about 200 ms of its 1052.
    const Outcome outcome =
        run_scenario(with("1\n1\n2\n" + a_form + "3\n",
                          {{.kind = FaultKind::pieces, .always = true, .count = 1, .delay_ms = 4}}));
    EXPECT_EQ(outcome.program.output,
              connected + menu_choice + shown_default + menu_choice + whole_form() + menu_choice);
    EXPECT_EQ(outcome.controller.requests.size(), 4U) << "the write went out";
}

TEST(Signals, ASignalWhileAwaitingTheWriteAcknowledgementEndsTheProgramAtOnce)
{
    SKIP_WHERE(platform.no_signals);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        auto line = start_line(1, {.faults = {{.kind = FaultKind::silent, .request = 2}}});
        RunningProgram program = start_program(configurator_run("1\n2\n" + a_form));
        ASSERT_TRUE(emulator::wait_for_requests(*line, 3, std::chrono::milliseconds(5'000)));
        kill(program.pid, signal_number);
        const ProgramResult result = finish_program(program);
        // Ended by the signal itself: a program that waited out the read's
        // time-out would have shown its failure and ended on its own.
        EXPECT_EQ(result.signal, signal_number) << strsignal(signal_number);
        EXPECT_EQ(result.output, connected + menu_choice + whole_form()) << strsignal(signal_number);
        const auto controller = emulator::snapshot(*line);
        EXPECT_EQ(controller.received.size(), 4U + 4U + 52U) << "the write frame whole, and nothing after it";
        EXPECT_EQ(emulator::total(controller.errors), 0U);
    }
}
