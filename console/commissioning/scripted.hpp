#pragma once

#include <string>
#include <vector>

#include "messages/messages.hpp"
#include "requests.hpp"
#include "serial_link.hpp"
#include "settings.hpp"
#include "write_log.hpp"

// One controller read or written without the dialogue, for commissioning
// many alike. Progress and failures go to standard error in English.
//
// Unlike the dialogue they trust no reply blindly: every request goes by the
// checked rule, and a configuration is read twice and must read the same.

// The controller's port, how COM names reach devices, and who watches the
// line.
struct Target {
    PortName port{};
    ComNaming naming{};
    LineObserver observer{};
};

// Sends the configuration by the checked rule and reads back what the
// controller holds, whatever became of the acknowledgement.
WriteResult write_and_read_back(SerialPort& link, const ControllerSettings& wanted);

// The controller's type and firmware by the checked rule. False with the
// problem said in words.
bool identify_trusted(SerialPort& link, ControllerIdentity& identity, std::string& problem);

// Reads the configuration twice by the checked rule: a reply garbled on the
// way is caught when the two differ. False with the problem said in words.
bool read_trusted_configuration(SerialPort& link, ControllerSettings& settings, std::string& problem);

// Identifies the controller and writes its configuration as a configuration
// file to `output`, or to standard output when that is empty or "-".
ExitStatus read_configuration(const Target& target, const std::string& output);

// What --write takes beside the port.
struct WriteRequest {
    std::string input;             // the configuration file, "-" for standard input
    std::vector<std::string> sets; // --set NAME=VALUE, instead of the file's
    std::string log;               // --log DIR, empty for none
};

// Sends the configuration as the entry form would, then reads it back: a
// controller that holds something else failed. With a log, first saves what
// the controller held, and records the write.
ExitStatus write_configuration(const Target& target, const WriteRequest& request);

// The file's settings, with those given by --set in their place; false
// when anything is refused, each refusal said, and `status` why.
bool read_wanted_settings(const WriteRequest& request, ControllerSettings& wanted, ExitStatus& status);
