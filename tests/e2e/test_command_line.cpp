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
    return under_wine() ? "Z:" + path.string() : path.string();
}

} // namespace

TEST(Options, HelpVersionAndUsageErrorsNeverOpenAPort)
{
    ProgramResult result = run({"--help"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_TRUE(result.output.starts_with("usage: zumel-config [--com-prefix PREFIX]\n")) << result.output;
    result = run({"--version"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.output, "zumel-config 0.0.0.1\n");

    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"--bogus"}, "zumel-config: unknown option --bogus\nusage: zumel-config"},
        {{"--port", "COM1", "--read", "--com-prefix"}, "zumel-config: --com-prefix needs a value\nusage:"},
        {{"--port", "COM0", "--read"}, "zumel-config: COM0 is not a port name: COM1, COM2, ...\nusage:"},
    };
    auto line = start_line();
    for (const auto& [options, error] : refused) {
        result = run(options, "1\n3\n");
        EXPECT_EQ(result.exit_code, 2);
        EXPECT_EQ(result.output, "") << "no banner";
        EXPECT_TRUE(result.errors.starts_with(error)) << result.errors;
    }
    EXPECT_TRUE(emulator::snapshot(*line).received.empty());
}

TEST(Options, WithoutComPrefixTheTestBuildReachesNoDevice)
{
    if (under_wine()) {
        const ProgramResult result = run({"--com-prefix", "/dev/ttyUSB"}, "1\n3\n");
        EXPECT_EQ(result.exit_code, 2);
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(result.errors, "zumel-config: --com-prefix does not apply here: the system names its COM "
                                 "ports itself (COM1, COM2, ...)\n");
        return;
    }
    ProgramRun bare = configurator_run("1\n3\n");
    bare.command = {bare.command[0]};
    const ProgramResult result = run_configurator(bare);
    EXPECT_EQ(result.output, screen::banner + screen::open_failed);
    EXPECT_EQ(result.errors, "zumel-config: COM1 (" COM_DEVICE_PREFIX "0): no such device; is the adapter "
                             "plugged in? A USB adapter is usually --com-prefix /dev/ttyUSB or --com-prefix "
                             "/dev/ttyACM\n");
}

TEST(Options, APortThatWillNotOpenSaysWhy)
{
    const std::filesystem::path plain = com_port_path(2);
    std::ofstream(plain) << "not a line\n";
    struct Case {
        const char* keys;
        std::string reason;
    };
    std::vector<Case> cases;
    if (under_wine()) {
        // Wine opens a missing port that the prefix names, and fails only
        // when setting it; COM9 it does not name.
        const ProgramResult result = run({"--port", "COM9", "--read"});
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(result.errors,
                  "zumel-config: COM9: no such port; is the adapter plugged in? Device Manager "
                  "lists the ports under \"Ports (COM & LPT)\"\n");
        cases.push_back({"3\n", "COM3: the line cannot be set to 9600 Bd"});
    } else {
        const std::string device = "COM2 (" + plain.string() + "): ";
        cases.push_back({"2\n", device + "not a serial device"});
        if (geteuid() != 0) { // root may open anything
            std::filesystem::permissions(plain, std::filesystem::perms::none);
            cases.back().reason = device + "permission denied; the device belongs to the group ";
        }
    }
    for (const auto& [keys, reason] : cases) {
        const ProgramResult result = run({}, keys);
        EXPECT_EQ(result.output, screen::banner + screen::open_failed);
        EXPECT_TRUE(result.errors.starts_with("zumel-config: " + reason)) << result.errors;
        EXPECT_TRUE(result.errors.ends_with("\n") && result.errors.find('\n') == result.errors.size() - 1)
            << "one line: " << result.errors;
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
    if (!under_wine()) { // Wine cannot set a line twice at 9600 8O1
        EXPECT_EQ(run({"--port", "COM2", "--read"}).output, conf_a);
    }

    // The form sends the very same frame for the same values.
    second.reset();
    const Outcome form = run_scenario({.keyboard = "2\n2\n7 3 2 1 2 1 200 1\n3\n", .com = 2});
    ASSERT_EQ(form.controller.requests.size(), 3U);
    EXPECT_EQ(hex(form.controller.requests[2].frame), hex(kit::write_frame(bytes_a)));
}

TEST(Scripted, ARefusedFileSendsNothing)
{
    const std::pair<std::string, std::string> refused[] = {
        {conf_a + "baud = 2\n", "standard input:10: 'baud' is already set on line 3"},
        {"adress = 7\n", "standard input:1: unknown setting 'adress'"},
        {conf_a.substr(0, conf_a.find("pwm_init")), "standard input: missing setting 'pwm_init'"},
        {"address = 64\n", "standard input:1: 'address' = 64 is out of range 1-63"},
        {"\x7f"
         "ELF\x02\x01\x01\n",
         "standard input:1: not text: control characters"},
        {std::string(3'000'000, '#'), "standard input: larger than 65536 bytes: not a configuration file"},
    };
    auto line = start_line();
    for (const auto& [file, problem] : refused) {
        const ProgramResult result = run({"--port", "COM1", "--write", "-"}, file);
        EXPECT_EQ(result.exit_code, 2) << problem;
        EXPECT_NE(result.errors.find("zumel-config: " + problem + "\n"), std::string::npos) << result.errors;
        EXPECT_TRUE(result.errors.ends_with("zumel-config: nothing was sent\n")) << result.errors;
    }
    EXPECT_TRUE(emulator::snapshot(*line).received.empty());
}

TEST(Scripted, AControllerThatFailsIsAFailure)
{
    {
        auto line = start_line(1, {.faults = {{.kind = FaultKind::ignore_write, .always = true}}});
        const ProgramResult result = run({"--port", "COM1", "--write", "-"}, conf_a);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_TRUE(result.errors.ends_with(
            "zumel-config: COM1: the controller acknowledged the write but holds address = 10 (written 7), "
            "baud = 2 (written 3), button_limit = 1 (written 2), bridge = 0 (written 1), led_init = 1 "
            "(written 2), led_write_enable = 0 (written 1), pwm_divider = 128 (written 200), pwm_init = 0 "
            "(written 1)\n"))
            << result.errors;
    }
    const std::pair<std::vector<emulator::Fault>, std::string> failures[] = {
        {{{.kind = FaultKind::silent, .always = true}},
         "COM1: the controller does not respond; is it switched on with jumper J6 fitted?"},
        {{{.kind = FaultKind::silent, .request = 2}},
         "COM1: the controller does not respond to the read request"},
    };
    for (const auto& [faults, reason] : failures) {
        auto line = start_line(1, {.faults = faults});
        const ProgramResult result = run({"--port", "COM1", "--read"});
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.output, "") << "no half a file";
        EXPECT_TRUE(result.errors.ends_with("zumel-config: " + reason + "\n")) << result.errors;
        EXPECT_GE(result.elapsed_ms, 1008.0) << "the dialogue's own time-outs";
    }
    const ProgramResult missing = run({"--port", "COM4", "--read"});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_TRUE(missing.errors.starts_with("zumel-config: COM4")) << missing.errors;
}
