#pragma once

// The serial ports of a Linux machine, from /dev and sysfs, without opening
// any. Apart from the link so a test can hand it a tree of its own.

#include <string>
#include <vector>

#include "serial_link.hpp"

struct SystemView {
    std::string com_prefix;     // COMn is this followed by n-1
    std::string sysfs = "/sys"; // where sysfs is mounted
    std::string dev = "/dev";
};

// Unix98 pseudo-terminal slaves: no sysfs entry, and no parity.
constexpr bool is_pseudo_terminal_major(unsigned major_number)
{
    return major_number >= 136 && major_number <= 143;
}

// First the COM ports under the prefix, in order: every terminal device at
// a PREFIXn path (pseudo-terminals too) but the placeholder UARTs a PC
// kernel makes by the dozen. Then every other serial device the machine
// has, with the prefix and port that reach it.
std::vector<PortInfo> list_serial_ports(const SystemView& system);
