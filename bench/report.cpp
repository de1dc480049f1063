#include "report.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/utsname.h>
#include <thread>

#include "frames.hpp"
#include "line.hpp"
#include "programs.hpp"
#include "serial_link.hpp"

namespace bench {
namespace {

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

// "zumel-config 0.170 ms (0.160-0.190)": the median and, around it, the
// middle half of the figures.
std::string spread_text(const char* who, Values values)
{
    if (values.empty()) {
        return std::string(who) + " none";
    }
    std::sort(values.begin(), values.end());
    const double low = values[values.size() / 4];
    const double high =
        values[(values.size() * 3) / 4 == values.size() ? values.size() - 1 : (values.size() * 3) / 4];
    return format("%s %.3f ms (%.3f-%.3f)", who, median(values), low, high);
}

void find_rows(const FindFigures& figures)
{
    heading(format("--find: %u ports, %u silent, the controller on COM%u; %d runs", find_ports,
                   find_ports - 1, find_answering_port, static_cast<int>(figures.find_ms.size())));
    row("spawn to exit", "zumel-config", figures.find_ms, "ms");
    Values beyond;
    for (const double ms : figures.find_ms) {
        beyond.push_back(ms - reply_timeout_ms(type_reply_length));
    }
    // Start-up, the opens and the found controller's firmware exchange.
    row("spawn to exit, beyond one time-out", "zumel-config", beyond, "ms");
    row("one port after another, in-process", "serial link", figures.one_by_one_ms, "ms");
    single("ratio, one after another / --find", "medians",
           median(figures.one_by_one_ms) / median(figures.find_ms), "");
}

void find_goals(const FindFigures& figures)
{
    const double timeout = reply_timeout_ms(type_reply_length);
    const double find = median(figures.find_ms);
    const double ratio = median(figures.one_by_one_ms) / find;
    goal(format("--find over %u ports, %u silent", find_ports, find_ports - 1),
         format("%.1f ms median (max %.1f)", find, stats(figures.find_ms).max),
         format("within 1.2 x one time-out (%.0f ms)", timeout), find <= 1.2 * timeout);
    goal("against one port after another", format("%.2f times faster (medians)", ratio),
         "at least 5 times faster", ratio >= 5);
}

void column_titles()
{
    std::printf("\n  %-40s %-13s %9s %9s %9s\n", "figure", "who", "min", "median", "max");
}

} // namespace

void print_introduction(int runs, bool find_only)
{
    utsname system{};
    uname(&system);
    std::printf("zumel-config benchmarks (%s build)\n", BUILD_TYPE);
    std::printf("machine: %s, %u cores, %s %s %s\n", cpu_model().c_str(), std::thread::hardware_concurrency(),
                system.sysname, system.release, system.machine);
    if (find_only) {
        std::printf("--find only, %d runs\n", find_runs(runs));
    } else {
        std::printf("%d runs of each (--find %d), ours and pyserial's side by side; ours in-process is the "
                    "protocol code linked with the serial link, zumel-config is the program\n",
                    runs, find_runs(runs));
    }
    std::fflush(stdout);
}

void print_find_report(const FindFigures& find)
{
    column_titles();
    find_rows(find);
    std::printf("\n");
    find_goals(find);
}

void print_station_report(const StationFigures& station)
{
    column_titles();
    heading(format("--station: one controller at 9600 Bd written with the last address; %d runs",
                   static_cast<int>(station.wire_ms.size())));
    row("first answer to its line on screen", "zumel-config", station.line_after_answer_ms, "ms");
    row("that session's bytes on the wire", "9600 Bd 8O1", station.wire_ms, "ms");
    Values beyond;
    for (std::size_t i = 0; i < station.wire_ms.size(); ++i) {
        beyond.push_back(station.line_after_answer_ms[i] - station.wire_ms[i]);
    }
    row("beyond the wire time", "zumel-config", beyond, "ms");
    Values server_beyond;
    for (std::size_t i = 0; i < station.server_wire_ms.size(); ++i) {
        server_beyond.push_back(station.server_line_after_answer_ms[i] - station.server_wire_ms[i]);
    }
    row("the same behind ser2net (rfc2217)", "zumel-config", station.server_line_after_answer_ms, "ms");
    row("beyond the wire time, ser2net", "zumel-config", server_beyond, "ms");
    single(format("CPU watching %u idle ports for %d s", station_idle_ports, station_idle_seconds),
           "zumel-config", station.idle_cpu_percent, "%");
    std::printf("\n");
    const Stats late = stats(beyond);
    goal("a controller's line after its first answer",
         format("%.1f ms beyond its wire time (max %.1f)", late.median, late.max),
         "<= one poll interval, 500 ms", late.max <= 500);
    goal(format("CPU watching %u idle ports", station_idle_ports),
         format("%.3f %% of one core", station.idle_cpu_percent), "well under 1 %",
         station.idle_cpu_percent < 0.5);
}

void print_server_report(const ServerFigures& server)
{
    heading("device server: RFC 2217 through ser2net on loopback, its line at 19200 7E1 until set");
    if (!server.failure.empty()) {
        std::printf("  not measured: %s\n", server.failure.c_str());
        return;
    }
    std::printf("  (pyserial's rfc2217:// client with ?ign_set_control: ser2net never acknowledges\n"
                "   SET-CONTROL, for which pyserial would wait and fail; ser2net's chardelay, its wait\n"
                "   for more bytes of a reply, is most of each gap, for both)\n");
    row("gap, instant line behind the server", "zumel-config", server.ours_gap, "ms");
    row("gap, instant line behind the server", "pyserial", server.peer_gap, "ms");
    row("spawn to exit, at wire speed", "zumel-config", server.ours_total, "ms");
    row("spawn to exit, at wire speed", "pyserial", server.peer_total, "ms");
    // Spawn to exit: zumel-config's banner goes out before it connects.
    row("spawn to exit, beyond the floor", "zumel-config", server.ours_beyond, "ms");
    row("spawn to exit, beyond the floor", "pyserial", server.peer_beyond, "ms");
    row("port open to closed, beyond the floor", "pyserial", server.peer_inside_beyond, "ms");
    goal("exchange gap over RFC 2217 against pyserial",
         spread_text("zumel-config", server.ours_gap) + ", " + spread_text("pyserial", server.peer_gap),
         "not above pyserial's (medians)", median(server.ours_gap) <= median(server.peer_gap));
    goal("whole session over RFC 2217 against pyserial",
         format("%.1f ms spawn to exit against %.1f ms (medians)", median(server.ours_total),
                median(server.peer_total)),
         "not above pyserial's", median(server.ours_total) <= median(server.peer_total));
}

void print_report(const Overhead& overhead, const Timeouts& timeouts, const Sessions& sessions,
                  const TimeoutRuns& timeout_runs, const PtyWrite& pty_write, const FindFigures& find)
{
    column_titles();
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
    // The gaps themselves with their spread: what each is beyond the bare
    // client's is a few microseconds, within the noise, and a ratio of it
    // swings from one run to the next. The in-process code, like the peer,
    // does nothing but the exchanges; zumel-config also writes its screens.
    goal("exchange gap against pyserial",
         spread_text("in-process", overhead.in_process) + ", " +
             spread_text("zumel-config", overhead.configurator) + ", " +
             spread_text("pyserial", overhead.peer),
         "in-process not above pyserial (medians)", median(overhead.in_process) <= median(overhead.peer));
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
}

} // namespace bench
