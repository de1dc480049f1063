// The command line end to end: options and exit codes, and the reason given
// beside the screen's text when a port will not open.

#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

#include "expected_screens.hpp"
#include "session.hpp"

TEST(Options, HelpVersionAndUsageErrorsNeverOpenAPort)
{
    const std::string hint = "Try 'zumel-config --help' for more information.\n";
    const std::tuple<std::vector<std::string>, int, std::string, std::string> cases[] = {
        {{"--help"}, 0, "usage: zumel-config [--com-prefix PREFIX] [--port COMn]", ""},
        {{"--version"}, 0, "zumel-config 0.0.0.1\n", ""},
        {{"--bogus"}, 2, "", "zumel-config: unknown option --bogus\n" + hint},
        {{"--prot", "COM1"}, 2, "", "zumel-config: unknown option --prot; did you mean --port?\n" + hint},
        {{"--port", "COM0", "--read"},
         2,
         "",
         "zumel-config: COM0 is not a port name: COM1 to COM4096\n" + hint},
    };
    auto line = start_line();
    for (const auto& [options, exit_code, output, errors] : cases) {
        const ProgramResult result = run_with(options, "1\n3\n");
        EXPECT_EQ(result.exit_code, exit_code);
        EXPECT_TRUE(result.output.starts_with(output) && (output.empty() ? result.output.empty() : true))
            << result.output;
        EXPECT_EQ(result.errors, errors);
    }
    EXPECT_TRUE(emulator::snapshot(*line).received.empty());
}

TEST(Options, APortThatWillNotOpenSaysWhyBesideTheScreensText)
{
    const std::filesystem::path plain = com_port_path(2);
    std::ofstream(plain) << "not a line\n";
    if (geteuid() != 0) { // root may open anything
        std::filesystem::permissions(plain, std::filesystem::perms::none);
    }
    for (const auto& [options, keys, reason, exit_code] : open_failures()) {
        const ProgramResult result = run_with(options, keys);
        EXPECT_EQ(result.output, keys.empty() ? "" : screen::banner + screen::open_failed);
        EXPECT_EQ(result.exit_code, exit_code);
        EXPECT_TRUE(result.errors.starts_with("zumel-config: " + reason)) << result.errors;
        EXPECT_EQ(result.errors.find('\n'), result.errors.size() - 1) << "one line: " << result.errors;
    }
    std::filesystem::remove(plain);
}

TEST(Options, WithoutAPrefixTheTestBuildsOwnPortsLeadNowhere)
{
    SKIP_WHERE(platform.no_posix_files);
    ProgramRun bare = configurator_run("1\n3\n");
    bare.command.resize(1);
    const ProgramResult result = run_configurator(bare);
    EXPECT_EQ(result.output, screen::banner + screen::open_failed);
    EXPECT_EQ(result.errors, "zumel-config: COM1 (" COM_DEVICE_PREFIX "0): no such device; is the adapter "
                             "plugged in? zumel-config --list shows the serial ports\n");
}
