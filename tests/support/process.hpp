#pragma once

// Runs a program the way a technician would, minus the technician: its
// standard input is fed from a string, its standard output and error are
// captured whole, and it runs in a session of its own so it has no
// controlling terminal unless the test gives it one (standard error then
// goes to that terminal).

#include <chrono>
#include <functional>
#include <string>
#include <vector>

struct ProgramRun {
    std::vector<std::string> command{}; // program and arguments
    std::string input{};                // typed at once, then end of input
    bool close_input = true;            // false: input stays open until the end
    std::string terminal{};             // a tty path to become its controlling terminal
    std::chrono::milliseconds time_limit{20'000};
    std::function<void(int pid)> on_output{}; // called as output comes, before it is read
};

struct ProgramResult {
    std::string output{};
    std::string errors{};                          // standard error
    int exit_code = -1;                            // -1 when it did not exit normally
    int signal = 0;                                // the signal that ended it, if any
    bool timed_out = false;                        // killed at the time limit
    std::chrono::steady_clock::time_point started; // just before the start
    double elapsed_ms = 0;                         // start to exit, seen the moment it happens
    double cpu_ms = 0;                             // user + system time of the program
};

// Started, not yet waited for; finish_program collects it.
struct RunningProgram {
    ProgramRun run{};
    int pid = -1;
    int input_fd = -1;
    int output_fd = -1;
    int error_fd = -1;
    int exit_fd = -1; // readable once the program has exited
    std::size_t input_sent = 0;
    std::chrono::steady_clock::time_point started{};
};

RunningProgram start_program(const ProgramRun& run);
ProgramResult finish_program(RunningProgram& program);
ProgramResult run_program(const ProgramRun& run);
