// Ports on device servers, the pure parts: names, the telnet codec, and the
// open's judgements.

#include <gtest/gtest.h>

#include <numeric>

#include "messages/words.hpp"
#include "network_link.hpp"
#include "telnet.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using telnet::Event;

TEST(PortName, TakesComPortsAndServersAndSaysWhyNot)
{
    struct Case {
        const char* text;
        PortNameProblem problem;
        const char* as_text;
        const char* as_file;
    };
    const Case cases[] = {
        {"COM7", PortNameProblem::none, "COM7", "COM7"},
        {"com4096", PortNameProblem::none, "COM4096", "COM4096"},
        {"rfc2217://10.0.0.5:4001", PortNameProblem::none, "rfc2217://10.0.0.5:4001",
         "rfc2217-10.0.0.5-4001"},
        {"RFC2217://bench-3.plant.example:1", PortNameProblem::none, "rfc2217://bench-3.plant.example:1",
         "rfc2217-bench-3.plant.example-1"},
        {"socket://[fe80::1]:65535", PortNameProblem::none, "socket://[fe80::1]:65535",
         "socket-fe80--1-65535"},
        {"socket://[::ffff:10.0.0.1]:23", PortNameProblem::none, "socket://[::ffff:10.0.0.1]:23",
         "socket---ffff-10.0.0.1-23"},
        {"COM0", PortNameProblem::not_a_port, "", ""},
        {"CQM7", PortNameProblem::not_a_port, "", ""},
        {"/dev/ttyUSB0", PortNameProblem::not_a_port, "", ""},
        {"telnet://host:23", PortNameProblem::unknown_scheme, "", ""},
        {"://host:23", PortNameProblem::unknown_scheme, "", ""},
        {"rfc2217://:4001", PortNameProblem::no_host, "", ""},
        {"rfc2217://[]:4001", PortNameProblem::no_host, "", ""},
        {"rfc2217://host", PortNameProblem::no_port, "", ""},
        {"rfc2217://host:", PortNameProblem::no_port, "", ""},
        {"socket://[::1]", PortNameProblem::no_port, "", ""},
        {"rfc2217://host:0", PortNameProblem::bad_port, "", ""},
        {"rfc2217://host:65536", PortNameProblem::bad_port, "", ""},
        {"rfc2217://host:4001/", PortNameProblem::bad_port, "", ""},
        {"rfc2217://host:40x1", PortNameProblem::bad_port, "", ""},
        {"rfc2217://host:4001?timeout=1", PortNameProblem::bad_port, "", ""},
        {"rfc2217://ho/st:4001", PortNameProblem::bad_host, "", ""},
        {"rfc2217://-host:4001", PortNameProblem::bad_host, "", ""},
        {"rfc2217://[host]:4001", PortNameProblem::bad_host, "", ""},
        {"rfc2217://[::1:4001", PortNameProblem::bad_host, "", ""},
        {"rfc2217://[::1]4001", PortNameProblem::bad_host, "", ""},
        {"rfc2217://::1:4001", PortNameProblem::no_host, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const ParsedPortName parsed = parse_port_name(c.text);
        EXPECT_EQ(parsed.problem, c.problem);
        ASSERT_EQ(parsed.name.has_value(), c.problem == PortNameProblem::none);
        if (parsed.name) {
            EXPECT_EQ(port_name_text(*parsed.name), c.as_text);
            EXPECT_EQ(port_file_name(*parsed.name), c.as_file);
        }
    }
    EXPECT_TRUE(looks_like_url("telnet://x"));
    EXPECT_FALSE(looks_like_url("COM3"));
    const ParsedPortName server = parse_port_name("socket://Host:80");
    EXPECT_EQ(std::get<ServerAddress>(*server.name),
              (ServerAddress{.scheme = ServerScheme::socket, .host = "Host", .port = 80}));
}

struct Decoded {
    Bytes data;
    std::vector<Event> events;
    telnet::Decoder decoder;
};

Decoded decode_in_pieces(const Bytes& stream, std::size_t piece)
{
    Decoded out;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        const std::size_t n = std::min(piece, stream.size() - at);
        telnet::decode(out.decoder, std::span(stream).subspan(at, n), out.data, out.events);
    }
    return out;
}

Event com_port(telnet::ComPortCommand command, std::uint32_t value, std::size_t size)
{
    return {
        .kind = Event::Kind::com_port, .option = 44, .command = command, .value = value, .value_size = size};
}

