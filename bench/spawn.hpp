#pragma once

// Runs a program to its end the way the benchmarks need: keys typed at once,
// output kept, and the moments that matter taken on the monotonic clock. The
// exit is seen through a pidfd, so no polling interval blurs the end time.

#include <chrono>
#include <string>
#include <vector>

struct Spawned {
    std::chrono::steady_clock::time_point started; // just before the spawn
    std::string output;
    int exit_code = -1; // -1 when it did not exit normally
    bool timed_out = false;
    double first_output_ms = -1; // spawn to the first byte on standard output
    double elapsed_ms = 0;       // spawn to exit
    double cpu_ms = 0;           // user + system
    // The program's peak resident memory (VmHWM), taken whenever output
    // comes: ru_maxrss would include the spawner's own, which an exec after
    // vfork carries over. 0 when it ended before its output was seen.
    long peak_rss_kib = 0;
};

// The program runs in a session of its own, without a controlling terminal,
// standard error to /dev/null. Killed at the time limit.
Spawned spawn_and_wait(const std::vector<std::string>& command, const std::string& input,
                       std::chrono::milliseconds limit);
