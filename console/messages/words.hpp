#pragma once

// The words for what the link and the controller report: one function for
// each piece of text or advice, whichever room shows it.

#include <cstdint>
#include <ctime>
#include <span>
#include <string>

#include "requests.hpp"
#include "serial_link.hpp"

// "FF 28 59 80".
std::string hex_pairs(std::span<const std::uint8_t> bytes);

// The time now, or `when`, in UTC, as strftime's `format` writes it.
std::string utc_now(const char* format);
std::string utc_time(std::time_t when, const char* format);

// "9600 Bd, 8 data bits, odd parity, 1 stop bit".
std::string line_text(const LineSettings& line);

// "COM2 (/dev/ttyUSB1)", or "COM2" where the device is named so.
std::string port_and_device(const SerialPort& link);

// Why a port did not open and what to do about it.
std::string open_failure_text(const SerialPort& link);

// "COM2 (/dev/ttyUSB1): permission denied; ...": a failed open as one line.
std::string failure_line(const SerialPort& link);

// Why a text is not a port's name: "no port after the host".
std::string port_name_problem_text(PortNameProblem problem);

// For a server whose line keeps its own settings (socket://, or an RFC 2217
// server that refused COM-PORT-OPTION): "socket://host:23: ... set 9600 8O1
// on the server"; empty for any other port.
std::string own_settings_notice(const SerialPort& link);

// The options that reach a port: "--com-prefix /dev/ttyUSB --port COM1",
// or "--port COM1" where the naming is the program's own.
std::string port_options(ComPort port, const ComNaming& naming);
std::string port_options(const PortName& port, const ComNaming& naming);

// A file's name as one word of a command to type: as it is where no shell
// would split it, else in double quotes (as both sh and cmd take them).
std::string command_word(const std::string& name);

// "ZML-4C08" with anything unprintable as ?; "105"; "ZML-4C08, firmware 105".
std::string type_text(const ControllerType& type);
std::string firmware_text(const FirmwareVersion& version);
std::string identity_text(const ControllerIdentity& identity);

// Why an exchange was not answered, `what` naming the request: "the
// controller does not respond to the read request (3 of 52 bytes came)".
std::string exchange_problem(const Exchange& exchange, const std::string& what);
