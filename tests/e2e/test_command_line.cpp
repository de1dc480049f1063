// The command line: its options and exit codes, the reason given when a
// port will not open, and the scripted read and write for commissioning.

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

#include "expected_screens.hpp"
#include "session.hpp"

using emulator::FaultKind;

namespace {

const std::string conf_a = "# ZML-4C08, firmware 105\n"
                           "address = 7\nbaud = 3\nbutton_limit = 2\nbridge = 1\n"
                           "led_init = 2\nled_write_enable = 1\npwm_divider = 200\npwm_init = 1\n";
const emulator::Configuration bytes_a{0x07, 0x03, 0x7E, 0x7E, 0x48, 0x7F};

ProgramResult run(const std::vector<std::string>& options, const std::string& input = "")
{
    return run_configurator(configurator_run(input, options));
}

// Without the CRs of a file the Windows build wrote as text.
std::string contents(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    std::string lines = text.str();
    std::erase(lines, '\r');
    return lines;
}

// The path a Windows program under Wine reaches the same file by.
std::string file_argument(const std::filesystem::path& path)
{
    return under_wine ? "Z:" + path.string() : path.string();
}

} // namespace

TEST(Options, HelpVersionAndUsageErrorsNeverOpenAPort)
{
    const std::tuple<std::vector<std::string>, int, std::string, std::string> cases[] = {
        {{"--help"}, 0, "usage: zumel-config [--com-prefix PREFIX] [--port COMn]", ""},
        {{"--version"}, 0, "zumel-config 0.0.0.1\n", ""},
        {{"--bogus"}, 2, "", "zumel-config: unknown option --bogus\nusage: zumel-config"},
        {{"--port", "COM0", "--read"},
         2,
         "",
         "zumel-config: COM0 is not a port name: COM1 to COM255\nusage:"},
    };
    auto line = start_line();
    for (const auto& [options, exit_code, output, errors] : cases) {
        const ProgramResult result = run(options, "1\n3\n");
        EXPECT_EQ(result.exit_code, exit_code);
        EXPECT_TRUE(result.output.starts_with(output) && (output.empty() ? result.output.empty() : true))
            << result.output;
        EXPECT_TRUE(result.errors.starts_with(errors)) << result.errors;
    }
    EXPECT_TRUE(emulator::snapshot(*line).received.empty());
}

TEST(Options, APortThatWillNotOpenSaysWhyBesideTheScreensText)
{
    const std::filesystem::path plain = com_port_path(2);
    std::ofstream(plain) << "not a line\n";
    std::vector<std::tuple<std::vector<std::string>, std::string, std::string>>
        cases; // options, keys, reason
    if (under_wine) {
        // Wine opens a missing port that the prefix names and fails when
        // setting it; COM9 it does not name. Its COM names are its own.
        cases = {{{"--port", "COM9", "--read"},
                  "",
                  "COM9: no such port; is the adapter plugged in? Device Manager "
                  "lists the ports under \"Ports (COM & LPT)\""},
                 {{}, "3\n", "COM3: the line cannot be set to 9600 Bd, 8 data bits, odd parity, 1 stop bit"},
                 {{"--com-prefix", "/dev/ttyUSB"},
                  "",
                  "--com-prefix does not apply here: the system names its COM "
                  "ports itself (COM1, COM2, ...)"}};
    } else {
        if (geteuid() != 0) { // root may open anything
            std::filesystem::permissions(plain, std::filesystem::perms::none);
        }
        const std::string device = "COM2 (" + plain.string() + "): ";
        cases = {{{},
                  "2\n",
                  device + (geteuid() != 0 ? "permission denied; the device belongs to the group "
                                           : "not a serial device")}};
        // Without --com-prefix the test build's own ports lead nowhere.
        ProgramRun bare = configurator_run("1\n3\n");
        bare.command.resize(1);
        const ProgramResult result = run_configurator(bare);
        EXPECT_EQ(result.output, screen::banner + screen::open_failed);
        EXPECT_EQ(result.errors,
                  "zumel-config: COM1 (" COM_DEVICE_PREFIX "0): no such device; is the adapter "
                  "plugged in? zumel-config --list shows the serial ports\n");
    }
    for (const auto& [options, keys, reason] : cases) {
        const ProgramResult result = run(options, keys);
        EXPECT_EQ(result.output, keys.empty() ? "" : screen::banner + screen::open_failed);
        EXPECT_EQ(result.exit_code, keys.empty() ? (options.size() == 2 ? 2 : 1) : 0);
        EXPECT_TRUE(result.errors.starts_with("zumel-config: " + reason)) << result.errors;
        EXPECT_EQ(result.errors.find('\n'), result.errors.size() - 1) << "one line: " << result.errors;
    }
    std::filesystem::remove(plain);
}

