#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "requests.hpp"
#include "settings.hpp"
#include "system/result.hpp"

// A configuration file: one "name = value" line for each of the eight
// settings, named as in setting_fields and valued as the entry form takes
// them; blank lines and lines starting with # are allowed.

inline constexpr std::size_t largest_configuration_file = 64 * 1024;

// "address = 10": one setting as a file's line holds it.
std::string setting_line(const SettingField& field, const ControllerSettings& settings);

// The file --read writes: the controller named on its first line, then one
// line per setting.
std::string format_configuration_file(const ControllerIdentity& identity, const ControllerSettings& settings);

// The type a file's header names ("# ZML-4C08, firmware 105" on its first
// line, as --read writes it); empty when the first line is no such header.
std::string type_named_in(std::string_view text);

// The controller's type as a header names it.
std::string header_type(const ControllerIdentity& identity);

// The text of a configuration file as Windows tools save it: UTF-8 with or
// without a byte order mark, UTF-16 LE or BE with one, CR LF or LF line
// ends. Gives the text as UTF-8; for anything else that is not text, or a
// file larger than a configuration file, one reason for it all.
Result<std::string> decode_text(std::string_view raw);

struct FileProblem {
    std::size_t line = 0; // counted from 1; 0 for the file as a whole
    std::string text;
};

// Which settings the command line gives instead of the file's.
using Overridden = std::array<bool, setting_fields.size()>;

// Checks every line. Without problems `settings` holds all eight values;
// an overridden setting's line is not checked and it is not missing.
std::vector<FileProblem> parse_configuration_file(std::string_view text, ControllerSettings& settings,
                                                  const Overridden& overridden = {});

// The one of `names` a mistyped name most likely meant, letter case aside:
// the closest within two letters (two neighbours swapped count one), else
// the only one it begins; empty when there is no such single one.
std::string_view meant_name(std::string_view typed, const std::vector<std::string_view>& names);

// The setting an override "NAME=VALUE" names, blanks around it dropped.
std::string_view override_name(std::string_view set);

// "NAME=VALUE" each, checked by the same table and ranges; one refusal per
// text, naming it as given.
std::vector<std::string> parse_setting_overrides(const std::vector<std::string>& sets,
                                                 ControllerSettings& settings, Overridden& overridden);
