#pragma once

// zumel-config --station: how soon a controller's line is on screen after
// its first answer, on a COM port and behind a device server, and what
// watching idle ports costs.

#include <filesystem>
#include <string>
#include <vector>

namespace bench {

inline constexpr unsigned station_idle_ports = 8;
inline constexpr int station_idle_seconds = 10;

struct StationFigures {
    std::vector<double> line_after_answer_ms; // first answer to the controller's line (the program's end)
    std::vector<double> wire_ms;              // that session's bytes at 9600 Bd 8O1
    std::vector<double> server_line_after_answer_ms; // the same behind ser2net over RFC 2217
    std::vector<double> server_wire_ms;
    double idle_cpu_percent = 0; // of one core, watching idle ports
    std::string failure;         // empty when every run went as set up
};

// COMn is `prefix` followed by n-1.
StationFigures measure_station(const std::string& configurator, const std::filesystem::path& prefix,
                               int runs);

} // namespace bench
