#include "measurements.hpp"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "device_servers.hpp"
#include "frames.hpp"
#include "kit.hpp"
#include "line.hpp"
#include "programs.hpp"
#include "pty_line.hpp"
#include "serial_link.hpp"

namespace bench {
namespace {

const std::string strip_tool = STRIP_EXE;

double thread_cpu_us()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

} // namespace

Overhead measure_overhead(int runs)
{
    const emulator::PtyLineHandle line = start_line({}, emulator::LineMode::instant);
    std::size_t taken = 0;
    Overhead figures;
    const auto gaps_of = [&line, &taken](const char* who, int sessions) {
        Values gaps = take_gaps(*line, taken);
        require(gaps.size() == 4 * static_cast<std::size_t>(sessions),
                std::string(who) + ": a session without its five exchanges");
        return gaps;
    };
    const std::string peer_sessions = std::to_string(sessions_per_run);
    // One of each first, not counted: it warms caches and yields the write frame.
    require(in_process_session(), "in-process session failed");
    require(whole_session(configurator_run(session_keys)), "zumel-config session failed on an instant line");
    const std::vector<std::uint8_t> write_frame = last_write_frame(*line);
    require(!write_frame.empty(), "zumel-config wrote no configuration");
    figures.write_frame = kit::hex(write_frame);
    figures.write_frame.erase(std::remove(figures.write_frame.begin(), figures.write_frame.end(), ' '),
                              figures.write_frame.end());
    require(run_peer({"session", figures.write_frame}).number("ok") == 1, "pyserial session failed");
    require(bare_session(write_frame), "bare session failed");
    take_gaps(*line, taken);
    // Each run's sessions one right after the other, so all meet the same
    // state of the machine; the bare client's gaps are that run's floor.
    const auto add = [](Values& all, Values& beyond, const Values& gaps, double floor) {
        append(all, gaps);
        beyond.push_back(median(gaps) - floor);
    };
    for (int i = 0; i < runs; ++i) {
        Values bare;
        Values in_process;
        for (int j = 0; j < sessions_per_run; ++j) {
            require(bare_session(write_frame), "bare session failed");
            append(bare, gaps_of("bare", 1));
            require(in_process_session(), "in-process session failed");
            append(in_process, gaps_of("in-process", 1));
        }
        append(figures.bare, bare);
        add(figures.in_process, figures.in_process_beyond, in_process, median(bare));
        require(whole_session(configurator_run(session_keys)), "zumel-config session failed");
        add(figures.configurator, figures.configurator_beyond, gaps_of("zumel-config", 1), median(bare));
        require(run_peer({"session", figures.write_frame, peer_sessions}).number("ok") == 1,
                "pyserial session failed");
        add(figures.peer, figures.peer_beyond, gaps_of("pyserial", sessions_per_run), median(bare));
    }
    return figures;
}

Timeouts measure_timeouts(int runs)
{
    emulator::ControllerSetup setup;
    setup.byte_time_us = emulator::byte_time_9600_8o1_us;
    setup.faults.push_back({.kind = emulator::FaultKind::short_reply, .always = true, .count = 22});
    const emulator::PtyLineHandle line = start_line(setup);
    Timeouts figures;
    for (int i = 0; i < runs; ++i) {
        SerialPort link = open_bench_port(1);
        require(is_open(link), "cannot open COM1");
        std::uint8_t reply[52];
        const double cpu_before = thread_cpu_us();
        const Clock::time_point start_12 = Clock::now();
        const std::size_t got_12 = port_read(link, std::span(reply, 12), reply_timeout_ms(12)).count;
        const Clock::time_point written_from = Clock::now();
        figures.ours_12_cpu_us.push_back(thread_cpu_us() - cpu_before);
        port_write(link, read_request, request_timeout_ms(read_request.size()));
        const Clock::time_point start_52 = Clock::now();
        const std::size_t got_52 = port_read(link, std::span(reply, 52), reply_timeout_ms(52)).count;
        const Clock::time_point end_52 = Clock::now();
        close_port(link);
        require(got_12 == 0 && got_52 == 30, "the line did not behave as set up");
        figures.ours_12.push_back(ms_between(start_12, written_from) - reply_timeout_ms(12));
        figures.ours_52.push_back(ms_between(start_52, end_52) - reply_timeout_ms(52));
        figures.port_write_us.push_back(ms_between(written_from, start_52) * 1000);

        const PeerRun peer = run_peer({"timeouts"});
        require(peer.number("got12") == 0 && peer.number("got52") == 30, "pyserial: the line did not behave");
        figures.peer_12.push_back(peer.number("silent12_ms") - reply_timeout_ms(12));
        figures.peer_52.push_back(peer.number("short52_ms") - reply_timeout_ms(52));
    }
    return figures;
}

Sessions measure_sessions(int runs, const std::string& write_frame)
{
    emulator::ControllerSetup setup;
    setup.byte_time_us = emulator::byte_time_9600_8o1_us;
    const emulator::PtyLineHandle line = start_line(setup);
    const double floor = emulated_floor_ms();
    const auto settings_held = [&line](std::size_t requests_before) {
        const emulator::Controller controller = emulator::snapshot(*line);
        bool held = controller.requests.size() == requests_before + 5;
        for (std::size_t i = requests_before; i < controller.requests.size(); ++i) {
            held = held && controller.requests[i].line_problems.empty();
        }
        return held;
    };
    require(whole_session(configurator_run(session_keys)), "zumel-config session failed at wire speed");
    require(run_peer({"session", write_frame}).number("ok") == 1, "pyserial session failed at wire speed");
    Sessions figures;
    for (int i = 0; i < runs; ++i) {
        std::size_t requests = emulator::snapshot(*line).requests.size();
        const Run ours = configurator_run(session_keys);
        require(whole_session(ours) && ours.first_output_ms > 0 && ours.peak_rss_kib > 0,
                "zumel-config session failed at wire speed");
        require(settings_held(requests), "zumel-config: requests missing or line settings wrong");
        figures.ours_start.push_back(ours.first_output_ms);
        figures.ours_total.push_back(ours.elapsed_ms);
        figures.ours_beyond.push_back(ours.elapsed_ms - ours.first_output_ms - floor);
        figures.ours_cpu.push_back(ours.cpu_ms);
        figures.ours_rss.push_back(static_cast<double>(ours.peak_rss_kib));

        requests = emulator::snapshot(*line).requests.size();
        const PeerRun peer = run_peer({"session", write_frame});
        require(peer.number("ok") == 1, "pyserial session failed at wire speed");
        require(settings_held(requests), "pyserial: requests missing or line settings wrong");
        const double ready = peer.ms_after_spawn("ready");
        figures.peer_start.push_back(ready);
        figures.peer_total.push_back(peer.process.elapsed_ms);
        figures.peer_beyond.push_back(peer.process.elapsed_ms - ready - floor);
        figures.peer_inside_beyond.push_back(peer.ms_after_spawn("end") - peer.ms_after_spawn("open") -
                                             floor);
        figures.peer_cpu.push_back(peer.process.cpu_ms);
        figures.peer_rss.push_back(peer.number("peak_rss_kib"));
    }
    return figures;
}

ServerFigures measure_server(int runs)
{
    ServerFigures figures;
    std::string write_frame; // as zumel-config's first session makes it, for the peer
    // Without the port choice: --port names the server.
    const std::string keys = session_keys.substr(session_keys.find('\n') + 1);
    for (const bool paced : {false, true}) {
        emulator::ControllerSetup setup;
        setup.byte_time_us = paced ? emulator::byte_time_9600_8o1_us : 0;
        const emulator::PtyLineHandle line =
            start_line(setup, paced ? emulator::LineMode::paced : emulator::LineMode::instant);
        std::string error;
        const kit::Ser2netHandle server =
            kit::start_ser2net(kit::own_directory() / (paced ? "ser2net-paced" : "ser2net-instant"),
                               emulator::slave_path(*line), kit::Ser2netMode::telnet_rfc2217, error);
        if (!server) {
            figures.failure = error;
            return figures;
        }
        const std::string url = "rfc2217://127.0.0.1:" + std::to_string(server->port);
        const auto ours = [&] {
            const Run run = spawn_and_wait({configurator, "--port", url}, keys, run_limit);
            require(whole_session(run) && run.first_output_ms > 0,
                    "zumel-config session over RFC 2217 failed: " + run.errors);
            return run;
        };
        const auto peer = [&] {
            const PeerRun run = run_peer_on(url, {"session", write_frame});
            require(run.number("ok") == 1, "pyserial session over RFC 2217 failed");
            return run;
        };
        std::size_t taken = 0;
        ours(); // one of each first, not counted
        if (write_frame.empty()) {
            write_frame = kit::hex(last_write_frame(*line));
            write_frame.erase(std::remove(write_frame.begin(), write_frame.end(), ' '), write_frame.end());
            require(!write_frame.empty(), "zumel-config wrote no configuration over RFC 2217");
        }
        peer();
        take_gaps(*line, taken);
        const double floor = emulated_floor_ms();
        for (int i = 0; i < runs; ++i) {
            const Run our_run = ours();
            const Values our_gaps = take_gaps(*line, taken);
            const PeerRun peer_run = peer();
            const Values peer_gaps = take_gaps(*line, taken);
            require(our_gaps.size() == 4 && peer_gaps.size() == 4,
                    "a session over RFC 2217 without its exchanges");
            for (const emulator::Request& request : emulator::snapshot(*line).requests) {
                require(request.line_problems.empty(), "ser2net's line was not set to 9600 8O1");
            }
            if (!paced) {
                append(figures.ours_gap, our_gaps);
                append(figures.peer_gap, peer_gaps);
                continue;
            }
            figures.ours_total.push_back(our_run.elapsed_ms);
            figures.ours_beyond.push_back(our_run.elapsed_ms - floor);
            figures.peer_total.push_back(peer_run.process.elapsed_ms);
            figures.peer_beyond.push_back(peer_run.process.elapsed_ms - floor);
            figures.peer_inside_beyond.push_back(peer_run.ms_after_spawn("end") -
                                                 peer_run.ms_after_spawn("open") - floor);
        }
    }
    return figures;
}

TimeoutRuns measure_timeout_runs(int runs)
{
    emulator::ControllerSetup setup;
    setup.faults.push_back({.kind = emulator::FaultKind::silent, .always = true});
    const emulator::PtyLineHandle line = start_line(setup);
    TimeoutRuns figures;
    for (int i = 0; i < runs; ++i) {
        const Run waited = configurator_run("1\n");
        require(waited.exit_code == 0 && contains(waited.output, "neodpovida"), "time-out run failed");
        const ProgramResult quick = configurator_run("0\n");
        require(quick.exit_code == 0 && contains(quick.output, "neplatna"), "quick run failed");
        figures.cpu.push_back(waited.cpu_ms);
        figures.quick_cpu.push_back(quick.cpu_ms);
        figures.cpu_of_timeout.push_back(waited.cpu_ms - quick.cpu_ms);
        figures.after_banner_beyond.push_back(waited.elapsed_ms - waited.first_output_ms -
                                              reply_timeout_ms(type_reply_length));
        figures.quick_elapsed.push_back(quick.elapsed_ms);
    }
    return figures;
}

PtyWrite measure_pty_write(int count)
{
    int master = -1;
    int slave = -1;
    require(openpty(&master, &slave, nullptr, nullptr, nullptr) == 0, "cannot create a pseudo-terminal");
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    std::atomic<int> received{0};
    std::thread far_end([master, count, &received] {
        std::uint8_t buffer[64];
        while (received < count * static_cast<int>(sizeof read_request)) {
            pollfd line{master, POLLIN, 0};
            if (poll(&line, 1, 1000) != 1) {
                return; // bytes lost: the writer's check below reports it
            }
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) {
                return;
            }
            received += static_cast<int>(n);
        }
    });
    PtyWrite figures;
    for (int i = 0; i < count; ++i) {
        const Clock::time_point start = Clock::now();
        const bool written = write(slave, read_request.data(), read_request.size()) ==
                             static_cast<ssize_t>(read_request.size());
        const Clock::time_point drain_from = Clock::now();
        tcdrain(slave);
        const Clock::time_point end = Clock::now();
        if (!written) {
            break;
        }
        figures.write_us.push_back(ms_between(start, drain_from) * 1000);
        figures.tcdrain_us.push_back(ms_between(drain_from, end) * 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // the far end goes back to waiting
    }
    far_end.join();
    close(master);
    close(slave);
    require(received == count * static_cast<int>(sizeof read_request), "the pseudo-terminal lost bytes");
    return figures;
}

std::uintmax_t stripped_size()
{
    const std::string stripped = configurator + ".stripped";
    const ProgramResult strip = spawn_and_wait({strip_tool, "-o", stripped, configurator}, "", run_limit);
    std::error_code code;
    const std::uintmax_t size = std::filesystem::file_size(stripped, code);
    return strip.exit_code == 0 && !code ? size : 0;
}

int find_runs(int runs)
{
    return std::max(3, runs / 4);
}

StationFigures measure_station(int runs)
{
    StationFigures figures = bench::measure_station(configurator, com_prefix, find_runs(runs));
    require(figures.failure.empty(), figures.failure);
    return figures;
}

FindFigures measure_find(int runs)
{
    FindFigures figures = bench::measure_find(configurator, com_prefix, find_runs(runs));
    require(figures.failure.empty(), figures.failure);
    return figures;
}

} // namespace bench
