#include "tests/e2e/session.hpp"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

std::string strip_carriage_returns(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

} // namespace

const Target& target()
{
#ifdef WINE_RUN_SCRIPT
    static const Target wine_target{"windows-under-wine", true};
    return wine_target;
#else
    static const Target linux_target{"linux", false};
    return linux_target;
#endif
}

std::filesystem::path com_port_path(int number)
{
#ifdef WINE_RUN_SCRIPT
    return std::filesystem::path(WINE_PORT_DIR) / ("com" + std::to_string(number));
#else
    return COM_DEVICE_PREFIX + std::to_string(number - 1);
#endif
}

ProgramRun configurator_run(const std::string& keyboard)
{
    ProgramRun run;
#ifdef WINE_RUN_SCRIPT
    // The script also stops the Wine server, which holds the port as its
    // controlling terminal, before the emulator's end of the line closes.
    run.command = {"/bin/bash", WINE_RUN_SCRIPT, WINE_PREFIX_DIR, CONFIGURATOR_EXE};
    run.time_limit = std::chrono::milliseconds(90'000);
#else
    run.command = {CONFIGURATOR_EXE};
#endif
    run.input = keyboard;
    return run;
}

ProgramResult run_configurator(const ProgramRun& run)
{
    ProgramResult result = run_program(run);
    if (target().under_wine) {
        // Text-mode standard output under Windows ends lines with CR LF.
        result.output = strip_carriage_returns(result.output);
    }
    return result;
}

Outcome run_scenario(const Scenario& scenario)
{
    Outcome outcome;
    std::string error;
    auto line = emulator::start_pty_line(com_port_path(scenario.com), scenario.controller, error);
    if (!line) {
        ADD_FAILURE() << "emulator did not start: " << error;
        return outcome;
    }
    outcome.program = run_configurator(configurator_run(scenario.keyboard));
    outcome.controller = emulator::snapshot(*line);
    EXPECT_FALSE(outcome.program.timed_out) << "the configurator hung";
    EXPECT_EQ(outcome.program.exit_code, 0);
    for (const auto& request : outcome.controller.requests) {
        EXPECT_EQ(request.line_problems, "")
            << "line settings when command " << hex(Bytes{request.command}) << " came";
    }
    return outcome;
}

Bytes write_frame(const Bytes& configuration, std::uint8_t checksum)
{
    Bytes frame{0xFF, 0x56};
    frame.insert(frame.end(), configuration.begin(), configuration.end());
    frame.insert(frame.end(), 42, 0x00);
    frame.push_back(checksum);
    frame.push_back(0x80);
    return frame;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}
