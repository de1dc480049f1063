// Controllers behind a device server: Debian's ser2net in front of the
// emulator's line, in both its modes, and the kit's own server where a
// server misbehaves. The same commands as on a COM port, the same bytes on
// the controller's line.

#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <thread>

#include "device_servers.hpp"
#include "expected_screens.hpp"
#include "session.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string conf_a = "# ZML-4C08, firmware 105\n" + settings_a;

struct Served {
    emulator::PtyLineHandle line;
    kit::Ser2netHandle server;
    std::string url;
};

// ser2net serving an emulated controller; rfc2217 at its own 19200 7E1,
// which only the program's RFC 2217 can set right, raw at 9600 8O1 as a
// technician sets a server the program cannot set.
Served serve(const std::string& name, kit::Ser2netMode mode, const emulator::ControllerSetup& setup = {})
{
    std::string error;
    const fs::path folder = kit::own_directory() / name;
    Served served;
    served.line = emulator::start_pty_line(folder / "ttyS0", setup, error);
    EXPECT_TRUE(served.line) << error;
    if (served.line) {
        const bool telnet = mode == kit::Ser2netMode::telnet_rfc2217;
        served.server = kit::start_ser2net(folder, emulator::slave_path(*served.line), mode, error,
                                           telnet ? "19200e71" : "9600o81");
        EXPECT_TRUE(served.server) << error;
        if (served.server) {
            served.url = (telnet ? "rfc2217://127.0.0.1:" : "socket://127.0.0.1:") +
                         std::to_string(served.server->port);
        }
    }
    return served;
}

std::string line_problems(const emulator::PtyLine& line)
{
    std::string problems;
    for (const emulator::Request& request : emulator::snapshot(line).requests) {
        problems += request.line_problems;
    }
    return problems;
}

} // namespace

// The two sessions the Windows build runs too: its link over Winsock.
TEST(DeviceServer, ReadAndTheDialogueOverRfc2217SetTheServersLineAndSendWhatACommPortSends)
{
    Served served = serve("rfc2217", kit::Ser2netMode::telnet_rfc2217, {.configuration = configuration_a()});
    ASSERT_TRUE(served.server);
    ProgramResult result = run_with({"--port", served.url, "--read"});
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    EXPECT_EQ(result.output, conf_a);
    EXPECT_EQ(result.errors, "zumel-config: " + served.url + ": ZML-4C08, firmware 105\n");
    ASSERT_TRUE(emulator::wait_for_requests(*served.line, 4, 2s));
    const Bytes read =
        kit::concat({kit::type_request, kit::firmware_request, kit::read_request, kit::read_request});
    EXPECT_EQ(hex(emulator::snapshot(*served.line).received), hex(read));

    // The dialogue on the server as on a port given: no port list.
    result = run_with({"--port", served.url}, "3\n");
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    EXPECT_EQ(result.output,
              screen::instructions + screen::identity("ZML-4C08", "105") + screen::menu_choice);
    EXPECT_EQ(result.errors, "");
    ASSERT_TRUE(emulator::wait_for_requests(*served.line, 6, 2s));
    EXPECT_EQ(hex(emulator::snapshot(*served.line).received),
              hex(kit::concat({read, kit::type_request, kit::firmware_request})));
    EXPECT_EQ(line_problems(*served.line), "") << "ser2net's line was not set to 9600 8O1";
}

