// zumel-bench: how fast the configurator talks to the controller, how exactly
// its time-outs end, what a session costs in CPU and memory; each figure side
// by side with the same exchanges made through pyserial. It prints figures
// and a verdict per goal, and asserts nothing.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "find.hpp"
#include "kit.hpp"
#include "process.hpp"
#include "pty_line.hpp"
#include "requests.hpp"
#include "serial_link.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Values = std::vector<double>;

const std::string configurator = CONFIGURATOR_EXE;
const std::string python = PYTHON_EXE;
const std::string peer_script = PEER_SCRIPT;
const std::string strip_tool = STRIP_EXE;
// COM ports of this run's own; the program is told with --com-prefix.
const std::filesystem::path com_prefix = kit::own_directory() / "ttyS";
const std::filesystem::path com1 = com_prefix.string() + "0";
constexpr std::chrono::milliseconds run_limit{20'000};

// Identify, firmware, read, write with eight answers, read, end.
const std::string session_keys = "1\n1\n2\n10\n2\n1\n0\n1\n0\n128\n0\n1\n3\n";

// Request and reply lengths of that session's exchanges.
constexpr std::pair<int, int> session_exchanges[] = {{4, 12}, {4, 8}, {5, 52}, {52, 4}, {5, 52}};
constexpr double byte_ms = emulator::byte_time_9600_8o1_us / 1000.0;

// A real line: every byte of every frame takes a byte time.
double wire_ms()
{
    int bytes = 0;
    for (const auto& [request, reply] : session_exchanges) {
        bytes += request + reply;
    }
    return bytes * byte_ms;
}

// The emulator takes a request as come when its last byte starts and sends a
// reply's first byte at once, so no session on it can be shorter than this.
double emulated_floor_ms()
{
    int gaps = 0;
    for (const auto& [request, reply] : session_exchanges) {
        gaps += request - 1 + reply - 1;
    }
    return gaps * byte_ms;
}

[[noreturn]] void fail(const std::string& why)
{
    std::fflush(stdout);
    std::fprintf(stderr, "zumel-bench: %s\n", why.c_str());
    std::exit(1);
}

void require(bool condition, const std::string& why)
{
    if (!condition) {
        fail(why);
    }
}

void progress(const char* what)
{
    std::fprintf(stderr, "zumel-bench: %s\n", what);
}

double ms_between(Clock::time_point start, Clock::time_point end)
{
    return std::chrono::duration<double, std::milli>(end - start).count();
}

void append(Values& to, const Values& from)
{
    to.insert(to.end(), from.begin(), from.end());
}

struct Stats {
    double min = 0;
    double median = 0;
    double max = 0;
};

Stats stats(Values values)
{
    if (values.empty()) {
        return {};
    }
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {values.front(), median, values.back()};
}

double median(const Values& values)
{
    return stats(values).median;
}

// ---- the programs under test ----

// A run, with when its output first came and its peak resident memory
// (VmHWM) as last seen while output came: ru_maxrss would count the memory
// of this process, from which it was forked.
struct Run : ProgramResult {
    double first_output_ms = -1;
    long peak_rss_kib = 0;
};

long peak_rss_kib(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:")) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

// Keys typed at once, then the end of input; no console.
Run spawn_and_wait(const std::vector<std::string>& command, const std::string& keys,
                   std::chrono::milliseconds limit)
{
    Run measured;
    std::optional<Clock::time_point> first_output;
    ProgramRun run{.command = command, .input = keys, .time_limit = limit};
    run.on_output = [&](int pid) {
        first_output = first_output.value_or(Clock::now());
        measured.peak_rss_kib = std::max(measured.peak_rss_kib, peak_rss_kib(pid));
    };
    static_cast<ProgramResult&>(measured) = run_program(run);
    if (first_output) {
        measured.first_output_ms = ms_between(measured.started, *first_output);
    }
    return measured;
}

Run configurator_run(const std::string& keys)
{
    return spawn_and_wait({configurator, "--com-prefix", com_prefix.string()}, keys, run_limit);
}

bool contains(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

bool whole_session(const ProgramResult& run)
{
    return run.exit_code == 0 && contains(run.output, "ZML-4C08") && !contains(run.output, "neodpovida");
}

struct PeerRun {
    Run process;
    std::map<std::string, std::string> values;

    double number(const std::string& key) const
    {
        const auto found = values.find(key);
        require(found != values.end(), "the peer did not report " + key);
        return std::stod(found->second);
    }
    // A monotonic time it reported, as ms after it was spawned.
    double ms_after_spawn(const std::string& key) const
    {
        const auto found = values.find(key);
        require(found != values.end(), "the peer did not report " + key);
        const auto spawned =
            std::chrono::duration_cast<std::chrono::nanoseconds>(process.started.time_since_epoch());
        return static_cast<double>(std::stoll(found->second) - spawned.count()) / 1e6;
    }
};

PeerRun run_peer(const std::vector<std::string>& arguments)
{
    std::vector<std::string> command{python, peer_script, com1.string()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    PeerRun run{spawn_and_wait(command, "", run_limit), {}};
    const std::size_t line = run.process.output.find("peer ");
    require(run.process.exit_code == 0 && line != std::string::npos, "the pyserial peer failed");
    std::istringstream words(run.process.output.substr(line + 5));
    for (std::string word; words >> word;) {
        const std::size_t equals = word.find('=');
        if (equals != std::string::npos) {
            run.values[word.substr(0, equals)] = word.substr(equals + 1);
        }
    }
    return run;
}

bool in_process_session()
{
    SerialPort link = open_port(ComPort{1});
    if (!is_open(link)) {
        return false;
    }
    ControllerType type;
    FirmwareVersion version;
    ConfigurationBytes configuration{};
    const bool ok = answered(identify_controller(link, type)) &&
                    answered(query_firmware_version(link, version)) &&
                    answered(fetch_configuration(link, configuration)) &&
                    answered(store_configuration(link, configuration)) &&
                    answered(fetch_configuration(link, configuration));
    close_port(link);
    return ok;
}

// The least any client does: plain write, poll and read on the line, no
// time-out bookkeeping. Its gaps are the pseudo-terminal's own round trip.
bool bare_session(const std::vector<std::uint8_t>& write_frame)
{
    using Bytes = std::vector<std::uint8_t>;
    const std::pair<Bytes, std::size_t> exchanges[] = {
        {{0xFF, 0x28, 0x59, 0x80}, type_reply_length},
        {{0xFF, 0x26, 0x5B, 0x80}, firmware_reply_length},
        {{std::begin(read_request), std::end(read_request)}, read_reply_length},
        {write_frame, write_ack_length},
        {{std::begin(read_request), std::end(read_request)}, read_reply_length}};
    const int fd = open(com1.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    bool ok = fd >= 0;
    for (const auto& [request, reply_length] : exchanges) {
        ok = ok && write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size());
        std::uint8_t reply[64];
        std::size_t got = 0;
        while (ok && got < reply_length) {
            pollfd line{fd, POLLIN, 0};
            const ssize_t n = poll(&line, 1, 2000) == 1 ? read(fd, reply + got, reply_length - got) : -1;
            ok = n > 0;
            got += ok ? static_cast<std::size_t>(n) : 0;
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    return ok;
}

emulator::PtyLineHandle start_line(const emulator::ControllerSetup& setup,
                                   emulator::LineMode mode = emulator::LineMode::paced)
{
    std::string error;
    emulator::PtyLineHandle line = emulator::start_pty_line(com1, setup, error, {}, mode);
    require(line != nullptr, "the emulator did not start: " + error);
    return line;
}

// Reply out to next request in, in ms, for the requests since the last call;
// no gap spans two sessions, each of which begins with the type request.
Values take_gaps(const emulator::PtyLine& line, std::size_t& taken)
{
    const emulator::Controller controller = emulator::snapshot(line);
    Values gaps;
    for (std::size_t i = std::max<std::size_t>(taken, 1); i < controller.requests.size(); ++i) {
        const emulator::Request& request = controller.requests[i];
        if (request.command != emulator::command_type) {
            gaps.push_back(
                static_cast<double>((request.arrived - controller.requests[i - 1].answered).count()) /
                1000.0);
        }
    }
    taken = controller.requests.size();
    return gaps;
}

std::vector<std::uint8_t> last_write_frame(const emulator::PtyLine& line)
{
    const emulator::Controller controller = emulator::snapshot(line);
    for (auto request = controller.requests.rbegin(); request != controller.requests.rend(); ++request) {
        if (request->command == emulator::command_write) {
            return request->frame;
        }
    }
    return {};
}

// ---- measurements ----

struct Overhead {
    Values bare, in_process, configurator, peer; // every gap
    // Per run: the median gap less that of the bare client's session.
    Values in_process_beyond, configurator_beyond, peer_beyond;
    std::string write_frame; // as the session keys make it, for the peer
};

// Reply out to next request in, on an instant line; four gaps a session. The
// gaps are a few tens of microseconds, mostly the pseudo-terminal's own round trip, so
// the quick clients make several sessions a run; zumel-config one a process.
constexpr int sessions_per_run = 10;

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

struct Timeouts {
    Values ours_12, ours_52, peer_12, peer_52, port_write_us, ours_12_cpu_us;
};

double thread_cpu_us()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// Past n + 1000 ms: 12 bytes asked of a silent line, and 52 of which 30 come.
Timeouts measure_timeouts(int runs)
{
    emulator::ControllerSetup setup;
    setup.byte_time_us = emulator::byte_time_9600_8o1_us;
    setup.faults.push_back({.kind = emulator::FaultKind::short_reply, .always = true, .count = 22});
    const emulator::PtyLineHandle line = start_line(setup);
    Timeouts figures;
    for (int i = 0; i < runs; ++i) {
        SerialPort link = open_port(ComPort{1});
        require(is_open(link), "cannot open COM1");
        std::uint8_t reply[52];
        const double cpu_before = thread_cpu_us();
        const Clock::time_point start_12 = Clock::now();
        const std::size_t got_12 = port_read(link, reply, 12);
        const Clock::time_point written_from = Clock::now();
        figures.ours_12_cpu_us.push_back(thread_cpu_us() - cpu_before);
        port_write(link, read_request.data(), read_request.size());
        const Clock::time_point start_52 = Clock::now();
        const std::size_t got_52 = port_read(link, reply, 52);
        const Clock::time_point end_52 = Clock::now();
        close_port(link);
        require(got_12 == 0 && got_52 == 30, "the line did not behave as set up");
        figures.ours_12.push_back(ms_between(start_12, written_from) - read_timeout_ms(12));
        figures.ours_52.push_back(ms_between(start_52, end_52) - read_timeout_ms(52));
        figures.port_write_us.push_back(ms_between(written_from, start_52) * 1000);

        const PeerRun peer = run_peer({"timeouts"});
        require(peer.number("got12") == 0 && peer.number("got52") == 30, "pyserial: the line did not behave");
        figures.peer_12.push_back(peer.number("silent12_ms") - read_timeout_ms(12));
        figures.peer_52.push_back(peer.number("short52_ms") - read_timeout_ms(52));
    }
    return figures;
}

struct Sessions {
    Values ours_start, ours_total, ours_beyond, peer_start, peer_total, peer_beyond, peer_inside_beyond;
    Values ours_cpu, peer_cpu, ours_rss, peer_rss;
};

// Whole sessions on a line paced like the real one.
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

struct TimeoutRuns {
    Values cpu, quick_cpu, cpu_of_timeout, after_banner_beyond, quick_elapsed;
};

// "1": the controller stays silent, one time-out, the end. "0": an invalid
// port, the end at once; its cost is taken off.
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
                                              read_timeout_ms(type_reply_length));
        figures.quick_elapsed.push_back(quick.elapsed_ms);
    }
    return figures;
}

struct PtyWrite {
    Values write_us, tcdrain_us;
};

// What port_write's two calls cost on a pseudo-terminal whose far end waits
// in poll, as the emulator's does: a pair of its own, a request at a time.
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

// ---- the table ----

void heading(const std::string& text)
{
    std::printf("\n%s\n", text.c_str());
}

void row(const std::string& what, const char* who, const Values& values, const char* unit)
{
    const Stats s = stats(values);
    std::printf("  %-40s %-13s %9.3f %9.3f %9.3f  %s\n", what.c_str(), who, s.min, s.median, s.max, unit);
}

void single(const std::string& what, const char* who, double value, const char* unit)
{
    std::printf("  %-40s %-13s %9s %9.3f %9s  %s\n", what.c_str(), who, "", value, "", unit);
}

void goal(const std::string& name, const std::string& figure, const std::string& target, bool met)
{
    std::printf("goal: %s: %s vs %s: %s\n", name.c_str(), figure.c_str(), target.c_str(),
                met ? "met" : "NOT met");
}

template <typename... Numbers> std::string format(const char* pattern, Numbers... numbers)
{
    char text[160];
    std::snprintf(text, sizeof text, pattern, numbers...);
    return text;
}

std::string cpu_model()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.starts_with("model name")) {
            return line.substr(line.find(':') + 2);
        }
    }
    return "unknown";
}

