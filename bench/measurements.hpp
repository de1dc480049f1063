#pragma once

// The measurements: each sets up the emulator as it needs, runs the programs
// under test on it and returns the raw figures.

#include <cstdint>
#include <string>

#include "common.hpp"
#include "find.hpp"
#include "station.hpp"

namespace bench {

struct Overhead {
    Values bare, in_process, configurator, peer; // every gap
    // Per run: the median gap less that of the bare client's session.
    Values in_process_beyond, configurator_beyond, peer_beyond;
    std::string write_frame; // as the session keys make it, for the peer
};

// Reply out to next request in, on an instant line; four gaps a session. The
// gaps are a few tens of microseconds, mostly the pseudo-terminal's own round trip, so
// the quick clients make several sessions a run; zumel-config one a process.
inline constexpr int sessions_per_run = 10;

Overhead measure_overhead(int runs);

struct Timeouts {
    Values ours_12, ours_52, peer_12, peer_52, port_write_us, ours_12_cpu_us;
};

// Past n + 1000 ms: 12 bytes asked of a silent line, and 52 of which 30 come.
Timeouts measure_timeouts(int runs);

struct Sessions {
    Values ours_start, ours_total, ours_beyond, peer_start, peer_total, peer_beyond, peer_inside_beyond;
    Values ours_cpu, peer_cpu, ours_rss, peer_rss;
};

// Whole sessions on a line paced like the real one.
Sessions measure_sessions(int runs, const std::string& write_frame);

struct TimeoutRuns {
    Values cpu, quick_cpu, cpu_of_timeout, after_banner_beyond, quick_elapsed;
};

// "1": the controller stays silent, one time-out, the end. "0": an invalid
// port, the end at once; its cost is taken off.
TimeoutRuns measure_timeout_runs(int runs);

struct PtyWrite {
    Values write_us, tcdrain_us;
};

// What port_write's two calls cost on a pseudo-terminal whose far end waits
// in poll, as the emulator's does: a pair of its own, a request at a time.
PtyWrite measure_pty_write(int count);

// Over RFC 2217 through ser2net on loopback, whose own line starts at
// 19200 7E1: the gaps on an instant line, and whole sessions at wire speed,
// of zumel-config and of pyserial's rfc2217:// client on the same server.
struct ServerFigures {
    Values ours_gap, peer_gap;
    Values ours_total, ours_beyond, peer_total, peer_beyond, peer_inside_beyond;
    std::string failure; // empty when ser2net started
};
ServerFigures measure_server(int runs);

std::uintmax_t stripped_size();

// Each port-after-port run waits out seven time-outs, so fewer of them.
int find_runs(int runs);

FindFigures measure_find(int runs);
StationFigures measure_station(int runs);

} // namespace bench
