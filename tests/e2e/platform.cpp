#include "platform.hpp"

#include <algorithm>
#include <unistd.h>

#include "kit.hpp"
#include "session.hpp"

std::string port_as_named(int number)
{
    const std::string name = "COM" + std::to_string(number);
    return under_wine ? name : name + " (" + com_port_path(number).string() + ")";
}

std::string paste_options(int number)
{
    const std::string port = "--port COM" + std::to_string(number);
    return under_wine ? port : "--com-prefix " + (kit::own_directory() / "ttyS").string() + " " + port;
}

std::vector<std::string> listed_ports(const std::vector<int>& numbers)
{
    std::vector<std::string> lines;
    for (const int number : numbers) {
        std::string name = "COM" + std::to_string(number);
        name.resize(std::max<std::size_t>(name.size(), 6) + 2, ' ');
        // Wine lists the registry's map; a pseudo-terminal is one under a
        // prefix of the user's.
        lines.push_back(under_wine ? name + "\\Device\\Serial" + std::to_string(number - 1)
                                   : name + com_port_path(number).string() + "  pseudo-terminal");
    }
    return lines;
}

std::vector<OpenFailure> open_failures()
{
    if (under_wine) {
        // Wine opens a missing port that the prefix names and fails when
        // setting it; COM9 it does not name.
        return {
            {{"--port", "COM9", "--read"},
             "",
             "COM9: no such port; is the adapter plugged in? zumel-config --list shows the ports",
             1},
            {{}, "3\n", "COM3: the line cannot be set to 9600 Bd, 8 data bits, odd parity, 1 stop bit", 0},
            {{"--com-prefix", "/dev/ttyUSB"},
             "",
             "--com-prefix does not apply here: the system names its COM ports itself (COM1, COM2, ...)",
             2}};
    }
    // COM2 is a plain file; root may open anything.
    return {
        {{},
         "2\n",
         port_as_named(2) + ": " +
             (geteuid() != 0 ? "permission denied; the device belongs to the group " : "not a serial device"),
         0}};
}
