#include "frames.hpp"

namespace {

constexpr std::uint8_t start_byte = 0xFF;
constexpr std::uint8_t end_byte = 0x80;
constexpr std::uint8_t write_command = 0x56;

constexpr std::size_t checksum_position = write_frame_length - 2;
constexpr std::size_t configuration_position = 2;

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
        frame[configuration_position + i] = configuration[i];
    }
    compute_checksum(frame.data(), static_cast<std::uint8_t>(checksum_position));
    return frame;
}
