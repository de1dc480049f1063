// The network link in-process, through the serial API as the console uses
// it, against the kit's own misbehaving server. Debian's ser2net is the
// end-to-end tests' (e2e/test_device_server.cpp): the real program on it.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <thread>

#include "device_servers.hpp"
#include "kit.hpp"
#include "serial_link.hpp"

namespace {

using kit::Bytes;
using kit::hex;
using namespace std::chrono_literals;

const LineSettings line_8o1{.baud = 9600, .data_bits = 8, .parity = Parity::odd, .stop_bits = 1};
// The emulated controller's reply, as it gives it on a line of its own.
Bytes reply_to(const Bytes& request)
{
    std::string error;
    std::optional<emulator::Line> line = emulator::make_line({emulator::ControllerSetup{}}, {}, error);
    const std::vector<emulator::Response> responses =
        emulator::feed(*line, request, emulator::Microseconds{0});
    return responses.empty() ? Bytes{} : responses.front().reply;
}
const Bytes type_reply = reply_to(kit::type_request);

SerialPort open_server(ServerScheme scheme, unsigned port, LineObserver observer = {},
                       const NetworkTiming& timing = {})
{
    return open_port(PortName{ServerAddress{.scheme = scheme, .host = "127.0.0.1", .port = port}}, {},
                     line_8o1, std::move(observer), Leaving::as_set, timing);
}

// One request and its reply of `expected` bytes.
Bytes exchange(SerialPort& link, const Bytes& request, std::size_t expected, Transfer* ended = nullptr)
{
    EXPECT_EQ(port_write(link, request, 1000).end, TransferEnd::complete);
    Bytes reply(expected);
    const Transfer received = port_read(link, reply, expected + 1000);
    reply.resize(received.count);
    if (ended != nullptr) {
        *ended = received;
    }
    return reply;
}

TEST(KitServer, TelnetInsideRepliesIsTakenOutAndTheObserverSeesOnlyTheLine)
{
    // NOP, a line-state notice and an offer to refuse; the reply's own 0xFF
    // comes doubled.
    const Bytes inside{255, 241, 255, 250, 44, 106, 0x60, 255, 240, 255, 251, 5};
    auto server = kit::start_telnet_server({.inside_replies = inside});
    Bytes sent, received;
    SerialPort link = open_server(
        ServerScheme::rfc2217, kit::port_of(*server), [&](const SerialPort&, const LineEvent& event) {
            Bytes& to = event.kind == LineEvent::Kind::sent ? sent : received;
            if (event.kind == LineEvent::Kind::sent || event.kind == LineEvent::Kind::received) {
                to.insert(to.end(), event.bytes.begin(), event.bytes.end());
            }
        });
    ASSERT_TRUE(is_open(link));
    EXPECT_EQ(exchange(link, kit::type_request, 12), type_reply);
    EXPECT_EQ(exchange(link, kit::firmware_request, 8), reply_to(kit::firmware_request));
    EXPECT_EQ(hex(sent), hex(kit::concat({kit::type_request, kit::firmware_request})));
    EXPECT_EQ(hex(received), hex(kit::concat({type_reply, reply_to(kit::firmware_request)})));
    const kit::ServerSeen seen = kit::seen_by(*server);
    // Undoubled on the server's side: the requests as sent.
    EXPECT_EQ(hex(seen.data), hex(kit::concat({kit::type_request, kit::firmware_request})));
    // ECHO, TERMINAL-TYPE and the offer inside the reply refused.
    const std::string negotiation = hex(seen.negotiation);
    EXPECT_NE(negotiation.find("FF FE 01"), std::string::npos) << negotiation;
    EXPECT_NE(negotiation.find("FF FC 18"), std::string::npos) << negotiation;
    EXPECT_NE(negotiation.find("FF FE 05"), std::string::npos) << negotiation;
    // 9600 Bd, 8 bits, odd, 1 stop bit, no flow control, both buffers purged.
    const std::vector<std::pair<std::uint8_t, std::uint32_t>> settings{{1, 9600}, {2, 8}, {3, 2},
                                                                       {4, 1},    {5, 1}, {12, 3}};
    EXPECT_EQ(seen.com_port, settings);
}

// Each way a server may answer the open: whether the line opens and on
// whose settings, what the server said, and what the first request gets.
TEST(KitServer, EachServersAnswerToTheOpenIsTakenAsSuch)
{
    struct Case {
        const char* what;
        kit::ServerScript script;
        OpenStatus status;
        bool own_settings;
        std::optional<std::uint32_t> baud; // as the server answered it
        Bytes reply;
        TransferEnd end;
    };
    constexpr auto open = OpenStatus::open;
    constexpr auto busy = OpenStatus::in_use_by_another_client;
    constexpr auto refused = OpenStatus::settings_refused;
    const std::string words = "Port already in use\r\n"; // as ser2net says it
    constexpr auto complete = TransferEnd::complete;
    constexpr auto hung_up = TransferEnd::hung_up;
    // The first five bytes of a reply that is cut: over telnet 0xFF goes doubled.
    const Bytes first_four(type_reply.begin(), type_reply.begin() + 4);
    const Bytes first_five(type_reply.begin(), type_reply.begin() + 5);
    const Case cases[] = {
        {"bare TCP", {.telnet = false}, open, true, {}, type_reply, complete},
        {"SET-CONTROL unanswered", {.answer_control = false}, open, false, 9600, type_reply, complete},
        {"COM-PORT-OPTION refused", {.refuse_com_port = true}, open, true, {}, type_reply, complete},
        {"other settings answered", {.answered_baud = 19200}, refused, false, 19200, {}, {}},
        {"words first", {.greeting = words}, busy, false, {}, {}, {}},
        {"words first, bare", {.telnet = false, .greeting = words}, busy, false, {}, {}, {}},
        {"a close first", {.close_after_greeting = true}, busy, false, {}, {}, {}},
        {"a close first, bare", {.telnet = false, .close_after_greeting = true}, busy, false, {}, {}, {}},
        {"a close inside a reply", {.close_inside_reply = 5}, open, false, 9600, first_four, hung_up},
        {"the same, bare", {.telnet = false, .close_inside_reply = 5}, open, true, {}, first_five, hung_up},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto server = kit::start_telnet_server(c.script);
        SerialPort link = open_server(c.script.telnet ? ServerScheme::rfc2217 : ServerScheme::socket,
                                      kit::port_of(*server), {}, {.answers_ms = 200});
        ASSERT_EQ(link.status, c.status);
        EXPECT_EQ(link.server.said, c.script.greeting);
        if (c.status != busy) { // a busy server may answer a setting before its words are seen
            EXPECT_EQ(link.server.answers.baud, c.baud);
        }
        if (c.status == open) {
            EXPECT_EQ(link.server.own_settings, c.own_settings);
            Transfer ended;
            EXPECT_EQ(hex(exchange(link, kit::type_request, 12, &ended)), hex(c.reply));
            EXPECT_EQ(ended.end, c.end);
            EXPECT_EQ(kit::seen_by(*server).negotiation.empty(), !c.script.telnet);
        }
        const kit::ServerSeen seen = kit::seen_by(*server);
        // No request goes to a server that spoke first or refused the line.
        EXPECT_EQ(hex(seen.data), hex(c.status == open ? kit::type_request : Bytes{}));
        if (c.script.refuse_com_port) {
            EXPECT_TRUE(seen.com_port.empty());
        }
    }
    // A reset is said with the system's error (over telnet, an answer's
    // send may take the error first and leave a plain close).
    auto resetting = kit::start_telnet_server({.telnet = false, .close_after_greeting = true, .reset = true});
    EXPECT_EQ(open_server(ServerScheme::socket, kit::port_of(*resetting)).system_error, ECONNRESET);
}

TEST(KitServer, ASilentServerCarriesTheLineAndItsWaitEndsThroughASignal)
{
    auto silent = kit::start_telnet_server({.silent = true});
    SerialPort quiet = open_server(ServerScheme::rfc2217, kit::port_of(*silent), {}, {.answers_ms = 200});
    ASSERT_TRUE(is_open(quiet));
    EXPECT_TRUE(quiet.server.own_settings);
    // A signal inside the wait (a terminal resized) does not end it, and
    // the wait still ends.
    struct sigaction ignored {};
    ignored.sa_handler = [](int) {};
    sigaction(SIGUSR1, &ignored, nullptr);
    std::thread signaller([reader = pthread_self()] {
        std::this_thread::sleep_for(100ms);
        pthread_kill(reader, SIGUSR1);
    });
    Transfer ended;
    EXPECT_TRUE(exchange(quiet, kit::type_request, 12, &ended).empty());
    EXPECT_EQ(ended.end, TransferEnd::timed_out);
    signaller.join();
}

TEST(Connect, RefusedUnknownHostAndTimedOutAreSaidAsSuch)
{
    const unsigned free = kit::free_loopback_port();
    SerialPort refused = open_server(ServerScheme::rfc2217, free);
    EXPECT_EQ(refused.status, OpenStatus::connection_refused);
    EXPECT_NE(refused.system_error, 0);
    // ::1 resolves where the machine has an IPv6 address of its own (AI_ADDRCONFIG).
    SerialPort v6 = open_port(PortName{ServerAddress{.host = "::1", .port = free}}, {}, line_8o1);
    if (v6.failed_call != "getaddrinfo") {
        EXPECT_EQ(v6.status, OpenStatus::connection_refused);
        EXPECT_EQ(v6.device, "[::1]:" + std::to_string(free));
    }

    SerialPort unknown =
        open_port(PortName{ServerAddress{.host = "no-such-host.invalid", .port = 4001}}, {}, line_8o1);
    EXPECT_EQ(unknown.status, OpenStatus::no_such_host);
    EXPECT_EQ(unknown.failed_call, "getaddrinfo");

    // A listener whose queue is full drops the next handshake: the connect
    // runs out of its own time.
    auto full = kit::full_listener();
    SerialPort late = open_server(ServerScheme::rfc2217, full.port, {}, {.connect_ms = 300});
    EXPECT_EQ(late.status, OpenStatus::connect_timed_out);

    // A server that stops reading: the write runs out of its time, and says
    // how much went.
    auto deaf = kit::full_listener(0);
    SerialPort unread = open_server(ServerScheme::socket, deaf.port);
    ASSERT_TRUE(is_open(unread));
    const Bytes lot(16 << 20, 0x28);
    const Transfer sent = port_write(unread, lot, 300);
    EXPECT_EQ(sent.end, TransferEnd::timed_out);
    EXPECT_LT(sent.count, lot.size());
}

} // namespace
