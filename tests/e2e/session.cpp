#include "session.hpp"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
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

const std::string writes_header =
    "time_utc,port,type,firmware,outcome,before_address,before_baud,before_button_limit,"
    "before_bridge,before_led_init,before_led_write_enable,before_pwm_divider,"
    "before_pwm_init,after_address,after_baud,after_button_limit,after_bridge,"
    "after_led_init,after_led_write_enable,after_pwm_divider,after_pwm_init,before_file";

std::vector<std::string> log_rows(const std::filesystem::path& log, const std::string& first_line)
{
    std::istringstream text(contents(log / "writes.csv"));
    std::string line;
    std::getline(text, line);
    EXPECT_EQ(line, first_line);
    std::vector<std::string> found;
    std::smatch time;
    while (std::getline(text, line)) {
        EXPECT_TRUE(std::regex_search(line, time,
                                      std::regex("^(\\d{4})-(\\d\\d)-(\\d\\d)T(\\d\\d):(\\d\\d):(\\d\\d)Z,")))
            << line;
        std::string row = line.substr(line.find(',') + 1);
        const std::string before_file = row.substr(row.rfind(',') + 1);
        if (first_line == writes_header && !before_file.empty()) {
            const std::string stamp =
                time.str(1) + time.str(2) + time.str(3) + "-" + time.str(4) + time.str(5) + time.str(6) + "-";
            EXPECT_TRUE(before_file.starts_with(stamp)) << "one time for the row and its file: " << line;
            EXPECT_TRUE(std::filesystem::exists(log / before_file)) << line;
            row.replace(row.size() - before_file.size(), before_file.size(), "<before-file>");
        }
        found.push_back(row);
    }
    return found;
}

std::vector<std::filesystem::path> before_files(const std::filesystem::path& log)
{
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(log)) {
        const std::string name = entry.path().filename().string();
        if (name != "writes.csv" && name != "addresses.record" && name != "station.lock") {
            EXPECT_TRUE(std::regex_match(name, std::regex("\\d{8}-\\d{6}-[\\w.-]+?(-\\d+)?\\.before\\.conf")))
                << entry.path();
            found.push_back(entry.path());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}
