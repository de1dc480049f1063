#pragma once

// What each platform's file gives serial_link.cpp, which adds what all
// platforms share: COM names, the observer, moving and closing, and the
// discard.

#include "serial_link.hpp"

namespace platform {

// Fills in device, handle and status; on failure what the system said.
void open(SerialPort& link, const ComNaming& naming);
Transfer write(std::intptr_t handle, std::span<const std::uint8_t> bytes, unsigned timeout_ms);
// Returns once every byte arrived, timeout_ms passed or the line ended.
Transfer read(std::intptr_t handle, std::span<std::uint8_t> bytes, unsigned timeout_ms);
void close(std::intptr_t handle);

} // namespace platform
