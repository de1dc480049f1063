#pragma once

#include "options.hpp"

// The file names on a command line, judged before anything is opened: none
// may reach a device the system hides behind a file name, and no output
// may overwrite an input or the run's own log. False when one is refused,
// each refusal said.
bool file_names_allowed(const Options& options);