TEST(Telnet, TakesEveryCommandOutOfTheDataWhereverItFalls)
{
    struct Case {
        const char* what;
        Bytes stream;
        Bytes data;
        std::vector<Event> events;
    };
    const Case cases[] = {
        {"plain data", {0x28, 0x59, 0x80}, {0x28, 0x59, 0x80}, {}},
        {"IAC IAC is one 0xFF", {0xFF, 0xFF, 0x28}, {0xFF, 0x28}, {}},
        {"negotiation",
         {1, 255, 251, 3, 2, 255, 254, 1},
         {1, 2},
         {{.kind = Event::Kind::will, .option = 3}, {.kind = Event::Kind::dont, .option = 1}}},
        {"NOP and GA",
         {255, 241, 7, 255, 249},
         {7},
         {{.kind = Event::Kind::command, .option = 241}, {.kind = Event::Kind::command, .option = 249}}},
        {"SET-BAUDRATE answered",
         {9, 255, 250, 44, 101, 0, 0, 0x25, 0x80, 255, 240, 10},
         {9, 10},
         {com_port(telnet::ComPortCommand::set_baudrate, 9600, 4)}},
        {"a value holding 0xFF comes doubled",
         {255, 250, 44, 101, 0, 0, 255, 255, 0, 255, 240},
         {},
         {com_port(telnet::ComPortCommand::set_baudrate, 0xFF00, 4)}},
        {"line-state notice",
         {255, 250, 44, 106, 0x60, 255, 240},
         {},
         {com_port(telnet::ComPortCommand::notify_linestate, 0x60, 1)}},
        {"purge acknowledged",
         {255, 250, 44, 112, 3, 255, 240},
         {},
         {com_port(telnet::ComPortCommand::purge_data, 3, 1)}},
        {"another option's subnegotiation",
         {255, 250, 24, 1, 255, 240, 5},
         {5},
         {{.kind = Event::Kind::subnegotiation, .option = 24}}},
        {"a client's code from the server is not an answer",
         {255, 250, 44, 1, 0, 255, 240},
         {},
         {{.kind = Event::Kind::subnegotiation, .option = 44}}},
        {"a subnegotiation without SE ends at the next command",
         {255, 250, 44, 105, 1, 255, 251, 0, 8},
         {8},
         {com_port(telnet::ComPortCommand::set_control, 1, 1), {.kind = Event::Kind::will, .option = 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (std::size_t piece = 1; piece <= c.stream.size(); ++piece) {
            const Decoded decoded = decode_in_pieces(c.stream, piece);
            EXPECT_EQ(decoded.data, c.data) << "in pieces of " << piece;
            EXPECT_EQ(decoded.events, c.events) << "in pieces of " << piece;
        }
    }
}

TEST(Telnet, ASubnegotiationThatNeverEndsKeepsItsBound)
{
    Bytes stream{255, 250, 44, 101};
    stream.resize(100'000, 0x41);
    Decoded decoded = decode_in_pieces(stream, 4096);
    EXPECT_TRUE(decoded.data.empty());
    EXPECT_TRUE(decoded.events.empty());
    EXPECT_LE(decoded.decoder.kept_size, telnet::subnegotiation_limit);
    const Bytes end{255, 240, 0x28};
    telnet::decode(decoded.decoder, end, decoded.data, decoded.events);
    ASSERT_EQ(decoded.events.size(), 1u);
    EXPECT_EQ(decoded.events[0].kind, Event::Kind::subnegotiation);
    EXPECT_TRUE(decoded.events[0].cut);
    EXPECT_EQ(decoded.data, Bytes{0x28});
}

TEST(Telnet, DataAndRequestsGoOutWithEveryIacDoubled)
{
    Bytes out;
    telnet::append_data(out, Bytes{0xFF, 0x28, 0xFF, 0xFF});
    EXPECT_EQ(out, (Bytes{0xFF, 0xFF, 0x28, 0xFF, 0xFF, 0xFF, 0xFF}));
    out.clear();
    telnet::append_com_port(out, telnet::ComPortCommand::set_baudrate, 9600, 4);
    EXPECT_EQ(out, (Bytes{255, 250, 44, 1, 0, 0, 0x25, 0x80, 255, 240}));
    out.clear();
    telnet::append_com_port(out, telnet::ComPortCommand::set_baudrate, 0x0001FF00, 4);
    EXPECT_EQ(out, (Bytes{255, 250, 44, 1, 0, 1, 255, 255, 0, 255, 240}));
    telnet::Options options;
    EXPECT_EQ(telnet::opening(options), (Bytes{255, 251, 0, 255, 253, 0, 255, 251, 44}));
}

TEST(Telnet, AnswersAgreeOnceRefuseTheRestAndNeverLoop)
{
    struct Step {
        Event::Kind kind;
        std::uint8_t option;
        Bytes reply;
    };
    // After this side's opening (WILL/DO BINARY, WILL COM-PORT-OPTION).
    const Step steps[] = {
        {Event::Kind::do_, 0, {}},               // agrees to what was asked: no reply
        {Event::Kind::will, 0, {}},              //
        {Event::Kind::do_, 44, {}},              //
        {Event::Kind::do_, 44, {}},              // said again: still nothing
        {Event::Kind::will, 3, {255, 253, 3}},   // SUPPRESS-GO-AHEAD offered: taken
        {Event::Kind::do_, 3, {255, 251, 3}},    //
        {Event::Kind::will, 1, {255, 254, 1}},   // ECHO: refused
        {Event::Kind::do_, 24, {255, 252, 24}},  // TERMINAL-TYPE: refused
        {Event::Kind::dont, 1, {}},              // never on: nothing to say
        {Event::Kind::wont, 3, {255, 254, 3}},   // was on: acknowledged
        {Event::Kind::wont, 3, {}},              // and only once
        {Event::Kind::dont, 44, {255, 252, 44}}, // withdrawn after agreeing
        {Event::Kind::command, 241, {}},         // not a negotiation
    };
    telnet::Options options;
    (void)telnet::opening(options);
    for (const Step& step : steps) {
        SCOPED_TRACE(std::to_string(static_cast<int>(step.kind)) + " " + std::to_string(step.option));
        EXPECT_EQ(telnet::answer(options, {.kind = step.kind, .option = step.option}), step.reply);
    }
    EXPECT_EQ(options.local[44], telnet::OptionState::off);

    telnet::Options refusing;
    (void)telnet::opening(refusing);
    EXPECT_TRUE(telnet::answer(refusing, {.kind = Event::Kind::dont, .option = 44}).empty());
    EXPECT_EQ(refusing.local[44], telnet::OptionState::refused);
    EXPECT_TRUE(telnet::answer(refusing, {.kind = Event::Kind::dont, .option = 44}).empty());
    EXPECT_EQ(refusing.local[44], telnet::OptionState::refused);
}

TEST(NetworkOpen, ServerTextAndAnswersAreJudged)
{
    const auto bytes = [](std::string_view text) { return Bytes(text.begin(), text.end()); };
    EXPECT_TRUE(network::is_server_text(bytes("Port already in use\r\n")));
    EXPECT_TRUE(network::is_server_text(bytes("Port's device already in use\r\n")));
    EXPECT_FALSE(network::is_server_text({}));
    EXPECT_FALSE(network::is_server_text(Bytes{0xFF, 0x28, 0x5A}));
    EXPECT_FALSE(network::is_server_text(Bytes{'O', 'K', 0x00}));

    const LineSettings line{.baud = 9600, .data_bits = 8, .parity = Parity::odd, .stop_bits = 1};
    EXPECT_TRUE(network::answers_hold({}, line));
    EXPECT_TRUE(network::answers_hold(
        {.baud = 9600, .data_size = 8, .parity = 2, .stop_size = 1, .control = 3}, line));
    EXPECT_FALSE(network::answers_hold({.baud = 19200}, line));
    EXPECT_FALSE(network::answers_hold({.data_size = 7}, line));
    EXPECT_FALSE(network::answers_hold({.parity = 3}, line));
    EXPECT_FALSE(network::answers_hold({.stop_size = 2}, line));
}

// The server's words and other settings answered are said whole by the
// end-to-end tests, from the program.
TEST(NetworkOpen, EveryStatusHasItsWords)
{
    SerialPort link;
    link.name = ServerAddress{.host = "10.0.0.5", .port = 4001};
    link.status = OpenStatus::in_use_by_another_client;
    EXPECT_EQ(open_failure_text(link), "in use by another client of the server; end it and try again");
    for (const OpenStatus status :
         {OpenStatus::connection_refused, OpenStatus::no_such_host, OpenStatus::connect_timed_out}) {
        link.status = status;
        EXPECT_NE(open_failure_text(link).find("server"), std::string::npos) << open_failure_text(link);
    }
}

} // namespace
