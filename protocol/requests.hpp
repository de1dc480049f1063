#pragma once

#include <cstddef>
#include <span>

#include "frames.hpp"
#include "serial_link.hpp"

// The four requests, each one exchange on a link: the whole frame is
// written, then one read asks for the reply's fixed length. Nothing is
// retried and nothing is cleared here; nothing is printed. Each reports what
// happened and the caller chooses the words.

struct Exchange {
    enum class Reply { answered, none, short_reply };
    Reply reply = Reply::none;
    std::size_t received = 0; // bytes that came in time
    std::size_t expected = 0; // the reply's fixed length
};

bool answered(const Exchange& exchange);

Exchange exchange(SerialPort& link, std::span<const std::uint8_t> request, std::span<std::uint8_t> reply);

// What they yield is only meaningful when answered.
Exchange identify_controller(SerialPort& link, ControllerType& type);
Exchange query_firmware_version(SerialPort& link, FirmwareVersion& version);
Exchange fetch_configuration(SerialPort& link, ConfigurationBytes& configuration);
Exchange store_configuration(SerialPort& link, const ConfigurationBytes& configuration);
