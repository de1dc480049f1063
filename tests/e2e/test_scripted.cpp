// The scripted read and write for commissioning, end to end: files in and
// out as Windows tools and shells make them, and every refusal and failure
// with its reason. Their trust rules are the in-process tests'.

#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "expected_screens.hpp"
#include "session.hpp"

using emulator::FaultKind;

namespace {

const std::string conf_a = "# ZML-4C08, firmware 105\n" + settings_a;
const emulator::Configuration bytes_a = configuration_a();

} // namespace

TEST(Scripted, ReadIntoAFileAndWriteItToTheNextControllerAsTheFormWould)
{
    // Bytes left from the first controller's power-up are never its reply.
    auto first = start_line(1, {.configuration = bytes_a, .waiting = {0x00, 0xFF, 0x28, 0x5A}});
    auto second = start_line(2, {});
    const std::filesystem::path conf = kit::own_directory() / "a.conf";
    std::filesystem::remove(conf);

    ProgramResult result = run_with({"--port", "COM1", "--read", "-o", file_argument(conf)});
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, "zumel-config: COM1: ZML-4C08, firmware 105\n"
                             "zumel-config: COM1: configuration read into " +
                                 file_argument(conf) + "\n");
    EXPECT_EQ(contents(conf), conf_a);
    EXPECT_EQ(
        hex(emulator::snapshot(*first).received),
        hex(kit::concat({kit::type_request, kit::firmware_request, kit::read_request, kit::read_request})));
    // Without -o, the file on standard output, and only there.
    first.reset();
    first = start_line(1, {.configuration = bytes_a});
    result = run_with({"--port", "COM1", "--read"});
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    EXPECT_EQ(result.output, conf_a);
    EXPECT_EQ(result.errors, "zumel-config: COM1: ZML-4C08, firmware 105\n");
    // What no file may hold is read all the same, and said.
    first.reset();
    first = start_line(1, {.configuration = configuration_a(0)});
    result = run_with({"--port", "COM1", "--read"});
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    EXPECT_EQ(result.errors,
              "zumel-config: COM1: ZML-4C08, firmware 105\nzumel-config: warning: the controller "
              "holds address = 0, outside 1-63; --write refuses such a file\n");

    result = run_with({"--port", "com2", "--write", file_argument(conf)});
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    EXPECT_EQ(result.errors, "zumel-config: COM2: ZML-4C08, firmware 105\n"
                             "zumel-config: COM2: configuration written and read back\n");
    EXPECT_EQ(emulator::snapshot(*second).configuration, bytes_a);
    EXPECT_EQ(hex(emulator::snapshot(*second).received),
              hex(kit::concat(
                  {kit::type_request, kit::firmware_request, kit::write_frame(bytes_a), kit::read_request})));

    // The form sends the very same frame for the same values.
    second.reset();
    const Outcome form = run_scenario({.keyboard = "2\n2\n7 3 2 1 2 1 200 1\n3\n", .com = 2});
    ASSERT_EQ(form.controller.requests.size(), 3U);
    EXPECT_EQ(hex(form.controller.requests[2].frame), hex(kit::write_frame(bytes_a)));
}

