#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The one serial port of the process. Every operation works on the port that
// open_port opened; there is never more than one.
//
// Line: 9600 Bd, 8 data bits, odd parity, 1 stop bit, no flow control.
// A read of n bytes returns once n bytes have arrived, or after n + 1000 ms
// with whatever arrived by then.

// Opens "COM1", "COM2", ... at the given speed ("9600"). Nonzero on success.
// Prints nothing; the caller tells the technician.
int open_port(const char* port_name, const char* speed);

// Writes all count bytes; returns how many were written.
std::size_t port_write(const std::uint8_t* bytes, std::size_t count);

// Reads up to count bytes within the read time-out; returns how many arrived.
std::size_t port_read(std::uint8_t* bytes, std::size_t count);

void close_port();

// Where the platform lets the user say where COMn lives: COMn becomes the
// prefix followed by n-1. False where the platform names its ports itself.
bool set_com_device_prefix(const std::string& prefix);

// Why the last open_port failed, as one line for the technician: the port,
// the device, the cause and what to do about it.
std::string open_failure_reason();

// How long a read of count bytes may take in all.
constexpr unsigned read_timeout_ms(std::size_t count)
{
    return 1000U + static_cast<unsigned>(count);
}
