#pragma once

// zumel-config --find over eight ports, seven of them silent, beside the same
// probe made one port after another through the serial link.

#include <filesystem>
#include <string>
#include <vector>

namespace bench {

inline constexpr unsigned find_ports = 8;
inline constexpr unsigned find_answering_port = 8; // last, so every silent port is asked before it

struct FindFigures {
    std::vector<double> find_ms;       // zumel-config --find, spawn to exit
    std::vector<double> one_by_one_ms; // in-process, port after port, first open to last close
    std::string failure;               // empty when every run went as set up
};

// COMn is `prefix` followed by n-1; the in-process link is pointed there.
FindFigures measure_find(const std::string& configurator, const std::filesystem::path& prefix, int runs);

} // namespace bench