TEST(Scripted, ReadIntoAFileAndWriteItToTheNextControllerAsTheFormWould)
{
    auto first = start_line(1, {.configuration = bytes_a});
    auto second = start_line(2, {});
    const std::filesystem::path conf = kit::own_directory() / "a.conf";
    std::filesystem::remove(conf);

    ProgramResult result = run({"--port", "COM1", "--read", "-o", file_argument(conf)});
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, "zumel-config: COM1: ZML-4C08, firmware 105\n"
                             "zumel-config: COM1: configuration read into " +
                                 file_argument(conf) + "\n");
    EXPECT_EQ(contents(conf), conf_a);

    result = run({"--port", "com2", "--write", file_argument(conf)});
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    EXPECT_EQ(result.errors, "zumel-config: COM2: ZML-4C08, firmware 105\n"
                             "zumel-config: COM2: configuration written and read back\n");
    EXPECT_EQ(emulator::snapshot(*second).configuration, bytes_a);
    EXPECT_EQ(hex(emulator::snapshot(*second).received),
              hex(kit::concat(
                  {kit::type_request, kit::firmware_request, kit::write_frame(bytes_a), kit::read_request})));
    if (!under_wine) { // Wine cannot set a line twice at 9600 8O1
        EXPECT_EQ(run({"--port", "COM2", "--read"}).output, conf_a);
    }

    // The form sends the very same frame for the same values.
    second.reset();
    const Outcome form = run_scenario({.keyboard = "2\n2\n7 3 2 1 2 1 200 1\n3\n", .com = 2});
    ASSERT_EQ(form.controller.requests.size(), 3U);
    EXPECT_EQ(hex(form.controller.requests[2].frame), hex(kit::write_frame(bytes_a)));
}

TEST(Scripted, EveryRefusalOrFailureIsANonZeroExitWithItsReason)
{
    const std::vector<std::string> write = {"--port", "COM1", "--write", "-"},
                                   read = {"--port", "COM1", "--read"};
    // A refused file's problems are the parser's own table's; here, that they
    // reach the technician and that nothing is sent.
    const std::tuple<std::vector<std::string>, std::string, std::vector<emulator::Fault>, int, std::string>
        cases[] = {
            {write,
             conf_a + "baud = 2\nfoo = 1\n",
             {},
             2,
             "standard input:10: 'baud' is already set on line 3\nzumel-config: standard input:11: unknown "
             "setting 'foo'\nzumel-config: nothing was sent\n"},
            {write,
             std::string(3'000'000, '#'),
             {},
             2,
             "standard input: larger than 65536 bytes: not a configuration file\nzumel-config: nothing was "
             "sent\n"},
            {write,
             conf_a,
             {{.kind = FaultKind::ignore_write, .always = true}},
             1,
             "COM1: the controller acknowledged the write but holds address = 10 (written 7), baud = 2 "
             "(written 3), "},
            {read,
             "",
             {{.kind = FaultKind::silent, .always = true}},
             1,
             "COM1: the controller does not respond; is it switched on with jumper J6 fitted?\n"},
            {read,
             "",
             {{.kind = FaultKind::silent, .request = 2}},
             1,
             "COM1: the controller does not respond to the read request\n"},
            {{"--port", "COM4", "--read"}, "", {}, 1, "COM4"},
        };
    for (const auto& [options, file, faults, exit_code, reason] : cases) {
        auto line = start_line(1, {.faults = faults});
        const ProgramResult result = run(options, file);
        EXPECT_EQ(result.exit_code, exit_code) << reason;
        EXPECT_EQ(result.output, "") << "no half a file";
        EXPECT_NE(result.errors.find("zumel-config: " + reason), std::string::npos) << result.errors;
        if (exit_code == 2) {
            EXPECT_TRUE(emulator::snapshot(*line).received.empty()) << reason;
        } else if (!faults.empty() && faults[0].kind == FaultKind::silent) {
            EXPECT_GE(result.elapsed_ms, 1008.0) << "the dialogue's own time-outs";
        }
    }
}
