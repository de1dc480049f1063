#pragma once

// What every test needs besides the program runner and the pty console:
// request frames as they must appear on the line, built from the protocol
// as the emulator knows it (not from the configurator's code), and a
// directory of the test's own.

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "controller.hpp"

namespace kit {

using Bytes = std::vector<std::uint8_t>;
using emulator::hex;

inline const Bytes type_request{0xFF, 0x28, 0x59, 0x80};
inline const Bytes firmware_request{0xFF, 0x26, 0x5B, 0x80};
inline const Bytes read_request{0xFF, 0x30, 0x56, 0x7B, 0x80};

// The 52-byte write frame around six configuration bytes.
Bytes write_frame(const std::array<std::uint8_t, 6>& configuration);
Bytes concat(std::initializer_list<Bytes> parts);

// What `run` writes to file descriptor `fd` (1 or 2) while it runs in this
// process.
std::string written_to(int fd, const std::function<void()>& run);

// A fresh directory for this process, removed when it ends; tests that run
// at the same time never share one.
const std::filesystem::path& own_directory();

} // namespace kit
