// zumel-bench: how fast the configurator talks to the controller, how exactly
// its time-outs end, what a session costs in CPU and memory; each figure side
// by side with the same exchanges made through pyserial. It prints figures
// and a verdict per goal, and asserts nothing.

#include <csignal>
#include <cstdlib>
#include <string>

#include "common.hpp"
#include "find.hpp"
#include "measurements.hpp"
#include "programs.hpp"
#include "report.hpp"
#include "serial_link.hpp"

namespace {

struct Options {
    int runs = 20;
    bool find_only = false;
    bool station_only = false;
    bool server_only = false;
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
        } else if (argument == "--station-only") {
            options.station_only = true;
        } else if (argument == "--server-only") {
            options.server_only = true;
        } else {
            bench::fail("usage: zumel-bench [--runs N] [--find-only | --station-only | --server-only]");
        }
    }
    return options;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace bench;
    const Options options = options_from(argc, argv);
    const int runs = options.runs;
    std::signal(SIGPIPE, SIG_IGN); // a program that ends before its keys are typed must not end this one
    print_introduction(runs, options.find_only);

    if (options.station_only) {
        progress("--station");
        print_station_report(measure_station(runs));
        return 0;
    }
    if (options.server_only) {
        progress("RFC 2217 through ser2net");
        print_server_report(measure_server(runs));
        return 0;
    }
    if (options.find_only) {
        progress("--find");
        const FindFigures find = measure_find(runs);
        print_find_report(find);
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
    const FindFigures find = measure_find(runs);
    progress("--station");
    const StationFigures station = measure_station(runs);
    progress("RFC 2217 through ser2net");
    const ServerFigures server = measure_server(runs);

    print_report(overhead, timeouts, sessions, timeout_runs, pty_write, find);
    std::printf("\n");
    print_station_report(station);
    std::printf("\n");
    print_server_report(server);
    return 0;
}
