// The commissioning station: controllers come and go on the emulated lines,
// and each gets its own address once, recorded, with no keystroke.

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

#include "session.hpp"

using emulator::FaultKind;
namespace fs = std::filesystem;

namespace {

// The controllers as each answers its type.
emulator::ControllerSetup controller(const char* type, std::vector<emulator::Fault> faults = {})
{
    emulator::ControllerSetup setup{.faults = std::move(faults)};
    std::copy_n(type, setup.type.size(), setup.type.begin());
    return setup;
}

std::vector<std::string> station(const fs::path& log, const std::string& addresses,
                                 std::vector<int> ports = {1})
{
    fs::create_directories(log.parent_path());
    if (!fs::exists(log.parent_path() / "batch.conf")) { // never while a station reads it
        std::ofstream(log.parent_path() / "batch.conf") << settings_a;
    }
    std::vector<std::string> options = {
        "--station", "--write",          file_argument(log.parent_path() / "batch.conf"),
        "--log",     file_argument(log), "--addresses",
        addresses};
    for (const int port : ports) {
        options.insert(options.end(), {"--port", "COM" + std::to_string(port)});
    }
    return options;
}

// The event lines of a station's output, without its status lines.
std::vector<std::string> events(const std::string& output)
{
    std::vector<std::string> lines;
    std::istringstream text(output);
    for (std::string line; std::getline(text, line);) {
        if (!line.starts_with("Watching ")) {
            lines.push_back(line);
        }
    }
    return lines;
}

// The addresses writes.csv records as written.
std::multiset<std::string> written_addresses(const fs::path& log)
{
    std::multiset<std::string> addresses;
    std::smatch row;
    for (const std::string& line : log_rows(log)) {
        if (std::regex_search(line, row, std::regex(",written,(?:\\d+,){8}(\\d+),"))) {
            addresses.insert(row[1]);
        }
    }
    return addresses;
}

} // namespace

// A controller already done is a row of its own for the audit, which
// counts as no write; one of another type than the file's header names is
// written, and said to be.
TEST(Station, ControllersInTurnGetTheNextAddressesAndOneBackIsAlreadyDone)
{
    const fs::path log = kit::own_directory() / "turns" / "log";
    fs::create_directories(log.parent_path());
    std::ofstream(log.parent_path() / "batch.conf") << "# ZML-AAAA, firmware 105\n" << settings_a;
    // C holds an address the batch gives, but another configuration.
    emulator::ControllerSetup c = controller("ZML-CCCC");
    c.configuration[0] = 0x02;
    auto line = start_visits(1, {controller("ZML-AAAA"), controller("ZML-BBBB"), c},
                             {{0, 6, 2}, {1, 6, 2}, {0, 4, 2}, {2, 0, 0}});
    const ProgramResult result = run_with(station(log, "2-4"));
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    // Not a terminal: where the batch stands, as plain lines when it changes.
    EXPECT_NE(result.output.find("\nWatching COM1: 1 of 3 done, next address 3\n"), std::string::npos)
        << result.output;
    EXPECT_EQ(events(result.output),
              (std::vector<std::string>{
                  "COM1: address 2 written, ZML-AAAA, firmware 105 (1 of 3 done)",
                  "COM1: address 3 written, ZML-BBBB, firmware 105, not the file's ZML-AAAA (2 of 3 done)",
                  "COM1: already done as address 2, ZML-AAAA, firmware 105",
                  "COM1: address 4 written, ZML-CCCC, firmware 105, not the file's ZML-AAAA (3 of 3 done)",
                  "Batch complete: 3 written, 1 already done, 0 failed"}));
    const auto warning = [&](const std::string& type) {
        return "zumel-config: warning: COM1 is a " + type + ", and the header of " +
               file_argument(log.parent_path() / "batch.conf") + " names a ZML-AAAA; written all the same\n";
    };
    EXPECT_EQ(result.errors, warning("ZML-BBBB") + warning("ZML-CCCC"));
    const emulator::Line seen = emulator::line_snapshot(*line);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(seen.controllers[i].configuration, configuration_a(static_cast<std::uint8_t>(2 + i))) << i;
    }
    EXPECT_EQ(log_rows(log),
              (std::vector<std::string>{
                  "COM1,ZML-AAAA,105,written,10,2,1,0,1,0,128,0,2,3,2,1,2,1,200,1,<before-file>",
                  "COM1,ZML-BBBB,105,written,10,2,1,0,1,0,128,0,3,3,2,1,2,1,200,1,<before-file>",
                  "COM1,ZML-AAAA,105,already done,2,3,2,1,2,1,200,1,,,,,,,,,",
                  "COM1,ZML-CCCC,105,written,2,2,1,0,1,0,128,0,4,3,2,1,2,1,200,1,<before-file>"}));
}