// A logged write with --set, traced: the same frames on the controller's
// line, the same trace but for the open, and names on disk that any system
// takes.
TEST(DeviceServer, ALoggedWriteOverEitherServerIsTheWriteOnAComPort)
{
    SKIP_WHERE(platform.few_server_runs);
    const fs::path conf = kit::own_directory() / "batch.conf";
    std::ofstream(conf) << settings_a;
    struct Run {
        std::string port;
        fs::path log;
        ProgramResult result;
        Bytes received;
        std::string trace;
    };
    std::vector<Run> runs;
    const auto write = [&](const std::string& port, const std::string& name) {
        const fs::path log = kit::own_directory() / name / "log";
        const fs::path trace = kit::own_directory() / name / "trace.txt";
        fs::create_directories(log.parent_path());
        ProgramResult result = run_with({"--port", port, "--write", conf.string(), "--set", "pwm_init=0",
                                         "--log", log.string(), "--trace", trace.string()});
        std::string lines = trace_lines(trace);
        lines.erase(0, lines.find('\n') + 1);
        for (std::size_t at = 0; (at = lines.find(port, at)) != std::string::npos;) {
            lines.replace(at, port.size(), "PORT");
        }
        runs.push_back({port, log, result, {}, lines});
    };
    auto com = start_line(1);
    write("COM1", "com");
    runs.back().received = emulator::snapshot(*com).received;
    for (const auto mode : {kit::Ser2netMode::telnet_rfc2217, kit::Ser2netMode::raw}) {
        const std::string name = mode == kit::Ser2netMode::raw ? "socket" : "rfc2217";
        Served served = serve(name, mode);
        ASSERT_TRUE(served.server);
        write(served.url, name);
        ASSERT_TRUE(emulator::wait_for_requests(*served.line, 5, 2s));
        runs.back().received = emulator::snapshot(*served.line).received;
        EXPECT_EQ(line_problems(*served.line), "") << name;
    }
    const std::string notice =
        "zumel-config: " + runs[2].port +
        ": a socket:// server keeps its own line settings; set 9600 8O1 on the server\n";
    for (const Run& run : runs) {
        EXPECT_EQ(run.result.exit_code, 0) << run.result.errors;
        EXPECT_EQ(hex(run.received), hex(runs[0].received)) << run.port;
        const std::string said = "zumel-config: " + run.port + ": ZML-4C08, firmware 105\n";
        EXPECT_TRUE(run.result.errors.starts_with((&run == &runs[2] ? notice : "") + said))
            << run.result.errors;
        EXPECT_NE(
            run.result.errors.find("zumel-config: " + run.port + ": configuration written and read back\n"),
            std::string::npos)
            << run.result.errors;
        // The frames as on a serial port; only the open says more.
        const std::string after_open = run.trace.substr(run.trace.find('\n') + 1);
        EXPECT_EQ(after_open, runs[0].trace.substr(runs[0].trace.find('\n') + 1)) << run.port;
        EXPECT_TRUE(after_open.ends_with("PORT closed\n")) << after_open;

        const std::vector<std::string> rows = log_rows(run.log);
        ASSERT_EQ(rows.size(), 1U) << run.port;
        EXPECT_TRUE(rows[0].starts_with(run.port + ",ZML-4C08,105,written,")) << rows[0];
        const std::vector<fs::path> saved = before_files(run.log);
        ASSERT_EQ(saved.size(), 1U) << run.port;
        const std::string file_port = std::regex_replace(run.port, std::regex("://|:"), "-");
        EXPECT_TRUE(std::regex_match(saved[0].filename().string(),
                                     std::regex("\\d{8}-\\d{6}-" + file_port + "\\.before\\.conf")))
            << saved[0];
        EXPECT_NE(contents(run.log / "addresses.record").find(" written 7 " + run.port + " "),
                  std::string::npos)
            << contents(run.log / "addresses.record");
    }
    EXPECT_EQ(
        runs[1].trace.substr(0, runs[1].trace.find('\n')),
        "PORT (" + runs[1].port.substr(10) +
            ") connected: asked 9600 Bd, 8 data bits, odd parity, 1 stop bit, no flow control; the server "
            "answered 9600 Bd, 8 data bits, parity odd, stop bits 1, flow control none, buffers purged");
    EXPECT_EQ(runs[2].trace.substr(0, runs[2].trace.find('\n')),
              "PORT (" + runs[2].port.substr(9) +
                  ") connected: on the server's own line settings (bare TCP)");
}

