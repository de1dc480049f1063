#include "requests.hpp"

#include <algorithm>

namespace {

constexpr std::size_t data_position = 2; // after the start and command bytes

} // namespace

bool answered(const Exchange& exchange)
{
    return exchange.reply == Exchange::Reply::answered;
}

Exchange exchange(SerialPort& link, std::span<const std::uint8_t> request, std::span<std::uint8_t> reply)
{
    port_write(link, request.data(), request.size());
    const std::size_t received = port_read(link, reply.data(), reply.size());
    const Exchange::Reply outcome = received == reply.size() ? Exchange::Reply::answered
                                    : received == 0          ? Exchange::Reply::none
                                                             : Exchange::Reply::short_reply;
    return {outcome, received, reply.size()};
}

Exchange identify_controller(SerialPort& link, ControllerType& type)
{
    std::array<std::uint8_t, type_reply_length> reply{};
    const Exchange result = exchange(link, type_request, reply);
    std::copy_n(reply.begin() + data_position, type.characters.size(), type.characters.begin());
    return result;
}

Exchange query_firmware_version(SerialPort& link, FirmwareVersion& version)
{
    std::array<std::uint8_t, firmware_reply_length> reply{};
    const Exchange result = exchange(link, firmware_request, reply);
    version.high = reply[3];
    version.low = reply[2];
    return result;
}

Exchange fetch_configuration(SerialPort& link, ConfigurationBytes& configuration)
{
    std::array<std::uint8_t, read_reply_length> reply{};
    const Exchange result = exchange(link, read_request, reply);
    std::copy_n(reply.begin() + data_position, configuration.size(), configuration.begin());
    return result;
}

Exchange store_configuration(SerialPort& link, const ConfigurationBytes& configuration)
{
    const auto frame = build_write_frame(configuration);
    std::array<std::uint8_t, write_ack_length> reply{};
    return exchange(link, frame, reply);
}
