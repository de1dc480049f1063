#include "requests.hpp"

#include <algorithm>
#include <array>
#include <utility>

bool answered(const Exchange& exchange)
{
    return exchange.sent.end == TransferEnd::complete && exchange.received.count == exchange.expected &&
           exchange.trailing.empty();
}

Transfer send_request(SerialPort& link, std::span<const std::uint8_t> request)
{
    return port_write(link, request, request_timeout_ms(request.size()));
}

Transfer await_reply(SerialPort& link, std::span<std::uint8_t> reply,
                     std::chrono::steady_clock::time_point sent)
{
    using namespace std::chrono;
    const steady_clock::time_point deadline = sent + milliseconds(reply_timeout_ms(reply.size()));
    const auto left = ceil<milliseconds>(deadline - steady_clock::now()).count();
    return port_read(link, reply, static_cast<unsigned>(std::max<long long>(left, 0)));
}

Exchange exchange(SerialPort& link, std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
                  Rule rule)
{
    if (rule == Rule::checked) {
        port_discard_input(link);
    }
    Exchange result{.expected = reply.size()};
    result.sent = send_request(link, request);
    // A request that did not leave gets no reply worth a second's wait.
    result.received = result.sent.end == TransferEnd::complete
                          ? port_read(link, reply, reply_timeout_ms(reply.size()))
                          : Transfer{.end = result.sent.end, .error = result.sent.error};
    if (rule == Rule::checked) {
        read_trailing(link, result);
    }
    return result;
}

void read_trailing(SerialPort& link, Exchange& exchange)
{
    if (!answered(exchange)) {
        return;
    }
    // The observer is told this read is the wait behind a reply, where
    // nothing coming is the good case.
    LineObserver observer = std::move(link.observer);
    if (observer) {
        link.observer = [&observer](const SerialPort& port, const LineEvent& event) {
            LineEvent behind = event;
            behind.behind_reply = true;
            observer(port, behind);
        };
    }
    std::array<std::uint8_t, trailing_bytes_kept> more{};
    const Transfer extra = port_read(link, more, trailing_bytes_ms);
    link.observer = std::move(observer);
    exchange.trailing.assign(more.begin(), more.begin() + static_cast<std::ptrdiff_t>(extra.count));
}

void probe_ports(std::span<Probe> probes, bool read_behind)
{
    std::vector<std::chrono::steady_clock::time_point> sent(probes.size());
    for (std::size_t i = 0; i < probes.size(); ++i) {
        Probe& probe = probes[i];
        if (probe.link != nullptr && is_open(*probe.link)) {
            port_discard_input(*probe.link);
            probe.identify.sent = send_request(*probe.link, type_request);
            sent[i] = std::chrono::steady_clock::now();
        }
    }
    for (std::size_t i = 0; i < probes.size(); ++i) {
        Probe& probe = probes[i];
        if (probe.link == nullptr || !is_open(*probe.link)) {
            continue;
        }
        Exchange& identify = probe.identify;
        if (identify.sent.end != TransferEnd::complete) {
            identify.received = {.end = identify.sent.end, .error = identify.sent.error};
            continue;
        }
        identify.received = await_reply(*probe.link, probe.reply, sent[i]);
        if (read_behind) {
            read_trailing(*probe.link, identify);
        }
    }
}

Exchange identify_controller(SerialPort& link, ControllerType& type, Rule rule)
{
    std::array<std::uint8_t, type_reply_length> reply{};
    const Exchange result = exchange(link, type_request, reply, rule);
    type = parse_type_reply(reply);
    return result;
}

Exchange query_firmware_version(SerialPort& link, FirmwareVersion& version, Rule rule)
{
    std::array<std::uint8_t, firmware_reply_length> reply{};
    const Exchange result = exchange(link, firmware_request, reply, rule);
    version = parse_firmware_reply(reply);
    return result;
}

Exchange fetch_configuration(SerialPort& link, ConfigurationBytes& configuration, Rule rule)
{
    std::array<std::uint8_t, read_reply_length> reply{};
    const Exchange result = exchange(link, read_request, reply, rule);
    configuration = parse_configuration_reply(reply);
    return result;
}

Exchange store_configuration(SerialPort& link, const ConfigurationBytes& configuration, Rule rule)
{
    const auto frame = build_write_frame(configuration);
    std::array<std::uint8_t, write_ack_length> reply{};
    return exchange(link, frame, reply, rule);
}