TEST(Scripted, EveryRefusalOrFailureIsANonZeroExitWithItsReason)
{
    const std::filesystem::path folder = kit::own_directory() / "a folder";
    const std::filesystem::path plain = kit::own_directory() / "plain";
    std::filesystem::create_directories(folder);
    std::ofstream(plain) << "a file\n";
    const std::filesystem::path site = kit::own_directory() / "site.conf";
    std::ofstream(site) << conf_a;
    const std::string last_lines = "address = 7\nbaud = 3\nbutton_limit = 2\nbridge = 1\nled_init = 2\n"
                                   "led_write_enable = 1\npwm_init = 1\npwm_divider = 255\n";
    const std::vector<std::string> write = {"--port", "COM1", "--write", "-"},
                                   read = {"--port", "COM1", "--read"};
    auto with_option = [](std::vector<std::string> options, const std::string& name,
                          const std::string& value) {
        options.insert(options.end(), {name, value});
        return options;
    };
    struct Case {
        std::vector<std::string> options;
        std::string input;
        std::vector<emulator::Fault> faults;
        int exit_code;
        std::string reason;
        bool sends = true;
    };
    // A refused file's problems are the parser's own table's; here, that they
    // reach the technician and that nothing is sent.
    std::vector<Case> cases = {
        {write,
         conf_a + "baud = 2\nadress = 1\n",
         {},
         2,
         "standard input:10: 'baud' is already set on line 3\nzumel-config: standard input:11: unknown "
         "setting 'adress'; did you mean 'address'? The settings are address, baud, button_limit, bridge, "
         "led_init, led_write_enable, pwm_divider, pwm_init\nzumel-config: nothing was sent\n",
         false},
        // Judged by its size on the disk, a mark included: cut at the limit,
        // its last line would be pwm_divider = 25.
        {write,
         "\xEF\xBB\xBF#" + std::string(65536 - 2 - last_lines.size(), '#') + "\n" + last_lines,
         {},
         2,
         "standard input: larger than 65536 bytes: not a configuration file\nzumel-config: nothing was "
         "sent\n",
         false},
        // An output never empties an input or the log before anything is checked.
        {{"--port", "COM1", "--write", file_argument(site), "--trace", file_argument(site)},
         "",
         {},
         2,
         "--trace " + file_argument(site) + " is the file --write sends; choose another name for the trace\n",
         false},
        {{"--port", "COM1", "--read", "-o", file_argument(site), "--trace", file_argument(site)},
         "",
         {},
         2,
         "--trace and -o both name " + file_argument(site) + "; choose another name for the trace\n",
         false},
        {with_option(with_option(write, "--log", file_argument(folder)), "--trace",
                     file_argument(folder / "writes.csv")),
         conf_a,
         {},
         2,
         "--trace " + file_argument(folder / "writes.csv") +
             " is one of the log's own files; choose another name for the trace\n",
         false},
        {write,
         std::string("\x7F"
                     "ELF\x02\x01\x01\0\0\0",
                     10),
         {},
         2,
         "standard input: not text: binary\n",
         false},
        {with_option(write, "--set", "baud=9600"),
         conf_a,
         {},
         2,
         "--set baud=9600: 'baud' = 9600 is out of range 0-3 (0 = 2400 Bd, 1 = 4800 Bd, 2 = 9600 Bd, 3 = "
         "19200 "
         "Bd); for 9600 Bd write 2\nzumel-config: nothing was sent\n",
         false},
        {{"--port", "COM1", "--write", file_argument(folder)},
         "",
         {},
         1,
         "cannot read " + file_argument(folder) + ": ",
         false},
        {with_option(write, "--log", file_argument(plain)),
         conf_a,
         {},
         1,
         "cannot write the log in " + file_argument(plain) + ": " + platform.not_a_folder +
             "; nothing was sent\n",
         false},
        // Twenty problems are all shown, with no word of more.
        {write,
         std::regex_replace(std::string(12, 'x'), std::regex("x"), "x\n"),
         {},
         2,
         "standard input: missing setting 'pwm_init'\nzumel-config: nothing was sent\n",
         false},
        {write,
         conf_a,
         {{.kind = FaultKind::ignore_write, .always = true}},
         1,
         "COM1: the controller acknowledged the write but holds address = 10 (written 7), baud = 2 (written "
         "3), "},
        {read,
         "",
         {{.kind = FaultKind::silent, .always = true}},
         1,
         "COM1: the controller does not respond to the identify request; is it switched on with jumper J6 "
         "fitted?\n"},
        // An output that cannot be made is known before the port is opened.
        {with_option(read, "-o", file_argument(folder)),
         "",
         {},
         1,
         "cannot write " + file_argument(folder) + ": ",
         false},
        {with_option(read, "-o", file_argument(kit::own_directory() / "no folder" / "x.conf")),
         "",
         {},
         1,
         "cannot write " + file_argument(kit::own_directory() / "no folder" / "x.conf") + ": ",
         false},
        {with_option(read, "-o", file_argument(plain / "x.conf")),
         "",
         {},
         1,
         "cannot write " + file_argument(plain / "x.conf") + ": ",
         false},
        {{"--port", "COM4", "--read"}, "", {}, 1, "COM4", false},
    };
    for (const auto& [options, input, faults, exit_code, reason, sends] : cases) {
        auto line = start_line(1, {.faults = faults});
        const ProgramResult result = run_with(options, input);
        EXPECT_EQ(result.exit_code, exit_code) << reason;
        EXPECT_EQ(result.output, "") << "no half a file";
        EXPECT_NE(result.errors.find("zumel-config: " + reason), std::string::npos) << result.errors;
        EXPECT_EQ(emulator::snapshot(*line).received.empty(), !sends) << reason;
        if (!faults.empty() && faults[0].kind == FaultKind::silent && faults[0].always) {
            // The identify request's whole time-out.
            EXPECT_GE(result.elapsed_ms, 1012.0);
        }
    }
    EXPECT_EQ(contents(site), conf_a) << "an input named as an output stays as it was";
}

