#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "frames.hpp"
#include "settings.hpp"

// A configuration file: one "name = value" line for each of the eight
// settings, named as in setting_fields and valued as the entry form takes
// them; blank lines and lines starting with # are allowed.

inline constexpr std::size_t largest_configuration_file = 64 * 1024;

// "ZML-4C08, firmware 105": the controller as the file's first line names it.
std::string controller_identity(const ControllerType& type, const FirmwareVersion& version);

// "address = 10": one setting as a file's line holds it.
std::string setting_line(const SettingField& field, const ControllerSettings& settings);

std::string format_configuration_file(const ControllerType& type, const FirmwareVersion& version,
                                      const ControllerSettings& settings);

struct FileProblem {
    std::size_t line = 0; // counted from 1; 0 for the file as a whole
    std::string text;
};

// Checks every line. Without problems `settings` holds all eight values.
std::vector<FileProblem> parse_configuration_file(std::string_view text, ControllerSettings& settings);
