#include "frames.hpp"

#include <cstdio>

#include "serial_link.hpp"

namespace {

constexpr std::uint8_t start_byte = 0xFF;
constexpr std::uint8_t end_byte = 0x80;
constexpr std::uint8_t write_command = 0x56;

// The fixed requests carry their checksums as constants.
constexpr std::array<std::uint8_t, 4> type_request{0xFF, 0x28, 0x59, 0x80};
constexpr std::array<std::uint8_t, 4> firmware_request{0xFF, 0x26, 0x5B, 0x80};
constexpr std::array<std::uint8_t, 5> read_request{0xFF, 0x30, 0x56, 0x7B, 0x80};

constexpr std::size_t checksum_position = write_frame_length - 2;
constexpr std::size_t configuration_position = 2;

std::FILE* no_response_output = stdout;

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

void report_no_response_to(std::FILE* stream)
{
    no_response_output = stream;
}

int exchange(const std::uint8_t* request, std::size_t request_length, std::uint8_t* reply,
             std::size_t reply_length)
{
    port_write(request, request_length);
    if (port_read(reply, reply_length) != reply_length) {
        if (no_response_output != nullptr) {
            std::fputs("\n\n Error: ovladac neodpovida \n", no_response_output);
        }
        return 0;
    }
    return 1;
}

int identify_controller(ControllerType& type)
{
    std::array<std::uint8_t, type_reply_length> reply{};
    if (!exchange(type_request.data(), type_request.size(), reply.data(), reply.size())) {
        return 0;
    }
    for (std::size_t i = 0; i < type.characters.size(); ++i) {
        type.characters[i] = static_cast<char>(reply[2 + i]);
    }
    return 1;
}

int query_firmware_version(FirmwareVersion& version)
{
    std::array<std::uint8_t, firmware_reply_length> reply{};
    if (!exchange(firmware_request.data(), firmware_request.size(), reply.data(), reply.size())) {
        return 0;
    }
    version.high = reply[3];
    version.low = reply[2];
    return 1;
}

int fetch_configuration(ConfigurationBytes& configuration)
{
    std::array<std::uint8_t, read_reply_length> reply{};
    if (!exchange(read_request.data(), read_request.size(), reply.data(), reply.size())) {
        return 0;
    }
    for (std::size_t i = 0; i < configuration.size(); ++i) {
        configuration[i] = reply[configuration_position + i];
    }
    return 1;
}

int store_configuration(const ConfigurationBytes& configuration)
{
    const auto frame = build_write_frame(configuration);
    std::array<std::uint8_t, write_ack_length> reply{};
    return exchange(frame.data(), frame.size(), reply.data(), reply.size());
}
