#pragma once

// The steps with a controller that the dialogue, the scripted modes and the
// station share. Unlike the dialogue's own requests they trust no reply
// blindly: every request goes by the checked rule, and a configuration is
// read twice and must read the same.

#include <string>

#include "requests.hpp"
#include "serial_link.hpp"
#include "settings.hpp"
#include "write_log.hpp"

// Sends the configuration by the checked rule and reads back what the
// controller holds, whatever became of the acknowledgement.
WriteResult write_and_read_back(SerialPort& link, const ControllerSettings& wanted);

// The controller's type and firmware by the checked rule, or the problem
// said in words.
Result<ControllerIdentity> identify_trusted(SerialPort& link);

// Reads the configuration twice by the checked rule: a reply garbled on the
// way is caught when the two differ. Or the problem said in words.
Result<ControllerSettings> read_trusted_configuration(SerialPort& link);
