#pragma once

// What each platform's file gives serial_link.cpp, which adds what all
// platforms share: COM names, the observer and the discard.

#include "serial_link.hpp"

namespace platform {

// Fills in device, handle, status and failure.
void open(SerialPort& link);
std::size_t write(std::intptr_t handle, const std::uint8_t* bytes, std::size_t count);
// Returns once count bytes arrived or timeout_ms have passed.
std::size_t read(std::intptr_t handle, std::uint8_t* bytes, std::size_t count, unsigned timeout_ms);
void close(std::intptr_t handle);

} // namespace platform
