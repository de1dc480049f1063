#pragma once

#include <string>

// How the program ends, and how it speaks beside the dialogue's screen.

// Every mode's exit status; the dialogue ends with `done` however it ends.
enum class ExitStatus : int {
    done = 0,
    failed = 1,  // the port, the controller, or a file, folder or output failed
    refused = 2, // bad usage or a refused configuration: nothing was sent
    stopped = 3, // a station asked to stop before its range was complete
};

inline constexpr const char* program_name = "zumel-config";

// "zumel-config: text" as one line on standard error.
void say(const std::string& text);
