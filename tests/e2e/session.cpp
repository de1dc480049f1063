#include "session.hpp"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

std::filesystem::path com_port_path(int number)
{
#ifdef WINE_RUN_SCRIPT
    return std::filesystem::path(WINE_PORT_DIR) / ("com" + std::to_string(number));
#else
    return kit::own_directory() / ("ttyS" + std::to_string(number - 1));
#endif
}

ProgramRun configurator_run(const std::string& keyboard, const std::vector<std::string>& options)
{
    ProgramRun run;
#ifdef WINE_RUN_SCRIPT
    // The script also ends the prefix's Wine processes, which hold the port,
    // before the emulator's end of the line closes.
    run.command = {"/bin/bash", WINE_RUN_SCRIPT, WINE_PREFIX_DIR, CONFIGURATOR_EXE};
#else
    run.command = {CONFIGURATOR_EXE, "--com-prefix", (kit::own_directory() / "ttyS").string()};
#endif
    run.time_limit = std::chrono::milliseconds(platform.time_limit_ms);
    run.command.insert(run.command.end(), options.begin(), options.end());
    run.input = keyboard;
    return run;
}

ProgramResult run_configurator(const ProgramRun& run)
{
    ProgramResult result = run_program(run);
    if (under_wine) {
        for (std::string* text : {&result.output, &result.errors}) {
            text->erase(std::remove(text->begin(), text->end(), '\r'), text->end());
        }
    }
    return result;
}

ProgramResult run_with(const std::vector<std::string>& options, const std::string& keyboard)
{
    return run_configurator(configurator_run(keyboard, options));
}

std::string contents(const std::filesystem::path& path, bool without_cr)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    std::string lines = text.str();
    if (without_cr) {
        std::erase(lines, '\r');
    }
    return lines;
}

std::string trace_lines(const std::filesystem::path& path)
{
    std::string lines = contents(path);
    for (std::size_t at = 0; (at = lines.find(" ms  ", at)) != std::string::npos;) {
        const std::size_t start = lines.rfind('\n', at) + 1;
        EXPECT_NE(lines.find_first_not_of(" 0123456789", start), start) << "milliseconds first";
        lines.erase(start, at + 5 - start);
        at = start;
    }
    return lines;
}

mode_t creation_mask()
{
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

std::string file_argument(const std::filesystem::path& path)
{
    return under_wine ? "Z:" + path.string() : path.string();
}

emulator::PtyLineHandle start_line(int com, const emulator::ControllerSetup& setup)
{
    std::string error;
    auto line = emulator::start_pty_line(com_port_path(com), setup, error);
    EXPECT_TRUE(line) << "the emulator did not start: " << error;
    return line;
}

emulator::PtyLineHandle start_visits(int com, const std::vector<emulator::ControllerSetup>& controllers,
                                     const std::vector<emulator::Visit>& visits)
{
    std::string error;
    auto line = emulator::start_pty_line(com_port_path(com), controllers, visits, error);
    EXPECT_TRUE(line) << "the emulator did not start: " << error;
    return line;
}

Scenario with(const std::string& keyboard, std::vector<emulator::Fault> faults)
{
    Scenario scenario{.keyboard = keyboard};
    scenario.controller.faults = std::move(faults);
    return scenario;
}

Outcome run_scenario(const Scenario& scenario, int exit_code)
{
    Outcome outcome;
    auto line = start_line(scenario.com, scenario.controller);
    if (!line) {
        return outcome;
    }
    outcome.program = run_configurator(configurator_run(scenario.keyboard));
    outcome.controller = emulator::snapshot(*line);
    EXPECT_FALSE(outcome.program.timed_out) << "the configurator hung";
    EXPECT_EQ(outcome.program.exit_code, exit_code) << outcome.program.errors;
    for (const auto& request : outcome.controller.requests) {
        EXPECT_EQ(request.line_problems, "")
            << "line settings when command " << hex(Bytes{request.command}) << " came";
    }
    return outcome;
}
