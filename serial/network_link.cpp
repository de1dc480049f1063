// A port on a device server: the telnet stream taken apart and answered
// here, on whatever sockets the platform gives.

#include "network_link.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "socket_platform.hpp"
#include "telnet.hpp"

using Clock = std::chrono::steady_clock;

struct NetworkLine {
    sockets::SocketHandle socket{};
    bool telnet = false;
    telnet::Decoder decoder{};
    telnet::Options options{};
    std::vector<std::uint8_t> data{}; // the line's bytes received and not yet read
};

void NetworkLineClose::operator()(NetworkLine* line) const
{
    delete line;
}

namespace {

using telnet::ComPortCommand;

// A busy server's words are short; more than this before the first request
// is a line's bytes, or a server gone wrong, and the open stops looking.
constexpr std::size_t greeting_limit = 256;

// A refusal or agreement the server is owed: small, so it goes out at once
// or not at all.
constexpr auto answer_time = std::chrono::milliseconds(200);

Clock::time_point after_ms(unsigned ms)
{
    return Clock::now() + std::chrono::milliseconds(ms);
}

// One receive: the line's bytes to `line.data`, the server's negotiation
// answered, and its events to `events` when asked for.
Transfer receive_step(NetworkLine& line, sockets::Deadline deadline, std::vector<telnet::Event>* events)
{
    std::array<std::uint8_t, 512> chunk{};
    const Transfer got = sockets::receive_some(*line.socket, chunk, deadline);
    const std::span<const std::uint8_t> bytes = std::span(chunk).first(got.count);
    if (!line.telnet) {
        line.data.insert(line.data.end(), bytes.begin(), bytes.end());
        return got;
    }
    std::vector<telnet::Event> seen;
    telnet::decode(line.decoder, bytes, line.data, seen);
    std::vector<std::uint8_t> replies;
    for (const telnet::Event& event : seen) {
        const std::vector<std::uint8_t> reply = telnet::answer(line.options, event);
        replies.insert(replies.end(), reply.begin(), reply.end());
    }
    if (!replies.empty()) {
        (void)sockets::send_all(*line.socket, replies, Clock::now() + answer_time);
    }
    if (events != nullptr) {
        events->insert(events->end(), seen.begin(), seen.end());
    }
    return got;
}

std::uint8_t parity_code(Parity parity)
{
    return parity == Parity::none  ? telnet::parity_none
           : parity == Parity::odd ? telnet::parity_odd
                                   : telnet::parity_even;
}

std::vector<std::uint8_t> line_requests(const LineSettings& line)
{
    std::vector<std::uint8_t> out;
    telnet::append_com_port(out, ComPortCommand::set_baudrate, line.baud, 4);
    telnet::append_com_port(out, ComPortCommand::set_datasize, line.data_bits, 1);
    telnet::append_com_port(out, ComPortCommand::set_parity, parity_code(line.parity), 1);
    telnet::append_com_port(out, ComPortCommand::set_stopsize, line.stop_bits, 1);
    telnet::append_com_port(out, ComPortCommand::set_control, telnet::control_none, 1);
    telnet::append_com_port(out, ComPortCommand::purge_data, telnet::purge_both, 1);
    return out;
}

void note_answer(ComPortAnswers& answers, const telnet::Event& event)
{
    if (event.kind != telnet::Event::Kind::com_port) {
        return;
    }
    const auto byte = static_cast<std::uint8_t>(event.value);
    switch (event.command) {
    case ComPortCommand::set_baudrate:
        answers.baud = event.value;
        break;
    case ComPortCommand::set_datasize:
        answers.data_size = byte;
        break;
    case ComPortCommand::set_parity:
        answers.parity = byte;
        break;
    case ComPortCommand::set_stopsize:
        answers.stop_size = byte;
        break;
    case ComPortCommand::set_control:
        answers.control = byte;
        break;
    case ComPortCommand::purge_data:
        answers.purged = true;
        break;
    default: // line and modem state notices: nothing asked for
        break;
    }
}

bool all_answered(const ComPortAnswers& answers)
{
    return answers.baud && answers.data_size && answers.parity && answers.stop_size && answers.control &&
           answers.purged;
}

struct Opening {
    bool settings_sent = false;
    bool closed = false; // the server closed, or reset, before the first request
    int error = 0;
};

// Until the server has answered all (RFC 2217), refused COM-PORT-OPTION,
// spoken, closed, or the time is up. Only the time bounds the wait, so a
// server that ignores anything still gets its line used.
void negotiate(NetworkLine& line, SerialPort& link, sockets::Deadline deadline, Opening& opening)
{
    const telnet::OptionState& com_port = line.options.local[telnet::com_port_option];
    for (;;) {
        if (line.telnet && !opening.settings_sent && com_port == telnet::OptionState::on) {
            const std::vector<std::uint8_t> requests = line_requests(link.line);
            (void)sockets::send_all(*line.socket, requests, Clock::now() + answer_time);
            opening.settings_sent = true;
        }
        const bool refused = line.telnet && com_port == telnet::OptionState::refused;
        if (line.data.size() >= greeting_limit || refused ||
            (opening.settings_sent && all_answered(link.server.answers))) {
            return;
        }
        std::vector<telnet::Event> events;
        const Transfer got = receive_step(line, deadline, &events);
        for (const telnet::Event& event : events) {
            note_answer(link.server.answers, event);
        }
        if (got.end == TransferEnd::timed_out) {
            return;
        }
        if (got.end != TransferEnd::complete) {
            opening.closed = true;
            opening.error = got.error;
            return;
        }
    }
}

} // namespace

