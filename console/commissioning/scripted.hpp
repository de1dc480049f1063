#pragma once

#include <string>
#include <vector>

#include "controller/steps.hpp"
#include "controller/write_log.hpp"
#include "messages/messages.hpp"
#include "requests.hpp"
#include "serial_link.hpp"
#include "settings.hpp"

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
// when anything is refused, each refusal said, and `status` why. The type
// its header names (as --read writes it), empty when none.
bool read_wanted_settings(const WriteRequest& request, ControllerSettings& wanted, ExitStatus& status,
                          std::string& file_type);

// "bus.conf", or "standard input".
std::string input_name(const WriteRequest& request);

// True when the file's header names a type and the controller is another.
bool of_another_type(const ControllerIdentity& identity, const std::string& file_type);

// A warning when the controller is not of the type the file's header names;
// empty when it is, or the file names none. `port` names the controller.
std::string type_warning(const std::string& port, const ControllerIdentity& identity,
                         const std::string& file_type, const std::string& input);