// The dialogue's logged write names the server as the scripted one does.
TEST(DeviceServer, TheDialoguesLoggedWriteNamesTheServer)
{
    SKIP_WHERE(platform.few_server_runs);
    Served served = serve("dialogue-log", kit::Ser2netMode::telnet_rfc2217);
    ASSERT_TRUE(served.server);
    const fs::path log = kit::own_directory() / "dialogue-log" / "log";
    const ProgramResult result =
        run_with({"--port", served.url, "--log", log.string()}, "2\n7 3 2 1 2 1 200 1\n3\n");
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(emulator::snapshot(*served.line).configuration, configuration_a());
    const std::vector<std::string> rows = log_rows(log);
    ASSERT_EQ(rows.size(), 1U);
    EXPECT_TRUE(rows[0].starts_with(served.url + ",ZML-4C08,105,\"written;")) << rows[0];
    const std::vector<fs::path> saved = before_files(log);
    ASSERT_EQ(saved.size(), 1U);
    EXPECT_TRUE(saved[0].string().ends_with("-rfc2217-127.0.0.1-" + std::to_string(served.server->port) +
                                            ".before.conf"))
        << saved[0];
}

// A server that keeps its own line although RFC 2217 was asked is said once
// and used; one that answers other settings does not open, as a driver that
// does not take them.
TEST(DeviceServer, AServersOwnOrOtherSettingsAreSaid)
{
    SKIP_WHERE(platform.few_server_runs);
    const kit::TelnetServerHandle own = kit::start_telnet_server({.refuse_com_port = true});
    const std::string own_url = kit::url_of(*own);
    ProgramResult result = run_with({"--port", own_url, "--read"});
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    EXPECT_EQ(result.errors,
              "zumel-config: " + own_url +
                  ": the server does not let its line be set (no COM-PORT-OPTION); set 9600 8O1 "
                  "on the server\nzumel-config: " +
                  own_url + ": ZML-4C08, firmware 105\n");

    const kit::TelnetServerHandle other = kit::start_telnet_server({.answered_baud = 19200});
    const std::string other_url = kit::url_of(*other);
    result = run_with({"--port", other_url, "--read"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors,
              "zumel-config: " + other_url + " (" + other_url.substr(10) + ")" +
                  ": the line cannot be set to 9600 Bd, 8 data bits, odd parity, 1 stop bit; the "
                  "server answered other settings\n");
    EXPECT_EQ(hex(kit::seen_by(*other).data), "");
}

// One station over two servers and a COM port: each controller once, with
// its own address, each row naming its port.
TEST(DeviceServer, AStationWatchesServersBesideAComPort)
{
    SKIP_WHERE(platform.few_server_runs);
    Served telnet = serve("station-rfc2217", kit::Ser2netMode::telnet_rfc2217);
    Served raw = serve("station-socket", kit::Ser2netMode::raw);
    ASSERT_TRUE(telnet.server && raw.server);
    auto com = start_line(1);
    const fs::path log = kit::own_directory() / "station" / "log";
    fs::create_directories(log.parent_path());
    std::ofstream(log.parent_path() / "batch.conf") << settings_a;
    const ProgramResult result =
        run_with({"--station", "--write", (log.parent_path() / "batch.conf").string(), "--log", log.string(),
                  "--addresses", "2-4", "--port", telnet.url, "--port", "COM1", "--port", raw.url});
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    EXPECT_NE(result.output.find("Batch complete: 3 written, 0 already done, 0 failed"), std::string::npos)
        << result.output;
    EXPECT_EQ(result.errors,
              "zumel-config: " + raw.url +
                  ": a socket:// server keeps its own line settings; set 9600 8O1 on the server\n");
    std::set<std::uint8_t> addresses;
    for (const emulator::PtyLine* line : {telnet.line.get(), com.get(), raw.line.get()}) {
        addresses.insert(emulator::snapshot(*line).configuration[0]);
        EXPECT_EQ(line_problems(*line), "");
    }
    EXPECT_EQ(addresses, (std::set<std::uint8_t>{2, 3, 4}));
    std::set<std::string> ports;
    for (const std::string& row : log_rows(log)) {
        ports.insert(row.substr(0, row.find(',')));
    }
    EXPECT_EQ(ports, (std::set<std::string>{telnet.url, "COM1", raw.url}));
    EXPECT_EQ(before_files(log).size(), 3U);
}

// A server that answers for itself is the open error, never a controller:
// ser2net's second client, and a server whose words a plain reply would
// take for a type.
TEST(DeviceServer, ABusyServerIsTheOpenErrorNeverAController)
{
    SKIP_WHERE(platform.few_server_runs);
    Served served = serve("busy", kit::Ser2netMode::telnet_rfc2217);
    ASSERT_TRUE(served.server);
    {
        const kit::Sockets first = kit::connection_to(served.server->port);
        std::this_thread::sleep_for(100ms); // ser2net has taken the first
        ProgramResult result = run_with({"--port", served.url, "--read"});
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.output, "");
        const std::string busy = "zumel-config: " + served.url + " (" + served.url.substr(10) + ")" +
                                 ": in use by another client of the server (it said: Port already in use)\n";
        EXPECT_EQ(result.errors, busy);
        result = run_with({"--port", served.url}, "1\n3\n");
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(result.output, screen::instructions + screen::open_failed);
        EXPECT_EQ(result.errors, busy);
    }
    EXPECT_EQ(hex(emulator::snapshot(*served.line).received), "");

    for (const bool telnet : {true, false}) {
        const kit::TelnetServerHandle words = kit::start_telnet_server(
            {.telnet = telnet, .greeting = "ZML-4C08 busy", .close_after_greeting = true});
        const std::string url = kit::url_of(*words);
        const ProgramResult result = run_with({"--port", url}, "1\n3\n");
        EXPECT_EQ(result.output, screen::instructions + screen::open_failed) << url;
        EXPECT_EQ(result.errors, "zumel-config: " + url + " (" + url.substr(url.find("//") + 2) + ")" +
                                     ": in use by another client of the server (it said: ZML-4C08 busy)\n");
        EXPECT_EQ(hex(kit::seen_by(*words).data), "") << "no request went to a server that spoke first";
    }
}