// A file read from another type of controller is written all the same,
// with a warning.
TEST(Scripted, AFileWhoseHeaderNamesAnotherTypeIsWrittenWithAWarning)
{
    auto line = start_line(1);
    const std::filesystem::path other = kit::own_directory() / "other type.conf";
    std::ofstream(other) << "# ZML-2C04, firmware 105\n" << settings_a;
    const ProgramResult result = run_with({"--port", "COM1", "--write", file_argument(other)});
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    EXPECT_EQ(result.errors, "zumel-config: COM1: ZML-4C08, firmware 105\n"
                             "zumel-config: warning: COM1 is a ZML-4C08, and the header of " +
                                 file_argument(other) +
                                 " names a ZML-2C04; written all the same\n"
                                 "zumel-config: COM1: configuration written and read back\n");
    EXPECT_EQ(emulator::snapshot(*line).configuration, bytes_a);
}

TEST(Scripted, FilesAsWindowsToolsSaveThemAndNamesBeyondAscii)
{
    namespace fs = std::filesystem;
    // What PowerShell's > writes: UTF-16 with a BOM and CR LF.
    std::string utf16 = "\xFF\xFE";
    for (const char c : std::regex_replace(conf_a, std::regex("\n"), "\r\n")) {
        utf16 += {c, '\0'};
    }
    auto line = start_line(1, {});
    EXPECT_EQ(run_with({"--port", "COM1", "--write", "-"}, utf16).exit_code, 0);
    EXPECT_EQ(emulator::snapshot(*line).configuration, bytes_a);

    // A name beyond ASCII, as Windows passes it, in a Czech locale: out and
    // back in, as a text file of the system's.
    const fs::path folder = kit::own_directory() / "output";
    fs::create_directories(folder);
    setenv("LC_ALL", "cs_CZ.UTF-8", 1);
    line = start_line(1, {.configuration = bytes_a});
    const fs::path czech = folder / "\xC4\x8D\xC5\x99\xC5\xBE.conf"; // c, r, z with caron
    const ProgramResult result = run_with({"--port", "COM1", "--read", "-o", file_argument(czech)});
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    line = start_line(2, {});
    EXPECT_EQ(run_with({"--port", "COM2", "--write", file_argument(czech)}).exit_code, 0);
    EXPECT_EQ(emulator::snapshot(*line).configuration, bytes_a);
    unsetenv("LC_ALL");
    EXPECT_EQ(std::regex_replace(conf_a, std::regex("\n"), platform.line_end), contents(czech, false));
}

