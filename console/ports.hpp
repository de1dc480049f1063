#pragma once

#include <string>

#include "serial_link.hpp"

// --list: the serial ports present, one line each, on standard output.
// Opens nothing. Returns the exit status, 0.
int list_serial_ports_command();

// --find: asks every free COM port at once for a controller's identity and
// says which holds one, ready to paste. `com_prefix` is the --com-prefix
// given, for the line to paste. Returns 0 when a controller answered, 1 when
// none did.
int find_controllers(const std::string& com_prefix, const LineObserver& observer);
