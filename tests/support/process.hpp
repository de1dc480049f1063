#pragma once

// Runs a program the way a technician would, minus the technician: its
// standard input is fed from a string, its standard output is captured
// whole, and it runs in a session of its own so it has no controlling
// terminal unless the test gives it one.

#include <chrono>
#include <string>
#include <vector>

struct ProgramRun {
    std::vector<std::string> command;     // program and arguments
    std::vector<std::string> environment; // NAME=value added to the test's own
    std::string input;                    // typed at once, then end of input
    bool close_input = true;              // false: input stays open until the end
    std::string terminal;                 // a tty path to become its controlling terminal
    std::chrono::milliseconds time_limit{20'000};
};

struct ProgramResult {
    std::string output;
    int exit_code = -1;     // -1 when it did not exit normally
    int signal = 0;         // the signal that ended it, if any
    bool timed_out = false; // killed at the time limit
    double elapsed_ms = 0;
    double cpu_ms = 0; // user + system time of the program
};

ProgramResult run_program(const ProgramRun& run);

// Starts a program without waiting for it; finish_program collects it.
struct RunningProgram {
    int pid = -1;
    int input_fd = -1;
    int output_fd = -1;
    std::chrono::steady_clock::time_point started;
    std::chrono::milliseconds time_limit{20'000};
    std::string pending_input;
    std::size_t input_sent = 0;
    bool close_input = true;
};

RunningProgram start_program(const ProgramRun& run);
ProgramResult finish_program(RunningProgram& program);
