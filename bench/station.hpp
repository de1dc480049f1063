#pragma once

// zumel-config --station: how soon a controller's line is on screen after
// its first answer, and what watching idle ports costs.

#include <filesystem>
#include <string>
#include <vector>

namespace bench {

inline constexpr unsigned station_idle_ports = 8;
inline constexpr int station_idle_seconds = 10;

struct StationFigures {
    std::vector<double> line_after_answer_ms; // first answer to the controller's line (the program's end)
    std::vector<double> wire_ms;              // that session's bytes at 9600 Bd 8O1
    double idle_cpu_percent = 0;              // of one core, watching idle ports
    std::string failure;                      // empty when every run went as set up
};

// COMn is `prefix` followed by n-1.
StationFigures measure_station(const std::string& configurator, const std::filesystem::path& prefix,
                               int runs);

} // namespace bench