// Whatever became of a write, its address was reserved before the frame went
// out: the next controller gets the next one.
TEST(Station, AControllerThatDoesNotTakeTheWriteKeepsItsAddressFromTheNext)
{
    const fs::path log = kit::own_directory() / "refused" / "log";
    auto line = start_visits(
        1,
        {controller("ZML-AAAA", {{.kind = FaultKind::ignore_write, .always = true}}), controller("ZML-BBBB")},
        {{0, 6, 2}, {1, 0, 0}});
    const ProgramResult result = run_with(station(log, "9-10"));
    EXPECT_EQ(result.exit_code, 1) << "the batch is complete, with a failure";
    EXPECT_NE(
        result.errors.find("zumel-config: COM1: the controller acknowledged the write but holds address = 10 "
                           "(written 9), "),
        std::string::npos)
        << result.errors;
    // Then what it holds, and the way back to what it held before.
    const std::regex way_back(
        "; address 9 is given to no other controller\n"
        "zumel-config: COM1: read back after the write, it holds address = 10, baud = 2, "
        "button_limit = 1, bridge = 0, led_init = 1, led_write_enable = 0, "
        "pwm_divider = 128, pwm_init = 0\n"
        "zumel-config: COM1: to put back what it held before: zumel-config (.*--port COM1) "
        "--write \"?(.*\\.before\\.conf)\"?\n$");
    std::smatch found;
    ASSERT_TRUE(std::regex_search(result.errors, found, way_back)) << result.errors;
    const fs::path before_file = log / fs::path(found.str(2)).filename();
    EXPECT_EQ(found.str(2), file_argument(before_file));
    EXPECT_TRUE(fs::exists(before_file)) << found.str(2);
    EXPECT_EQ(events(result.output).front(),
              "COM1: address 10 written, ZML-BBBB, firmware 105 (2 of 2 done)");
    EXPECT_EQ(written_addresses(log), (std::multiset<std::string>{"10"}));
}

TEST(Station, TwoPortsAtOnceNeverShareAnAddress)
{
    const fs::path log = kit::own_directory() / "two ports" / "log";
    auto first = start_line(1, controller("ZML-AAAA")), second = start_line(2, controller("ZML-BBBB"));
    const ProgramResult result = run_with(station(log, "5-6", {1, 2}));
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    EXPECT_EQ(written_addresses(log), (std::multiset<std::string>{"5", "6"}));
    std::set<emulator::Configuration> held{emulator::snapshot(*first).configuration,
                                           emulator::snapshot(*second).configuration};
    EXPECT_EQ(held, (std::set<emulator::Configuration>{configuration_a(5), configuration_a(6)}));
}

