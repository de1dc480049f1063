#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Request and reply frames of the controller protocol. Every request is one
// exchange: the whole frame is written, then one read asks for the reply's
// fixed length. Nothing is retried and the line's input is never cleared.

using ConfigurationBytes = std::array<std::uint8_t, 6>;

struct ControllerType {
    std::array<char, 8> characters{};
};

// Printed one after the other, never combined into one number.
struct FirmwareVersion {
    std::uint8_t high = 0;
    std::uint8_t low = 0;
};

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

// Where a failed request reports "the controller does not respond":
// standard output for the dialogue; null for silence, where the caller
// reports the failure its own way.
void report_no_response_to(std::FILE* stream);

// One request: writes the request whole, reads exactly reply_length bytes.
// Returns 1 when they all came in time; otherwise prints the no-response
// message and returns 0.
int exchange(const std::uint8_t* request, std::size_t request_length, std::uint8_t* reply,
             std::size_t reply_length);

// Each returns 1 on success, 0 on failure; what they yield is only
// meaningful on success.
int identify_controller(ControllerType& type);
int query_firmware_version(FirmwareVersion& version);
int fetch_configuration(ConfigurationBytes& configuration);
int store_configuration(const ConfigurationBytes& configuration);
