#include "frames.hpp"

#include <algorithm>

namespace {

constexpr std::uint8_t start_byte = 0xFF;
constexpr std::uint8_t end_byte = 0x80;
constexpr std::uint8_t write_command = 0x56;

constexpr std::size_t checksum_position = write_frame_length - 2;
constexpr std::size_t data_position = 2; // after the start and command bytes

} // namespace

void compute_checksum(std::uint8_t* bytes, std::uint8_t n)
{
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        sum = static_cast<std::uint8_t>(sum - bytes[i]);
    }
    bytes[n] = static_cast<std::uint8_t>(sum & 0x7F);
}

std::array<std::uint8_t, write_frame_length> build_write_frame(const ConfigurationBytes& configuration)
{
    std::array<std::uint8_t, write_frame_length> frame{};
    frame[0] = start_byte;
    frame[1] = write_command;
    frame[write_frame_length - 1] = end_byte;
    for (std::size_t i = 0; i < configuration.size(); ++i) {
        frame[data_position + i] = configuration[i];
    }
    compute_checksum(frame.data(), static_cast<std::uint8_t>(checksum_position));
    return frame;
}

ControllerType parse_type_reply(std::span<const std::uint8_t, type_reply_length> reply)
{
    ControllerType type;
    std::copy_n(reply.begin() + data_position, type.characters.size(), type.characters.begin());
    return type;
}

FirmwareVersion parse_firmware_reply(std::span<const std::uint8_t, firmware_reply_length> reply)
{
    return {.high = reply[3], .low = reply[2]};
}

ConfigurationBytes parse_configuration_reply(std::span<const std::uint8_t, read_reply_length> reply)
{
    ConfigurationBytes configuration;
    std::copy_n(reply.begin() + data_position, configuration.size(), configuration.begin());
    return configuration;
}