bool network::is_server_text(std::span<const std::uint8_t> bytes)
{
    return !bytes.empty() && std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t byte) {
        return (byte >= 0x20 && byte < 0x7F) || byte == '\r' || byte == '\n' || byte == '\t';
    });
}

bool network::answers_hold(const ComPortAnswers& answers, const LineSettings& line)
{
    return (!answers.baud || *answers.baud == line.baud) &&
           (!answers.data_size || *answers.data_size == line.data_bits) &&
           (!answers.parity || *answers.parity == parity_code(line.parity)) &&
           (!answers.stop_size || *answers.stop_size == line.stop_bits);
}

void network::open(SerialPort& link, const ServerAddress& server, const NetworkTiming& timing)
{
    sockets::Connection connection =
        sockets::connect_to(server.host, server.port, after_ms(timing.connect_ms));
    link.device = connection.address;
    if (!connection.socket) {
        link.status = connection.status;
        link.system_error = connection.error;
        link.failed_call = connection.failed_call;
        return;
    }
    std::unique_ptr<NetworkLine, NetworkLineClose> line(
        new NetworkLine{.socket = std::move(connection.socket)});
    line->telnet = server.scheme == ServerScheme::rfc2217;
    if (line->telnet) {
        const std::vector<std::uint8_t> opening = telnet::opening(line->options);
        const Transfer sent = sockets::send_all(*line->socket, opening, Clock::now() + answer_time);
        if (sent.end != TransferEnd::complete) {
            link.status = OpenStatus::in_use_by_another_client;
            link.system_error = sent.error;
            return;
        }
    }
    Opening opening;
    negotiate(*line, link, after_ms(line->telnet ? timing.answers_ms : timing.greeting_ms), opening);
    const std::span<const std::uint8_t> early(line->data.data(), std::min(line->data.size(), greeting_limit));
    if (opening.closed || is_server_text(early)) {
        link.server.said = is_server_text(early) ? std::string(early.begin(), early.end()) : "";
        link.status = OpenStatus::in_use_by_another_client;
        link.system_error = opening.error;
        return;
    }
    link.server.own_settings =
        !line->telnet || line->options.local[telnet::com_port_option] != telnet::OptionState::on;
    if (!answers_hold(link.server.answers, link.line)) {
        link.status = OpenStatus::settings_refused;
        return;
    }
    // Bytes that came before any request stay for the caller, as a line's
    // waiting input does.
    link.network_line = std::move(line);
    link.status = OpenStatus::open;
}

Transfer network::write(NetworkLine& line, std::span<const std::uint8_t> bytes, unsigned timeout_ms)
{
    const sockets::Deadline deadline = after_ms(timeout_ms);
    if (!line.telnet) {
        return sockets::send_all(*line.socket, bytes, deadline);
    }
    std::vector<std::uint8_t> out;
    telnet::append_data(out, bytes);
    Transfer sent = sockets::send_all(*line.socket, out, deadline);
    // In the caller's bytes: those whose whole encoding went out.
    std::size_t encoded = 0;
    std::size_t count = 0;
    for (const std::uint8_t byte : bytes) {
        encoded += byte == telnet::iac ? 2 : 1;
        if (encoded > sent.count) {
            break;
        }
        ++count;
    }
    sent.count = count;
    return sent;
}

Transfer network::read(NetworkLine& line, std::span<std::uint8_t> bytes, unsigned timeout_ms)
{
    const sockets::Deadline deadline = after_ms(timeout_ms);
    Transfer received;
    for (;;) {
        const std::size_t n = std::min(line.data.size(), bytes.size() - received.count);
        std::copy_n(line.data.begin(), n, bytes.begin() + static_cast<std::ptrdiff_t>(received.count));
        line.data.erase(line.data.begin(), line.data.begin() + static_cast<std::ptrdiff_t>(n));
        received.count += n;
        if (received.count == bytes.size()) {
            return received;
        }
        const Transfer got = receive_step(line, deadline, nullptr);
        if (got.end != TransferEnd::complete) {
            received.end = got.end;
            received.error = got.error;
            return received;
        }
    }
}
