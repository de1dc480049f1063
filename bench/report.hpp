#pragma once

// The table of figures and a verdict per goal; nothing here is asserted.

#include "find.hpp"
#include "measurements.hpp"
#include "station.hpp"

namespace bench {

// The build, the machine and how many runs, before any work starts.
void print_introduction(int runs, bool find_only);

// --station's figures and goals.
void print_station_report(const StationFigures& station);

// --find's figures and goals alone.
void print_find_report(const FindFigures& find);

// The device server's figures beside pyserial's rfc2217:// client.
void print_server_report(const ServerFigures& server);

void print_report(const Overhead& overhead, const Timeouts& timeouts, const Sessions& sessions,
                  const TimeoutRuns& timeout_runs, const PtyWrite& pty_write, const FindFigures& find);

} // namespace bench
