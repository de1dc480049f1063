#pragma once

// What each platform's file gives serial_link.cpp, which adds what all
// platforms share: COM names, the observer, moving and closing, and the
// discard.

#include "serial_link.hpp"

namespace platform {

// Fills in device, device_line and status; on failure what the system said.
// The line closes when device_line lets it go (DeviceLineClose).
void open(SerialPort& link, const ComNaming& naming);
Transfer write(DeviceLine& line, std::span<const std::uint8_t> bytes, unsigned timeout_ms);
// Returns once every byte arrived, timeout_ms passed or the line ended.
Transfer read(DeviceLine& line, std::span<std::uint8_t> bytes, unsigned timeout_ms);

} // namespace platform
