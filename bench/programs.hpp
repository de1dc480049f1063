#pragma once

// The programs under test: zumel-config as spawned, the pyserial peer, the
// protocol code in this process and a bare client; the emulator they talk
// to, and the session they all make.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common.hpp"
#include "process.hpp"
#include "pty_line.hpp"
#include "serial_link.hpp"

namespace bench {

extern const std::string configurator;
// COM ports of this run's own; the program is told with --com-prefix.
extern const std::filesystem::path com_prefix;

// COMn of the benchmarks' own ports, opened in-process as the configurator
// opens it.
SerialPort open_bench_port(unsigned number);

// Identify, firmware, read, write with eight answers, read, end.
inline const std::string session_keys = "1\n1\n2\n10\n2\n1\n0\n1\n0\n128\n0\n1\n3\n";

// A real line: every byte of every frame takes a byte time.
double wire_ms();

// The emulator takes a request as come when its last byte starts and sends a
// reply's first byte at once, so no session on it can be shorter than this.
double emulated_floor_ms();

// A run, with when its output first came and its peak resident memory
// (VmHWM) as last seen while output came: ru_maxrss would count the memory
// of this process, from which it was forked.
struct Run : ProgramResult {
    double first_output_ms = -1;
    long peak_rss_kib = 0;
};

// Keys typed at once, then the end of input; no console.
Run spawn_and_wait(const std::vector<std::string>& command, const std::string& keys,
                   std::chrono::milliseconds limit);

Run configurator_run(const std::string& keys);

bool whole_session(const ProgramResult& run);

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

PeerRun run_peer(const std::vector<std::string>& arguments);
// The same on another port: a device server's rfc2217://HOST:PORT.
PeerRun run_peer_on(const std::string& port, const std::vector<std::string>& arguments);

bool in_process_session();

// The least any client does: plain write, poll and read on the line, no
// time-out bookkeeping. Its gaps are the pseudo-terminal's own round trip.
bool bare_session(const std::vector<std::uint8_t>& write_frame);

emulator::PtyLineHandle start_line(const emulator::ControllerSetup& setup,
                                   emulator::LineMode mode = emulator::LineMode::paced);

// Reply out to next request in, in ms, for the requests since the last call;
// no gap spans two sessions, each of which begins with the type request.
Values take_gaps(const emulator::PtyLine& line, std::size_t& taken);

std::vector<std::uint8_t> last_write_frame(const emulator::PtyLine& line);

} // namespace bench
