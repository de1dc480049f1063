#pragma once

#include <string>

#include <termios.h>

namespace emulator {

// What keeps these settings from being a raw 9600 Bd 8O1 line without flow
// control, comma separated; empty when they are right. Parity enable is not
// asked for: a pty clears it, while the odd-parity flag survives.
std::string line_setting_problems(const termios& settings);

} // namespace emulator
