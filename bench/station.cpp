#include "station.hpp"

#include <csignal>
#include <fstream>
#include <thread>

#include "common.hpp"
#include "device_servers.hpp"
#include "frames.hpp"
#include "process.hpp"
#include "pty_line.hpp"

namespace bench {

namespace {

constexpr const char* batch = "address = 7\nbaud = 3\nbutton_limit = 2\nbridge = 1\n"
                              "led_init = 2\nled_write_enable = 1\npwm_divider = 200\npwm_init = 1\n";

std::size_t reply_length(std::uint8_t command)
{
    return command == emulator::command_type       ? type_reply_length
           : command == emulator::command_firmware ? firmware_reply_length
           : command == emulator::command_write    ? write_ack_length
                                                   : read_reply_length;
}

} // namespace

StationFigures measure_station(const std::string& configurator, const std::filesystem::path& prefix, int runs)
{
    StationFigures figures;
    const std::filesystem::path folder = prefix.parent_path() / "station";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "batch.conf") << batch;
    // One controller at wire speed, written with the last address of a
    // one-address batch: the station ends with its line. On COM1, then
    // behind ser2net over RFC 2217 (its line at 19200 7E1 until set).
    const auto one_run = [&](int i, bool over_server, Values& after_answer, Values& wire) {
        emulator::ControllerSetup setup{.byte_time_us = emulator::byte_time_9600_8o1_us};
        std::string error;
        const std::filesystem::path server_folder = folder / ("ser2net" + std::to_string(i));
        const emulator::PtyLineHandle line = emulator::start_pty_line(
            over_server ? (server_folder / "ttyS0").string() : prefix.string() + "0", setup, error);
        if (line == nullptr) {
            figures.failure = "the emulator did not start: " + error;
            return false;
        }
        kit::Ser2netHandle server;
        if (over_server) {
            server = kit::start_ser2net(server_folder, emulator::slave_path(*line),
                                        kit::Ser2netMode::telnet_rfc2217, error);
            if (!server) {
                figures.failure = "ser2net did not start: " + error;
                return false;
            }
        }
        const std::string port = over_server ? "rfc2217://127.0.0.1:" + std::to_string(server->port) : "COM1";
        const std::filesystem::path log = folder / ((over_server ? "server-log" : "log") + std::to_string(i));
        const ProgramResult run =
            run_program({.command = {configurator, "--com-prefix", prefix.string(), "--station", "--write",
                                     (folder / "batch.conf").string(), "--log", log.string(), "--addresses",
                                     "9-9", "--port", port},
                         .time_limit = run_limit});
        const emulator::Controller seen = emulator::snapshot(*line);
        if (run.exit_code != 0 || seen.requests.size() != 6 || !contains(run.output, "address 9 written")) {
            figures.failure =
                "the station did not write the controller on " + port + ": " + run.output + run.errors;
            return false;
        }
        const Clock::time_point answered = emulator::started_at(*line) + seen.requests.front().answered;
        const Clock::time_point ended =
            run.started + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double, std::milli>(run.elapsed_ms));
        after_answer.push_back(ms_between(answered, ended));
        std::size_t bytes = reply_length(emulator::command_type); // the first answer's own
        for (std::size_t r = 1; r < seen.requests.size(); ++r) {
            bytes += seen.requests[r].frame.size() + reply_length(seen.requests[r].command);
        }
        wire.push_back(static_cast<double>(bytes) * emulator::byte_time_9600_8o1_us / 1000.0);
        return true;
    };
    for (int i = 0; i < runs; ++i) {
        if (!one_run(i, false, figures.line_after_answer_ms, figures.wire_ms) ||
            !one_run(i, true, figures.server_line_after_answer_ms, figures.server_wire_ms)) {
            return figures;
        }
    }

    // Idle ports: silent lines, watched for a while, then stopped as a
    // technician would.
    std::vector<emulator::PtyLineHandle> lines;
    std::vector<std::string> command = {configurator,    "--com-prefix",
                                        prefix.string(), "--station",
                                        "--write",       (folder / "batch.conf").string(),
                                        "--log",         (folder / "idle").string()};
    for (unsigned number = 1; number <= station_idle_ports; ++number) {
        emulator::ControllerSetup silent;
        silent.faults.push_back({.kind = emulator::FaultKind::silent, .always = true});
        std::string error;
        lines.push_back(
            emulator::start_pty_line(prefix.string() + std::to_string(number - 1), silent, error));
        command.insert(command.end(), {"--port", "COM" + std::to_string(number)});
    }
    RunningProgram station =
        start_program({.command = command, .close_input = false, .time_limit = run_limit * 2});
    std::this_thread::sleep_for(std::chrono::seconds(station_idle_seconds));
    kill(station.pid, SIGTERM);
    const ProgramResult idle = finish_program(station);
    if (idle.exit_code != 0) {
        figures.failure = "the idle station did not stop cleanly: " + idle.errors;
        return figures;
    }
    figures.idle_cpu_percent = 100.0 * idle.cpu_ms / idle.elapsed_ms;
    return figures;
}

} // namespace bench
