#pragma once

#include <string>
#include <vector>

#include "serial_link.hpp"

// One controller read or written without the dialogue, for commissioning
// many alike. Progress and failures go to standard error in English; each
// returns the exit status: 0 done, 1 the port, the controller or a local
// file failed, 2 the configuration was refused (and nothing was sent).
//
// Unlike the dialogue they trust no reply blindly: what waits on the line
// before a request is discarded, a reply with more bytes right behind it
// fails the run, and a configuration is read twice and must read the same.

// Identifies the controller and writes its configuration as a configuration
// file to `output`, or to standard output when that is empty or "-".
int read_configuration(ComPort port, const std::string& output, const LineObserver& observer);

// What --write takes beside the port.
struct WriteRequest {
    std::string input;             // the configuration file, "-" for standard input
    std::vector<std::string> sets; // --set NAME=VALUE, instead of the file's
    std::string log;               // --log DIR, empty for none
};

// Sends the configuration as the entry form would, then reads it back: a
// controller that holds something else failed. With a log, first saves what
// the controller held, and records the write.
int write_configuration(ComPort port, const WriteRequest& request, const LineObserver& observer);
