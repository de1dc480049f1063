// The network link in-process, through the serial API as the console uses
// it: against Debian's ser2net in front of the emulator's pseudo-terminal,
// and against the kit's own misbehaving server.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <thread>
#include <tuple>

#include "device_servers.hpp"
#include "kit.hpp"
#include "pty_line.hpp"
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

ServerAddress loopback(ServerScheme scheme, unsigned port)
{
    return {.scheme = scheme, .host = "127.0.0.1", .port = port};
}

SerialPort open_server(ServerScheme scheme, unsigned port, LineObserver observer = {},
                       const NetworkTiming& timing = {})
{
    return open_port(PortName{loopback(scheme, port)}, {}, line_8o1, std::move(observer), Leaving::as_set,
                     timing);
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

// The bytes every path here sends: the three requests and a write frame,
// whose start byte 0xFF is telnet's IAC.
Bytes session(SerialPort& link)
{
    Bytes replies;
    for (const Bytes& request : {kit::type_request, kit::firmware_request, kit::read_request,
                                 kit::write_frame({7, 3, 0x7E, 0x7E, 0x48, 0x7F})}) {
        const Bytes reply = exchange(link, request, reply_to(request).size());
        replies.insert(replies.end(), reply.begin(), reply.end());
    }
    return replies;
}

struct Served {
    emulator::PtyLineHandle line;
    kit::Ser2netHandle server;
};

Served serve_emulator(const std::string& name, kit::Ser2netMode mode, const std::string& line_default)
{
    std::string error;
    const auto folder = kit::own_directory() / name;
    Served served;
    served.line = emulator::start_pty_line(folder / "ttyS0", {}, error);
    EXPECT_TRUE(served.line) << error;
    if (served.line) {
        served.server =
            kit::start_ser2net(folder, emulator::slave_path(*served.line), mode, error, line_default);
        EXPECT_TRUE(served.server) << error;
    }
    return served;
}

TEST(Ser2net, Rfc2217SetsTheLineAndTheControllerSeesWhatACommPortSends)
{
    std::string error;
    const auto com_folder = kit::own_directory() / "com";
    auto com_line = emulator::start_pty_line(com_folder / "ttyS0", {}, error);
    ASSERT_TRUE(com_line) << error;
    Bytes com_replies;
    {
        SerialPort com = open_port(ComPort{1}, {.prefix = (com_folder / "ttyS").string()}, line_8o1);
        ASSERT_TRUE(is_open(com));
        com_replies = session(com);
    }

    Served served = serve_emulator("rfc2217", kit::Ser2netMode::telnet_rfc2217, "19200e71");
    ASSERT_TRUE(served.server);
    Bytes net_replies;
    {
        SerialPort link = open_server(ServerScheme::rfc2217, served.server->port);
        ASSERT_TRUE(is_open(link)) << static_cast<int>(link.status);
        EXPECT_FALSE(link.server.own_settings);
        EXPECT_EQ(link.server.answers.baud, 9600u);
        EXPECT_EQ(link.server.answers.data_size, 8);
        EXPECT_EQ(link.server.answers.stop_size, 1);
        EXPECT_EQ(port_name_text(link.name), "rfc2217://127.0.0.1:" + std::to_string(served.server->port));
        net_replies = session(link);
    }
    ASSERT_TRUE(emulator::wait_for_requests(*served.line, 4, 2s));
    const emulator::Controller on_com = emulator::snapshot(*com_line);
    const emulator::Controller on_net = emulator::snapshot(*served.line);
    EXPECT_EQ(hex(on_net.received), hex(on_com.received));
    EXPECT_EQ(hex(net_replies), hex(com_replies));
    ASSERT_EQ(on_net.requests.size(), 4u);
    EXPECT_EQ(net_replies.size(), kit::concat({reply_to(kit::type_request), reply_to(kit::firmware_request),
                                               reply_to(kit::read_request)})
                                          .size() +
                                      4u);
    for (const emulator::Request& request : on_net.requests) {
        EXPECT_EQ(request.line_problems, "") << "ser2net's line was not set to 9600 8O1";
    }
}

TEST(Ser2net, ASecondClientIsInUseByAnotherClientWithTheServersWords)
{
    Served served = serve_emulator("busy", kit::Ser2netMode::telnet_rfc2217, "19200e71");
    ASSERT_TRUE(served.server);
    SerialPort first = open_server(ServerScheme::rfc2217, served.server->port);
    ASSERT_TRUE(is_open(first));
    SerialPort second = open_server(ServerScheme::rfc2217, served.server->port);
    EXPECT_FALSE(is_open(second));
    EXPECT_EQ(second.status, OpenStatus::in_use_by_another_client);
    EXPECT_EQ(second.server.said, "Port already in use\r\n");
    EXPECT_EQ(exchange(first, kit::type_request, 12), type_reply);
}

TEST(Ser2net, RawRunsOnTheServersOwnSettings)
{
    // A raw server's other speed is not the program's to change: the
    // controller does not understand the request.
    for (const auto& [name, line_default, understood] :
         {std::tuple{"raw-9600", "9600o81", true}, std::tuple{"raw-19200", "19200e71", false}}) {
        SCOPED_TRACE(name);
        Served served = serve_emulator(name, kit::Ser2netMode::raw, line_default);
        ASSERT_TRUE(served.server);
        SerialPort link = open_server(ServerScheme::socket, served.server->port);
        ASSERT_TRUE(is_open(link));
        EXPECT_TRUE(link.server.own_settings);
        Transfer ended;
        EXPECT_EQ(exchange(link, kit::type_request, 12, &ended), understood ? type_reply : Bytes{});
        EXPECT_EQ(ended.end, understood ? TransferEnd::complete : TransferEnd::timed_out);
    }
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

TEST(KitServer, AServerThatOmitsAnAnswerOrRefusesTheOptionStillCarriesTheLine)
{
    const NetworkTiming quick{.answers_ms = 200};
    auto no_control = kit::start_telnet_server({.answer_control = false});
    SerialPort link = open_server(ServerScheme::rfc2217, kit::port_of(*no_control), {}, quick);
    ASSERT_TRUE(is_open(link));
    EXPECT_FALSE(link.server.own_settings);
    EXPECT_FALSE(link.server.answers.control);
    EXPECT_EQ(link.server.answers.baud, 9600u);
    EXPECT_EQ(exchange(link, kit::type_request, 12), type_reply);

    auto refusing = kit::start_telnet_server({.refuse_com_port = true});
    SerialPort own = open_server(ServerScheme::rfc2217, kit::port_of(*refusing), {}, quick);
    ASSERT_TRUE(is_open(own));
    EXPECT_TRUE(own.server.own_settings);
    EXPECT_TRUE(kit::seen_by(*refusing).com_port.empty());
    EXPECT_EQ(exchange(own, kit::type_request, 12), type_reply);

    auto silent = kit::start_telnet_server({.silent = true});
    SerialPort quiet = open_server(ServerScheme::rfc2217, kit::port_of(*silent), {}, quick);
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

TEST(KitServer, OtherSettingsAnsweredAreRefused)
{
    auto server = kit::start_telnet_server({.answered_baud = 19200});
    SerialPort link = open_server(ServerScheme::rfc2217, kit::port_of(*server));
    EXPECT_FALSE(is_open(link));
    EXPECT_EQ(link.status, OpenStatus::settings_refused);
    EXPECT_EQ(link.server.answers.baud, 19200u);
}

TEST(KitServer, WordsOrACloseBeforeTheFirstRequestAreInUseByAnotherClient)
{
    for (const bool telnet : {true, false}) {
        SCOPED_TRACE(telnet ? "rfc2217" : "socket");
        const ServerScheme scheme = telnet ? ServerScheme::rfc2217 : ServerScheme::socket;
        auto words = kit::start_telnet_server({.telnet = telnet, .greeting = "Port already in use\r\n"});
        SerialPort busy = open_server(scheme, kit::port_of(*words));
        EXPECT_EQ(busy.status, OpenStatus::in_use_by_another_client);
        EXPECT_EQ(busy.server.said, "Port already in use\r\n");

        auto closing = kit::start_telnet_server({.telnet = telnet, .close_after_greeting = true});
        SerialPort closed = open_server(scheme, kit::port_of(*closing));
        EXPECT_FALSE(is_open(closed));
        EXPECT_EQ(closed.status, OpenStatus::in_use_by_another_client);
        EXPECT_EQ(closed.server.said, "");
    }
    // A reset is said with the system's error (over telnet, an answer's
    // send may take the error first and leave a plain close).
    auto resetting = kit::start_telnet_server({.telnet = false, .close_after_greeting = true, .reset = true});
    EXPECT_EQ(open_server(ServerScheme::socket, kit::port_of(*resetting)).system_error, ECONNRESET);
}

TEST(KitServer, ACloseInsideAReplyIsAHangUpWithWhatCame)
{
    for (const bool telnet : {true, false}) {
        SCOPED_TRACE(telnet ? "rfc2217" : "socket");
        auto server = kit::start_telnet_server({.telnet = telnet, .close_inside_reply = 5});
        SerialPort link =
            open_server(telnet ? ServerScheme::rfc2217 : ServerScheme::socket, kit::port_of(*server));
        ASSERT_TRUE(is_open(link));
        Transfer ended;
        const Bytes reply = exchange(link, kit::type_request, 12, &ended);
        EXPECT_EQ(ended.end, TransferEnd::hung_up);
        // 0xFF goes doubled over telnet: the first five bytes hold four.
        EXPECT_EQ(hex(reply), hex(Bytes(type_reply.begin(), type_reply.begin() + (telnet ? 4 : 5))));
    }
}

TEST(KitServer, SocketSendsTheBytesBare)
{
    auto server = kit::start_telnet_server({.telnet = false});
    SerialPort link = open_server(ServerScheme::socket, kit::port_of(*server));
    ASSERT_TRUE(is_open(link));
    EXPECT_TRUE(link.server.own_settings);
    EXPECT_EQ(exchange(link, kit::type_request, 12), type_reply);
    EXPECT_EQ(hex(kit::seen_by(*server).data), hex(kit::type_request));
    EXPECT_TRUE(kit::seen_by(*server).negotiation.empty());
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
