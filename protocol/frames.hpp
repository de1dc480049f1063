#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// Request and reply frames of the controller protocol: fixed lengths, the
// checksum, the fixed requests and the write frame. No I/O.

using ConfigurationBytes = std::array<std::uint8_t, 6>;

struct ControllerType {
    std::array<char, 8> characters{};
};

// Printed one after the other, never combined into one number.
struct FirmwareVersion {
    std::uint8_t high = 0;
    std::uint8_t low = 0;
};

// The fixed requests carry their checksums as constants.
inline constexpr std::array<std::uint8_t, 4> type_request{0xFF, 0x28, 0x59, 0x80};
inline constexpr std::array<std::uint8_t, 4> firmware_request{0xFF, 0x26, 0x5B, 0x80};
inline constexpr std::array<std::uint8_t, 5> read_request{0xFF, 0x30, 0x56, 0x7B, 0x80};

inline constexpr std::size_t type_reply_length = 12;
inline constexpr std::size_t firmware_reply_length = 8;
inline constexpr std::size_t read_reply_length = 52;
inline constexpr std::size_t write_frame_length = 52;
inline constexpr std::size_t write_ack_length = 4;

// Stores at bytes[n] the checksum of bytes[0 .. n-1]: the negated byte sum,
// cut to seven bits. n is 1 to 255.
void compute_checksum(std::uint8_t* bytes, std::uint8_t n);

// Builds the 52-byte write frame around the six configuration bytes.
std::array<std::uint8_t, write_frame_length> build_write_frame(const ConfigurationBytes& configuration);

// One parser per reply: what the program takes from each, and nothing else
// of it is checked.
ControllerType parse_type_reply(std::span<const std::uint8_t, type_reply_length> reply);
FirmwareVersion parse_firmware_reply(std::span<const std::uint8_t, firmware_reply_length> reply);
ConfigurationBytes parse_configuration_reply(std::span<const std::uint8_t, read_reply_length> reply);