struct Options {
    int runs = 20;
    bool find_only = false;
};

Options options_from(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--runs" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
            options.runs = std::atoi(argv[++i]);
        } else if (argument == "--find-only") {
            options.find_only = true;
        } else {
            fail("usage: zumel-bench [--runs N] [--find-only]");
        }
    }
    return options;
}

// Each port-after-port run waits out seven time-outs, so fewer of them.
int find_runs(int runs)
{
    return std::max(3, runs / 4);
}

bench::FindFigures measure_find(int runs)
{
    bench::FindFigures figures = bench::measure_find(configurator, com_prefix, find_runs(runs));
    require(figures.failure.empty(), figures.failure);
    return figures;
}

void find_rows(const bench::FindFigures& figures)
{
    heading(format("--find: %u ports, %u silent, the controller on COM%u; %d runs", bench::find_ports,
                   bench::find_ports - 1, bench::find_answering_port,
                   static_cast<int>(figures.find_ms.size())));
    row("spawn to exit", "zumel-config", figures.find_ms, "ms");
    Values beyond;
    for (const double ms : figures.find_ms) {
        beyond.push_back(ms - read_timeout_ms(type_reply_length));
    }
    // Start-up, the opens and the found controller's firmware exchange.
    row("spawn to exit, beyond one time-out", "zumel-config", beyond, "ms");
    row("one port after another, in-process", "serial link", figures.one_by_one_ms, "ms");
    single("ratio, one after another / --find", "medians",
           median(figures.one_by_one_ms) / median(figures.find_ms), "");
}