TEST(Station, AnAdapterPulledOutIsSaidAndWatchedAgain)
{
    SKIP_WHERE(platform.no_quick_dead_line);
    const fs::path log = kit::own_directory() / "unplugged" / "log";
    // The line goes at the first poll after the write.
    auto line = start_line(1, controller("ZML-AAAA", {{.kind = FaultKind::hang_up, .request = 6}}));
    RunningProgram program = start_program(configurator_run("", station(log, "2-3")));
    for (int i = 0; i < 1000 && !emulator::closed(*line); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(emulator::closed(*line));
    line.reset();
    line = start_line(1, controller("ZML-BBBB"));
    const ProgramResult result = finish_program(program);
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    // Said once each, however often it was tried meanwhile.
    EXPECT_EQ(result.errors,
              "zumel-config: COM1: the line hung up awaiting the reply to the identify request; is the "
              "adapter plugged in?; watching it\nzumel-config: COM1: open again; watching it\n");
    EXPECT_NE(result.output.find("COM1: address 3 written, ZML-BBBB, firmware 105 (2 of 2 done)"),
              std::string::npos)
        << result.output;
}

TEST(Station, APortNotThereIsSaidOnceAndWaitedForWithoutSpinning)
{
    SKIP_WHERE(platform.no_signals);
    RunningProgram program =
        start_program(configurator_run("", station(kit::own_directory() / "absent" / "log", "2-3", {7})));
    std::this_thread::sleep_for(std::chrono::milliseconds(1'500));
    kill(program.pid, SIGTERM);
    const ProgramResult result = finish_program(program);
    EXPECT_EQ(result.exit_code, 3) << "stopped with addresses left";
    EXPECT_TRUE(
        result.output.ends_with("Station stopped: 0 written, 0 already done, 0 failed; 2 addresses left\n"))
        << result.output;
    EXPECT_EQ(result.errors,
              "zumel-config: " + port_as_named(7) +
                  ": no such device; is the adapter plugged in? zumel-config --list shows the serial "
                  "ports; watching it\n");
}

TEST(Station, StoppedDuringAWriteItFinishesRecordsAndSaysWhereTheBatchStands)
{
    SKIP_WHERE(platform.no_signals);
    const fs::path log = kit::own_directory() / "stopped" / "log";
    auto line = start_line(1, controller("ZML-AAAA"));
    RunningProgram program = start_program(configurator_run("", station(log, "2-9")));
    ASSERT_TRUE(emulator::wait_for_requests(*line, 5, std::chrono::milliseconds(10'000))) << "the write came";
    kill(program.pid, SIGINT);
    const ProgramResult result = finish_program(program);
    EXPECT_EQ(result.exit_code, 3) << result.errors;
    EXPECT_TRUE(
        result.output.ends_with("Station stopped: 1 written, 0 already done, 0 failed; 7 addresses left\n"))
        << result.output;
    EXPECT_EQ(emulator::snapshot(*line).configuration, configuration_a(2));
    EXPECT_EQ(written_addresses(log), (std::multiset<std::string>{"2"}));
}

// Started again on the same log, stations go on where the batch stands;
// two of them at once give no address twice.
TEST(Station, StationsResumeFromTheLogAndShareItWithoutGivingAnAddressTwice)
{
    SKIP_WHERE(platform.no_runs_at_once);
    const fs::path log = kit::own_directory() / "shared" / "log";
    {
        auto first = start_line(1, controller("ZML-AAAA"));
        EXPECT_EQ(run_with(station(log, "2-2")).exit_code, 0);
    }
    auto second = start_line(2, controller("ZML-BBBB")), third = start_line(3, controller("ZML-CCCC"));
    std::vector<RunningProgram> runs;
    for (const int port : {2, 3}) {
        runs.push_back(start_program(configurator_run("", station(log, "2-4", {port}))));
    }
    for (RunningProgram& run : runs) {
        const ProgramResult result = finish_program(run);
        EXPECT_EQ(result.exit_code, 0) << result.errors;
        EXPECT_FALSE(result.timed_out);
    }
    EXPECT_EQ(written_addresses(log), (std::multiset<std::string>{"2", "3", "4"}));
    std::set<emulator::Configuration> held{emulator::snapshot(*second).configuration,
                                           emulator::snapshot(*third).configuration};
    EXPECT_EQ(held, (std::set<emulator::Configuration>{configuration_a(3), configuration_a(4)}));
}

TEST(Station, ABatchThatCannotBeIsRefusedBeforeAnythingIsSent)
{
    const fs::path log = kit::own_directory() / "refusals" / "log";
    auto line = start_line(1);
    std::vector<std::string> bad_file = station(log, "2-3");
    bad_file.insert(bad_file.end(), {"--set", "baud=9"});
    std::vector<std::string> no_log = station(log, "2-3");
    no_log.erase(no_log.begin() + 3, no_log.begin() + 5);
    for (const auto& [options, reason] :
         {std::pair{bad_file, "--set baud=9: 'baud' = 9 is out of range 0-3"},
          {station(log, "0-3"), "--addresses 0-3: expected FIRST-LAST within 1-63, FIRST not above LAST"},
          {no_log, "--station needs --log DIR: it keeps the batch there"}}) {
        const ProgramResult result = run_with(options);
        EXPECT_EQ(result.exit_code, 2) << reason;
        EXPECT_TRUE(result.errors.starts_with(std::string("zumel-config: ") + reason)) << result.errors;
    }
    EXPECT_TRUE(emulator::snapshot(*line).received.empty());
}

// The README's way: the batch's file read from a controller fresh from the
// factory holds its address (10), which tells a done controller from a new
// one no more: it is given last, and a fresh one holding it is never done.
TEST(Station, AFileReadFromAFreshControllerGivesItsOwnAddressLast)
{
    const fs::path log = kit::own_directory() / "fresh" / "log";
    fs::create_directories(log.parent_path());
    {
        auto first = start_line(1);
        ASSERT_EQ(
            run_with({"--port", "COM1", "--read", "-o", file_argument(log.parent_path() / "batch.conf")})
                .exit_code,
            0);
    }
    // Of the file's type, as its header says.
    auto line = start_visits(1, {controller("ZML-4C08"), controller("ZML-4C08")}, {{0, 6, 2}, {1, 0, 0}});
    const ProgramResult result = run_with(station(log, "10-11"));
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(events(result.output),
              (std::vector<std::string>{"COM1: address 11 written, ZML-4C08, firmware 105 (1 of 2 done)",
                                        "COM1: address 10 written, ZML-4C08, firmware 105 (2 of 2 done)",
                                        "Batch complete: 2 written, 0 already done, 0 failed"}));
}

// The batch's memory is the folder's record: writes.csv saved by a
// spreadsheet, or lost, changes nothing a station decides.
TEST(Station, WhatASpreadsheetDoesToWritesCsvChangesNothingAStationDecides)
{
    const fs::path log = kit::own_directory() / "spreadsheet" / "log";
    {
        auto first = start_line(1, controller("ZML-AAAA"));
        EXPECT_EQ(run_with(station(log, "2-2")).exit_code, 0);
    }
    std::ofstream(log / "writes.csv", std::ios::trunc) << "time_utc;port;type\r\n\"2026-12-07;COM1;ZML\r\n";
    auto second = start_line(1, controller("ZML-BBBB"));
    const ProgramResult result = run_with(station(log, "2-3"));
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    EXPECT_EQ(
        events(result.output),
        (std::vector<std::string>{
            file_argument(log) + " holds 1 of the 2 addresses already given; the station gives the free ones",
            "COM1: address 3 written, ZML-BBBB, firmware 105 (2 of 2 done)",
            "Batch complete: 1 written, 0 already done, 0 failed"}));
    EXPECT_EQ(emulator::snapshot(*second).configuration, configuration_a(3));
}

// Another station stopped with Ctrl+Z holds the folder's lock: Ctrl+C ends
// the wait at once, and nothing is written.
TEST(Station, AStopWhileAnotherHoldsTheFoldersLockEndsAtOnceWithNothingWritten)
{
    SKIP_WHERE(platform.no_signals);
    const fs::path log = kit::own_directory() / "locked" / "log";
    fs::create_directories(log);
    const int lock = open((log / "station.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    auto line = start_line(1, controller("ZML-AAAA"));
    RunningProgram program = start_program(configurator_run("", station(log, "2-3")));
    std::this_thread::sleep_for(std::chrono::milliseconds(1'000));
    kill(program.pid, SIGINT);
    const ProgramResult result = finish_program(program);
    close(lock);
    EXPECT_EQ(result.exit_code, 3) << result.errors;
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(emulator::snapshot(*line).configuration, emulator::ControllerSetup{}.configuration)
        << "nothing written";
}

// The emulator as a newcomer runs it from a shell: its controller pulled out
// and plugged in again while the station watches (kill -USR1, kill -USR2).
TEST(Station, AControllerDisconnectedAndConnectedFromTheShellIsAlreadyDone)
{
    SKIP_WHERE(platform.no_signals);
    const fs::path log = kit::own_directory() / "from the shell" / "log";
    const std::string identify = ": FF 28 59 80\n", read = ": FF 30 56 7B 80\n";
    kit::Emulator emulator(com_port_path(1), {"--log"});
    RunningProgram program = start_program(configurator_run("", station(log, "2-3")));
    ASSERT_TRUE(kit::wait_until_said(emulator, ": FF 56 ")) << emulator.said;
    // Polling again: done with it.
    ASSERT_TRUE(kit::wait_until_said(emulator, identify, kit::times_said(emulator, identify) + 1));

    ASSERT_TRUE(kit::connect_controller(emulator, false)) << emulator.said;
    ASSERT_TRUE(kit::wait_until_said(emulator, " to nobody" + identify, 2)) << emulator.said;
    ASSERT_TRUE(kit::connect_controller(emulator, true)) << emulator.said;
    ASSERT_TRUE(kit::wait_until_said(emulator, read, kit::times_said(emulator, read) + 2)) << emulator.said;
    ASSERT_TRUE(kit::wait_until_said(emulator, identify, kit::times_said(emulator, identify) + 1));
    kill(program.pid, SIGINT);
    const ProgramResult result = finish_program(program);
    EXPECT_EQ(events(result.output).front(), "COM1: address 2 written, ZML-4C08, firmware 105 (1 of 2 done)");
    EXPECT_EQ(events(result.output).at(1), "COM1: already done as address 2, ZML-4C08, firmware 105")
        << result.output;
    EXPECT_EQ(written_addresses(log), (std::multiset<std::string>{"2"}));
    EXPECT_NE(kit::stop(emulator).find("zumel-emulator: controller disconnected\n"), std::string::npos);
}
