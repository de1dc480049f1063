#pragma once

#include <optional>
#include <vector>

#include "messages/messages.hpp"
#include "scripted.hpp"
#include "serial_link.hpp"

// A commissioning station: watches ports for controllers coming and going
// and writes each new one once, with the next free network address of a
// batch, without a keystroke between them. The batch lives in the log
// folder: a station started again goes on where the last one stopped, and
// stations sharing the folder never give an address twice.

// The network addresses a station gives, FIRST to LAST.
struct AddressRange {
    unsigned first = 1;
    unsigned last = 1;
};

struct StationRequest {
    std::vector<PortName> ports{}; // none: every port --find would ask, as they come
    ComNaming naming{};
    LineObserver observer{};
    WriteRequest write{};                    // the file, --set, and the log (required)
    std::optional<AddressRange> addresses{}; // none: every controller gets the file as it is
};

// The status line: the ports by name, or counted where the names would not
// fit in `columns` (0: no limit), and never as wide as the terminal.
std::string status_line(const std::vector<std::string>& ports, const std::string& rest, unsigned columns);

// Runs until the last address of the range is given, or a stop is asked
// for (Ctrl+C, Ctrl+Break, SIGTERM) once any write under way is recorded.
// Done when the range is complete (or, without one, nothing failed); failed
// when a controller was not written or the batch's record cannot be kept;
// stopped when asked to stop with addresses left; refused (nothing sent)
// when the batch itself cannot be.
ExitStatus run_station(const StationRequest& request);
