#pragma once

// Runs a program the way a technician would, minus the technician: its
// standard input is fed from a string, its standard output and error are
// captured whole, and it runs in a session of its own so it has no
// controlling terminal unless the test gives it one (standard error then
// goes to that terminal).

#include <chrono>
#include <string>
#include <vector>

struct ProgramRun {
    std::vector<std::string> command{};     // program and arguments
    std::vector<std::string> environment{}; // NAME=value added to the test's own
    std::string input{};                    // typed at once, then end of input
    bool close_input = true;                // false: input stays open until the end
    std::string terminal{};                 // a tty path to become its controlling terminal
    std::chrono::milliseconds time_limit{20'000};
    bool sample_memory = false; // read its peak resident memory as output comes
};

struct ProgramResult {
    std::string output;
    std::string errors;                            // standard error
    int exit_code = -1;                            // -1 when it did not exit normally
    int signal = 0;                                // the signal that ended it, if any
    bool timed_out = false;                        // killed at the time limit
    std::chrono::steady_clock::time_point started; // just before the start
    double first_output_ms = -1;                   // start to the first byte of output
    double elapsed_ms = 0;                         // start to exit, seen the moment it happens
    double cpu_ms = 0;                             // user + system time of the program
    // Peak resident memory (VmHWM) as last seen while output came; ru_maxrss
    // would count the memory of the test process it was forked from.
    long peak_rss_kib = 0;
};

ProgramResult run_program(const ProgramRun& run);

// Starts a program without waiting for it; finish_program collects it.
struct RunningProgram {
    int pid = -1;
    int exit_fd = -1; // readable once the program has exited
    int input_fd = -1;
    int output_fd = -1;
    int error_fd = -1;
    std::chrono::steady_clock::time_point started;
    std::chrono::milliseconds time_limit{20'000};
    std::string pending_input;
    std::size_t input_sent = 0;
    bool close_input = true;
    bool sample_memory = false;
};

RunningProgram start_program(const ProgramRun& run);
ProgramResult finish_program(RunningProgram& program);
