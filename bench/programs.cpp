#include "programs.hpp"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <optional>
#include <poll.h>
#include <sstream>
#include <unistd.h>
#include <utility>

#include "kit.hpp"
#include "line.hpp"
#include "requests.hpp"
#include "serial_link.hpp"

namespace bench {

const std::string configurator = CONFIGURATOR_EXE;
const std::filesystem::path com_prefix = kit::own_directory() / "ttyS";

namespace {

const std::string python = PYTHON_EXE;
const std::string peer_script = PEER_SCRIPT;
const std::filesystem::path com1 = com_prefix.string() + "0";

// Request and reply lengths of the session's exchanges.
constexpr std::pair<int, int> session_exchanges[] = {{4, 12}, {4, 8}, {5, 52}, {52, 4}, {5, 52}};
constexpr double byte_ms = emulator::byte_time_9600_8o1_us / 1000.0;

long peak_rss_kib(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:")) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

} // namespace

double wire_ms()
{
    int bytes = 0;
    for (const auto& [request, reply] : session_exchanges) {
        bytes += request + reply;
    }
    return bytes * byte_ms;
}

double emulated_floor_ms()
{
    int gaps = 0;
    for (const auto& [request, reply] : session_exchanges) {
        gaps += request - 1 + reply - 1;
    }
    return gaps * byte_ms;
}

Run spawn_and_wait(const std::vector<std::string>& command, const std::string& keys,
                   std::chrono::milliseconds limit)
{
    Run measured;
    std::optional<Clock::time_point> first_output;
    ProgramRun run{.command = command, .input = keys, .time_limit = limit};
    run.on_output = [&](int pid) {
        first_output = first_output.value_or(Clock::now());
        measured.peak_rss_kib = std::max(measured.peak_rss_kib, peak_rss_kib(pid));
    };
    static_cast<ProgramResult&>(measured) = run_program(run);
    if (first_output) {
        measured.first_output_ms = ms_between(measured.started, *first_output);
    }
    return measured;
}

Run configurator_run(const std::string& keys)
{
    return spawn_and_wait({configurator, "--com-prefix", com_prefix.string()}, keys, run_limit);
}

bool whole_session(const ProgramResult& run)
{
    return run.exit_code == 0 && contains(run.output, "ZML-4C08") && !contains(run.output, "neodpovida");
}

PeerRun run_peer(const std::vector<std::string>& arguments)
{
    return run_peer_on(com1.string(), arguments);
}

PeerRun run_peer_on(const std::string& port, const std::vector<std::string>& arguments)
{
    std::vector<std::string> command{python, peer_script, port};
    command.insert(command.end(), arguments.begin(), arguments.end());
    PeerRun run{spawn_and_wait(command, "", run_limit), {}};
    const std::size_t line = run.process.output.find("peer ");
    require(run.process.exit_code == 0 && line != std::string::npos, "the pyserial peer failed");
    std::istringstream words(run.process.output.substr(line + 5));
    for (std::string word; words >> word;) {
        const std::size_t equals = word.find('=');
        if (equals != std::string::npos) {
            run.values[word.substr(0, equals)] = word.substr(equals + 1);
        }
    }
    return run;
}

SerialPort open_bench_port(unsigned number)
{
    return open_port(ComPort{number}, {com_prefix.string()}, controller_line);
}

bool in_process_session()
{
    SerialPort link = open_bench_port(1);
    if (!is_open(link)) {
        return false;
    }
    ControllerType type;
    FirmwareVersion version;
    ConfigurationBytes configuration{};
    const bool ok = answered(identify_controller(link, type)) &&
                    answered(query_firmware_version(link, version)) &&
                    answered(fetch_configuration(link, configuration)) &&
                    answered(store_configuration(link, configuration)) &&
                    answered(fetch_configuration(link, configuration));
    close_port(link);
    return ok;
}

bool bare_session(const std::vector<std::uint8_t>& write_frame)
{
    using Bytes = std::vector<std::uint8_t>;
    const std::pair<Bytes, std::size_t> exchanges[] = {
        {{0xFF, 0x28, 0x59, 0x80}, type_reply_length},
        {{0xFF, 0x26, 0x5B, 0x80}, firmware_reply_length},
        {{std::begin(read_request), std::end(read_request)}, read_reply_length},
        {write_frame, write_ack_length},
        {{std::begin(read_request), std::end(read_request)}, read_reply_length}};
    const int fd = open(com1.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    bool ok = fd >= 0;
    for (const auto& [request, reply_length] : exchanges) {
        ok = ok && write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size());
        std::uint8_t reply[64];
        std::size_t got = 0;
        while (ok && got < reply_length) {
            pollfd line{fd, POLLIN, 0};
            const ssize_t n = poll(&line, 1, 2000) == 1 ? read(fd, reply + got, reply_length - got) : -1;
            ok = n > 0;
            got += ok ? static_cast<std::size_t>(n) : 0;
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    return ok;
}

emulator::PtyLineHandle start_line(const emulator::ControllerSetup& setup, emulator::LineMode mode)
{
    std::string error;
    emulator::PtyLineHandle line = emulator::start_pty_line(com1, setup, error, {}, mode);
    require(line != nullptr, "the emulator did not start: " + error);
    return line;
}

Values take_gaps(const emulator::PtyLine& line, std::size_t& taken)
{
    const emulator::Controller controller = emulator::snapshot(line);
    Values gaps;
    for (std::size_t i = std::max<std::size_t>(taken, 1); i < controller.requests.size(); ++i) {
        const emulator::Request& request = controller.requests[i];
        if (request.command != emulator::command_type) {
            gaps.push_back(
                static_cast<double>((request.arrived - controller.requests[i - 1].answered).count()) /
                1000.0);
        }
    }
    taken = controller.requests.size();
    return gaps;
}

std::vector<std::uint8_t> last_write_frame(const emulator::PtyLine& line)
{
    const emulator::Controller controller = emulator::snapshot(line);
    for (auto request = controller.requests.rbegin(); request != controller.requests.rend(); ++request) {
        if (request->command == emulator::command_write) {
            return request->frame;
        }
    }
    return {};
}

} // namespace bench