TEST(Scripted, OutputActsAsARedirectionWouldAndNeverLeavesHalfAFile)
{
    SKIP_WHERE(platform.no_posix_files);
    namespace fs = std::filesystem;
    const fs::path folder = kit::own_directory() / "redirected";
    fs::create_directories(folder);
    // A device of the test's own that takes nothing (as /dev/full, which a
    // fault would replace for the machine); only root may make one. And a
    // symlink that leads to itself.
    std::vector<std::pair<fs::path, std::string>> refused = {
        {folder / "loop.conf", "Too many levels of symbolic links"}};
    fs::create_symlink("loop.conf", folder / "loop.conf");
    if (mknod((folder / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0) {
        refused.emplace_back(folder / "full", "No space left on device");
    }
    for (const auto& [name, reason] : refused) {
        auto line = start_line(1, {});
        const ProgramResult result = run_with({"--port", "COM1", "--read", "-o", name.string()});
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_TRUE(result.errors.ends_with("cannot write " + name.string() + ": " + reason + "\n"))
            << result.errors;
    }
    EXPECT_TRUE(!fs::exists(folder / "full") || fs::is_character_file(folder / "full")) << "written into";
    fs::remove(folder / "loop.conf");
    fs::remove(folder / "full");

    // Standard output that takes nothing is a failure with its reason.
    auto line = start_line(1, {});
    ProgramRun full = configurator_run("", {"--port", "COM1", "--read"});
    full.command.insert(full.command.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full"});
    const ProgramResult to_full = run_configurator(full);
    EXPECT_EQ(to_full.exit_code, 1);
    EXPECT_TRUE(
        to_full.errors.ends_with("zumel-config: cannot write standard output: No space left on device\n"))
        << to_full.errors;

    // A write that fails half way (a file size limit, as a full disk would)
    // leaves the old file as it was. No test names a system device here: a
    // fault that replaced what -o names would replace it for the machine.
    std::ofstream(folder / "kept.conf") << "old\n";
    line = start_line(1, {});
    ProgramRun limited =
        configurator_run("", {"--port", "COM1", "--read", "-o", (folder / "kept.conf").string()});
    limited.command.insert(limited.command.begin(),
                           {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 0; exec \"$0\" \"$@\""});
    const ProgramResult cut_short = run_configurator(limited);
    EXPECT_EQ(cut_short.exit_code, 1);
    EXPECT_TRUE(
        cut_short.errors.ends_with("cannot write " + (folder / "kept.conf").string() + ": File too large\n"))
        << cut_short.errors;
    EXPECT_EQ(contents(folder / "kept.conf"), "old\n");

    // A file keeps its mode, a link stays a link to what it led to, a FIFO is
    // written into, and a file beside them that the program did not make stays.
    fs::permissions(folder / "kept.conf", fs::perms::owner_read | fs::perms::owner_write);
    std::ofstream(folder / "kept.conf.partial") << "someone else's\n";
    fs::create_symlink("target.conf", folder / "link.conf");
    ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
    const int reader = open((folder / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
    for (const char* name : {"kept.conf", "link.conf", "fifo"}) {
        line = start_line(1, {.configuration = bytes_a});
        const ProgramResult result = run_with({"--port", "COM1", "--read", "-o", (folder / name).string()});
        EXPECT_EQ(result.exit_code, 0) << name << ": " << result.errors;
    }
    EXPECT_EQ(fs::status(folder / "kept.conf").permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(contents(folder / "kept.conf"), conf_a);
    EXPECT_TRUE(fs::is_symlink(folder / "link.conf"));
    EXPECT_EQ(contents(folder / "target.conf"), conf_a);
    EXPECT_EQ(static_cast<mode_t>(fs::status(folder / "target.conf").permissions()), 0666 & ~creation_mask())
        << "as > makes it";
    EXPECT_TRUE(fs::is_fifo(folder / "fifo"));
    char fifo_text[1024] = {};
    EXPECT_EQ(std::string(fifo_text, std::max<ssize_t>(read(reader, fifo_text, sizeof fifo_text), 0)),
              conf_a);
    close(reader);
    EXPECT_EQ(contents(folder / "kept.conf.partial"), "someone else's\n");
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    EXPECT_EQ(names,
              (std::set<std::string>{"fifo", "kept.conf", "kept.conf.partial", "link.conf", "target.conf"}))
        << "nothing of the program's own left behind";
}
