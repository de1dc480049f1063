#pragma once

#include <string>

#include "serial_link.hpp"

// One controller read or written without the dialogue, for commissioning
// many alike. Progress and failures go to standard error in English; each
// returns the exit status: 0 done, 1 the port or the controller failed, 2 the
// configuration file was refused (and nothing was sent).

// Identifies the controller and writes its configuration as a configuration
// file to `output`, or to standard output when that is empty or "-".
int read_configuration(ComPort port, const std::string& output, const LineObserver& observer);

// Sends the configuration in `input` ("-": standard input) as the entry form
// would, then reads it back: a controller that holds something else failed.
int write_configuration(ComPort port, const std::string& input, const LineObserver& observer);
