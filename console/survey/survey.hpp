#pragma once

#include "messages/messages.hpp"
#include "serial_link.hpp"

// The port survey: which serial ports the machine has, and which of them
// holds a controller. One line per port on standard output.

// --list: the serial ports present, with what the system knows of each.
// Opens nothing.
ExitStatus list_serial_ports_command(const ComNaming& naming);

// --find: asks every free COM port at once for a controller's identity and
// says which holds one, with the options to paste. Done when a controller
// answered, failed when none did.
ExitStatus find_controllers(const ComNaming& naming, const LineObserver& observer);

// "COM7  " then two spaces: the first column of both.
std::string port_column(ComPort port);

// `text` padded with spaces to `width`: a column of both.
std::string padded(std::string text, std::size_t width);

// A line as both print it, without trailing spaces.
void print_line(std::string text);
