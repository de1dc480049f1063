#include "find.hpp"

#include <array>
#include <cstdint>

#include "common.hpp"
#include "frames.hpp"
#include "line.hpp"
#include "process.hpp"
#include "pty_line.hpp"
#include "serial_link.hpp"

namespace bench {
namespace {

// What a script does without --find: ask each port in turn and wait out its
// time-out before the next.
bool one_by_one(const ComNaming& naming, double& elapsed_ms)
{
    bool as_set_up = true;
    const Clock::time_point start = Clock::now();
    for (unsigned number = 1; number <= find_ports; ++number) {
        SerialPort link = open_port(ComPort{number}, naming, controller_line);
        std::array<std::uint8_t, type_reply_length> reply{};
        std::size_t received = 0;
        if (is_open(link)) {
            port_discard_input(link);
            port_write(link, type_request, request_timeout_ms(type_request.size()));
            received = port_read(link, reply, reply_timeout_ms(reply.size())).count;
        }
        as_set_up =
            as_set_up && is_open(link) && received == (number == find_answering_port ? reply.size() : 0);
        close_port(link);
    }
    elapsed_ms = ms_between(start, Clock::now());
    return as_set_up;
}

} // namespace

FindFigures measure_find(const std::string& configurator, const std::filesystem::path& prefix, int runs)
{
    FindFigures figures;
    // Paced like the real line, so the answering port's two replies take
    // their byte times.
    emulator::ControllerSetup answering;
    answering.byte_time_us = emulator::byte_time_9600_8o1_us;
    emulator::ControllerSetup silent = answering;
    silent.faults.push_back({.kind = emulator::FaultKind::silent, .always = true});
    std::vector<emulator::PtyLineHandle> lines;
    for (unsigned number = 1; number <= find_ports; ++number) {
        std::string error;
        lines.push_back(emulator::start_pty_line(prefix.string() + std::to_string(number - 1),
                                                 number == find_answering_port ? answering : silent, error));
        if (lines.back() == nullptr) {
            figures.failure = "the emulator did not start: " + error;
            return figures;
        }
    }
    const std::string answering_name = com_name({find_answering_port});
    const ProgramRun find{.command = {configurator, "--com-prefix", prefix.string(), "--find"},
                          .time_limit = run_limit};
    const auto found = [&answering_name](const ProgramResult& run) {
        return run.exit_code == 0 && contains(run.output, "A controller is on " + answering_name);
    };
    // Every port must have been asked once more, the answering one also for
    // its firmware.
    std::vector<std::size_t> asked(find_ports, 0);
    const auto each_asked = [&lines, &asked](bool firmware_too) {
        bool all = true;
        for (unsigned number = 1; number <= find_ports; ++number) {
            const std::size_t now = emulator::snapshot(*lines[number - 1]).requests.size();
            const bool twice = firmware_too && number == find_answering_port;
            all = all && now == asked[number - 1] + (twice ? 2 : 1);
            asked[number - 1] = now;
        }
        return all;
    };
    // Not counted: brings the program and the ports' paths into the caches.
    if (!found(run_program(find)) || !each_asked(true)) {
        figures.failure = "zumel-config --find did not find the controller on " + answering_name;
        return figures;
    }
    for (int i = 0; i < runs; ++i) {
        const ProgramResult run = run_program(find);
        if (!found(run) || !each_asked(true)) {
            figures.failure = "zumel-config --find did not find the controller on " + answering_name +
                              " or missed a port: " + run.output + run.errors;
            return figures;
        }
        figures.find_ms.push_back(run.elapsed_ms);
        double elapsed_ms = 0;
        if (!one_by_one({prefix.string()}, elapsed_ms) || !each_asked(false)) {
            figures.failure = "the probe port after port did not go as set up";
            return figures;
        }
        figures.one_by_one_ms.push_back(elapsed_ms);
    }
    return figures;
}

} // namespace bench
