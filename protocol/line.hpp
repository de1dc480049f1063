#pragma once

#include <cstddef>

#include "serial_link.hpp"

// The line the controllers speak on, and how long each side may take. The
// link waits as long as it is told; these say how long that is.

inline constexpr LineSettings controller_line{
    .baud = 9600, .data_bits = 8, .parity = Parity::odd, .stop_bits = 1};

// A reply of `count` bytes may take a second and a millisecond per byte in
// all.
constexpr unsigned reply_timeout_ms(std::size_t count)
{
    return 1000U + static_cast<unsigned>(count);
}

// A request of `count` bytes needs about 1.15 ms a byte on the wire; a port
// that has not taken it a second beyond that is stuck.
constexpr unsigned request_timeout_ms(std::size_t count)
{
    return 1000U + 2U * static_cast<unsigned>(count);
}

// Bytes right behind a reply come within this; a USB adapter may hold them
// back for its latency timer, 16 ms by default.
inline constexpr unsigned trailing_bytes_ms = 50;