// A URL that does not parse is bad usage before anything opens: not the
// good server beside it, not the trace.
TEST(DeviceServer, ABadUrlIsBadUsageBeforeAnythingOpens)
{
    SKIP_WHERE(platform.few_server_runs);
    const kit::TelnetServerHandle server = kit::start_telnet_server({});
    const std::string good = kit::url_of(*server);
    const fs::path trace = kit::own_directory() / "bad-url-trace.txt";
    const fs::path log = kit::own_directory() / "bad-url";
    std::ofstream(kit::own_directory() / "bad-url.conf") << settings_a;
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--port", "rfc2217://127.0.0.1", "--read"}, "no port after the host (HOST:PORT)"},
        {{"--station", "--write", (kit::own_directory() / "bad-url.conf").string(), "--log", log.string(),
          "--port", good, "--port", "socket://127.0.0.1:0", "--trace", trace.string()},
         "the port is not a number from 1 to 65535"},
        {{"--port", "telnet://127.0.0.1:23"}, "a device server is rfc2217://HOST:PORT or socket://HOST:PORT"},
    };
    for (const auto& [options, why] : cases) {
        const ProgramResult result = run_with(options, "1\n");
        EXPECT_EQ(result.exit_code, 2);
        EXPECT_EQ(result.output, "");
        const std::string& bad = *std::find_if(options.begin(), options.end(), [&good](const std::string& o) {
            return o.find("://") != std::string::npos && o != good;
        });
        EXPECT_EQ(result.errors, "zumel-config: " + bad + " is not a port name: " + why +
                                     "\nTry 'zumel-config --help' for more information.\n");
    }
    EXPECT_EQ(kit::seen_by(*server).connections, 0);
    EXPECT_FALSE(fs::exists(trace));
    EXPECT_FALSE(fs::exists(log));
}