void find_goals(const bench::FindFigures& figures)
{
    const double timeout = read_timeout_ms(type_reply_length);
    const double find = median(figures.find_ms);
    const double ratio = median(figures.one_by_one_ms) / find;
    goal(format("--find over %u ports, %u silent", bench::find_ports, bench::find_ports - 1),
         format("%.1f ms median (max %.1f)", find, stats(figures.find_ms).max),
         format("within 1.2 x one time-out (%.0f ms)", timeout), find <= 1.2 * timeout);
    goal("against one port after another", format("%.2f times faster (medians)", ratio),
         "at least 5 times faster", ratio >= 5);
}

} // namespace

int main(int argc, char** argv)
{
    const Options options = options_from(argc, argv);
    const int runs = options.runs;
    set_com_device_prefix(com_prefix.string()); // for the in-process sessions
    std::signal(SIGPIPE, SIG_IGN); // a program that ends before its keys are typed must not end this one
    utsname system{};
    uname(&system);
    std::printf("zumel-config benchmarks (%s build)\n", BUILD_TYPE);
    std::printf("machine: %s, %u cores, %s %s %s\n", cpu_model().c_str(), std::thread::hardware_concurrency(),
                system.sysname, system.release, system.machine);
    if (options.find_only) {
        std::printf("--find only, %d runs\n", find_runs(runs));
    } else {
        std::printf("%d runs of each (--find %d), ours and pyserial's side by side; ours in-process is the "
                    "protocol code linked with the serial link, zumel-config is the program\n",
                    runs, find_runs(runs));
    }
    std::fflush(stdout);

    if (options.find_only) {
        progress("--find");
        const bench::FindFigures find = measure_find(runs);
        std::printf("\n  %-40s %-13s %9s %9s %9s\n", "figure", "who", "min", "median", "max");
        find_rows(find);
        std::printf("\n");
        find_goals(find);
        return 0;
    }
    progress("exchange overhead, instant line");
    const Overhead overhead = measure_overhead(runs);
    progress("time-outs");
    const Timeouts timeouts = measure_timeouts(runs);
    progress("whole sessions at wire speed");
    const Sessions sessions = measure_sessions(runs, overhead.write_frame);
    progress("time-out runs of zumel-config");
    const TimeoutRuns timeout_runs = measure_timeout_runs(runs);
    const PtyWrite pty_write = measure_pty_write(200);
    progress("--find");
    const bench::FindFigures find = measure_find(runs);

    std::printf("\n  %-40s %-13s %9s %9s %9s\n", "figure", "who", "min", "median", "max");
    heading(
        format("exchange overhead, instant line: reply out to next request in; 4 gaps a session, %d sessions "
               "a run (zumel-config 1)",
               sessions_per_run));
    row("gap", "bare syscalls", overhead.bare, "ms");
    row("gap", "in-process", overhead.in_process, "ms");
    row("gap", "zumel-config", overhead.configurator, "ms");
    row("gap", "pyserial", overhead.peer, "ms");
    single("gap ratio, in-process / pyserial", "medians", median(overhead.in_process) / median(overhead.peer),
           "");
    single("gap ratio, zumel-config / pyserial", "medians",
           median(overhead.configurator) / median(overhead.peer), "");
    row("gap beyond the bare client's, per run", "in-process", overhead.in_process_beyond, "ms");
    row("gap beyond the bare client's, per run", "zumel-config", overhead.configurator_beyond, "ms");
    row("gap beyond the bare client's, per run", "pyserial", overhead.peer_beyond, "ms");
    const double ours_gap = std::max(median(overhead.in_process), median(overhead.configurator));
    // Like for like: the peer, as the in-process code, does nothing but the
    // exchanges (zumel-config also prints screens and reads keys between
    // them); and beyond the pty's own round trip, which both share and which
    // on an idle virtual machine is most of the gap.
    const double ours_beyond = median(overhead.in_process_beyond);
    const double peer_beyond = median(overhead.peer_beyond);
    const double ratio = ours_beyond / peer_beyond;
    row("port_write, 5 bytes, after a 1 s wait", "in-process", timeouts.port_write_us, "us");
    row("its parts on a pty: write() of 5 bytes", "bare", pty_write.write_us, "us");
    row("its parts on a pty: tcdrain() after it", "bare", pty_write.tcdrain_us, "us");

    heading("time-out accuracy: read returns minus (n + 1000) ms");
    row("12 bytes, silent line", "in-process", timeouts.ours_12, "ms");
    row("12 bytes, silent line", "pyserial", timeouts.peer_12, "ms");
    row("52 bytes, 30 come", "in-process", timeouts.ours_52, "ms");
    row("52 bytes, 30 come", "pyserial", timeouts.peer_52, "ms");
    row("zumel-config, 12 bytes: exit minus 1012", "after banner", timeout_runs.after_banner_beyond, "ms");

    heading(format("whole session at wire speed: 198 bytes, %.1f ms on a real line; the emulator's floor "
                   "%.1f ms",
                   wire_ms(), emulated_floor_ms()));
    std::printf(
        "  (the emulator answers once a request's last byte starts and sends at once: two byte times\n"
        "   an exchange less than a real line)\n");
    row("start-up: spawn to banner", "zumel-config", sessions.ours_start, "ms");
    row("start-up: spawn to pyserial loaded", "pyserial", sessions.peer_start, "ms");
    row("spawn to exit", "zumel-config", sessions.ours_total, "ms");
    row("spawn to exit", "pyserial", sessions.peer_total, "ms");
    row("banner to exit, beyond the floor", "zumel-config", sessions.ours_beyond, "ms");
    row("loaded to exit, beyond the floor", "pyserial", sessions.peer_beyond, "ms");
    row("port open to closed, beyond the floor", "pyserial", sessions.peer_inside_beyond, "ms");

    heading("CPU time and memory");
    row("CPU of a 12-byte read that times out", "in-process", timeouts.ours_12_cpu_us, "us");
    row("CPU, whole session", "zumel-config", sessions.ours_cpu, "ms");
    row("CPU, whole session", "pyserial", sessions.peer_cpu, "ms");
    row("CPU, run with one 1 s time-out", "zumel-config", timeout_runs.cpu, "ms");
    row("CPU, run that ends at once", "zumel-config", timeout_runs.quick_cpu, "ms");
    row("CPU of the time-out itself (difference)", "zumel-config", timeout_runs.cpu_of_timeout, "ms");
    row("elapsed, run that ends at once", "zumel-config", timeout_runs.quick_elapsed, "ms");
    row("peak RSS (VmHWM), whole session", "zumel-config", sessions.ours_rss, "KiB");
    row("peak RSS (VmHWM), whole session", "pyserial", sessions.peer_rss, "KiB");
    std::error_code code;
    single("binary size, as built", "zumel-config",
           static_cast<double>(std::filesystem::file_size(configurator, code)) / 1024, "KiB");
    single("binary size, stripped", "zumel-config", static_cast<double>(stripped_size()) / 1024, "KiB");

    find_rows(find);

    std::printf("\n");
    goal("exchange overhead", format("%.3f ms median (worse of in-process and zumel-config)", ours_gap),
         "< 0.2 ms", ours_gap < 0.2);
    goal("exchange overhead against pyserial",
         format("%.2f (beyond the bare client's gap: in-process %.4f ms, pyserial %.4f ms)", ratio,
                ours_beyond, peer_beyond),
         "<= 1/5", peer_beyond > 0 && ratio <= 0.2);
    Values ours_excess = timeouts.ours_12;
    append(ours_excess, timeouts.ours_52);
    const Stats excess = stats(ours_excess);
    goal("time-out accuracy", format("%+.3f to %+.3f ms (all reads)", excess.min, excess.max), "0 to +5 ms",
         excess.min >= 0 && excess.max <= 5);
    const Stats beyond = stats(sessions.ours_beyond);
    goal("whole session at wire speed",
         format("%.3f ms beyond the floor, median (max %.3f)", beyond.median, beyond.max), "<= 5 ms",
         beyond.median <= 5);
    const double timeout_cpu = median(timeout_runs.cpu_of_timeout);
    goal("CPU of a 1 s time-out", format("%.3f ms median", timeout_cpu), "< 1 ms", timeout_cpu < 1);
    find_goals(find);
    return 0;
}
