// What the Windows build decides from the system's answers, as Microsoft
// documents them: the answers Wine does not give, given here.

#include <gtest/gtest.h>

#include <map>

#include "system/windows_console.hpp"
#include "system/windows_files.hpp"
#include "windows_rules.hpp"

TEST(WindowsLink, AFailedTransferIsAHangUpATimeOutOrAFailure)
{
    const std::pair<unsigned long, TransferEnd> ends[] = {
        {1617, TransferEnd::hung_up},  {22, TransferEnd::hung_up},     {31, TransferEnd::hung_up},
        {55, TransferEnd::hung_up},    {433, TransferEnd::hung_up},    {1167, TransferEnd::hung_up},
        {5, TransferEnd::hung_up},     {995, TransferEnd::hung_up},    {1121, TransferEnd::timed_out},
        {121, TransferEnd::timed_out}, {1460, TransferEnd::timed_out}, {87, TransferEnd::failed},
        {6, TransferEnd::failed},      {0, TransferEnd::failed},
    };
    for (const auto& [error, end] : ends) {
        EXPECT_EQ(transfer_end_for(error), end) << error;
    }
}

TEST(WindowsPortList, RegistryMapAndDeviceManagerMakeOneListInOrder)
{
    const unsigned long started = 0x8, problem = 0x400; // DN_STARTED, DN_HAS_PROBLEM
    const std::vector<MappedPort> mapped = {{"\\Device\\Serial0", "COM1"},
                                            {"\\Device\\VCP0", "COM12"},
                                            {"\\Device\\com0com10", "CNCA0"},
                                            {"\\Device\\BthModem0", "COM9"},
                                            {"\\Device\\Serial1", "com2"}};
    const std::vector<ManagedPort> managed = {
        {"COM1", "Communications Port (COM1)", "Communications Port", "ACPI", "Serial", true, started},
        {"COM12", "", "USB Serial Port", "FTDIBUS", "FTSER2K", true, started},
        {"cnca0", "com0com - serial port emulator CNCA0", "", "COM0COM", "com0com", true, started},
        {"COM9", "Standard Serial over Bluetooth link (COM9)", "", "BTHENUM", "BTHMODEM", true, started},
        {"COM4", "Prolific USB-to-Serial (COM4)", "", "USB", "Ser2pl", true, problem | started},
        {"COM5", "USB-SERIAL CH340 (COM5)", "", "USB", "CH341SER_A64", true, 0},
        {"COM6", "Bluetooth port (COM6)", "", "bthenum", "", false, 0},
        {"LPT1", "Printer Port (LPT1)", "", "ACPI", "Parport", true, started},
    };
    // Each: its COM name or -, any other name, device, Device Manager's name, Bluetooth, stopped
    std::string listed;
    for (const PortInfo& info : windows_port_list(mapped, managed)) {
        listed += (info.port ? com_name(*info.port) : "-") + " " + info.port_name + " " + info.device + " '" +
                  info.system_name + "'" + (info.bluetooth ? " Bluetooth" : "") +
                  (info.running ? "" : " stopped") + "\n";
    }
    EXPECT_EQ(listed, "COM1  \\Device\\Serial0 'Communications Port (COM1)'\n"
                      "COM2  \\Device\\Serial1 ''\n"
                      "COM4   'Prolific USB-to-Serial (COM4)' stopped\n"
                      "COM5   'USB-SERIAL CH340 (COM5)' stopped\n"
                      "COM6   'Bluetooth port (COM6)' Bluetooth\n"
                      "COM9  \\Device\\BthModem0 'Standard Serial over Bluetooth link (COM9)' Bluetooth\n"
                      "COM12  \\Device\\VCP0 'USB Serial Port'\n"
                      "- cnca0 \\Device\\com0com10 'com0com - serial port emulator CNCA0'\n");
}

TEST(WindowsFiles, NamesWindowsTakesForDevices)
{
    const std::pair<const char*, const char*> devices[] = {
        {"COM3.conf", "the serial port COM3"},
        {"com3", "the serial port COM3"},
        {"COM3 .conf", "the serial port COM3"},
        {"COM3.", "the serial port COM3"},
        {"COM3:", "the serial port COM3"},
        {"C:\\site a\\Com0.tar.gz", "the serial port COM0"},
        {"records/lpt9.csv", "the printer port LPT9"},
        {"d:LPT1", "the printer port LPT1"},
        {"\\\\.\\COM2", "the serial port COM2"},
        {"com\xC2\xB9.txt", "the serial port COM\xC2\xB9"},
        {"LPT\xC2\xB3", "the printer port LPT\xC2\xB3"},
        {"prn.txt", "the printer (PRN)"},
        {"Aux", "the auxiliary device (AUX)"},
    };
    for (const auto& [name, device] : devices) {
        EXPECT_EQ(windows_device_name(name), device) << name;
    }
    // Files, and the devices a user means.
    for (const char* name :
         {"NUL", "nul.txt", "CON", "COM10.conf", "COM\xC2\xB4", "COM", "COM3x.conf", " COM3", "my COM3.conf",
          "COM3\\a.conf", "\\\\?\\C:\\x\\COM3.conf", "a.conf", ""}) {
        EXPECT_EQ(windows_device_name(name), "") << name;
    }
}

namespace {

// Each call's failures: its error code until the clock reaches a time.
using Failures = std::map<std::string, std::vector<std::pair<unsigned long, unsigned long long>>>;

// A folder and a clock of the test's own: each call does what Microsoft
// documents of it, or fails as told.
struct Folder {
    std::map<std::string, std::string> files{};
    Failures failures{};
    unsigned long long now = 0;

    unsigned long call(const std::string& name, const std::function<void()>& effect)
    {
        for (const auto& [error, until] : failures[name]) {
            if (now < until) {
                if (error == 1177) {
                    move("name", "backup"); // ERROR_UNABLE_TO_MOVE_REPLACEMENT_2
                }
                return error;
            }
        }
        effect();
        return 0;
    }
    void move(const std::string& from, const std::string& to)
    {
        files[to] = files.at(from);
        files.erase(from);
    }
    ReplaceCalls calls()
    {
        return {.write_new = [this] { return call("write", [this] { files["new"] = "new"; }); },
                .replace =
                    [this] {
                        return call("replace", [this] {
                            move("name", "backup");
                            move("new", "name");
                        });
                    },
                .move_new_in = [this] { return call("move in", [this] { move("new", "name"); }); },
                .move_new_over = [this] { return call("move over", [this] { move("new", "name"); }); },
                .restore_old = [this] { return call("restore", [this] { move("backup", "name"); }); },
                .delete_new = [this] { return call("delete new", [this] { files.erase("new"); }); },
                .delete_backup = [this] { return call("delete backup", [this] { files.erase("backup"); }); },
                .clock = {.now_ms = [this] { return now; }, .sleep_ms = [this](unsigned ms) { now += ms; }}};
    }
};

} // namespace

TEST(WindowsFiles, AReplacementLeavesTheOldFileOrTheNewOneUnderTheName)
{
    const unsigned long long always = ~0ULL;
    struct Case {
        bool old_exists;
        Failures failures{};
        std::map<std::string, std::string> left;
        unsigned long error;
        bool stranded = false;
    };
    const Case cases[] = {
        {true, {}, {{"name", "new"}}, 0},
        {false, {}, {{"name", "new"}}, 0},
        {true, {{"write", {{112, always}}}}, {{"name", "old"}}, 112},
        {false, {{"move in", {{32, 400}}}}, {{"name", "new"}}, 0},
        {false, {{"move in", {{183, always}}}}, {}, 183},
        // Busy for a moment, or for longer than the program waits.
        {true, {{"replace", {{5, 600}}}, {"move over", {{5, always}}}}, {{"name", "new"}}, 0},
        {true, {{"replace", {{32, always}}}, {"move over", {{32, always}}}}, {{"name", "old"}}, 32},
        {true, {{"replace", {{1175, always}}}}, {{"name", "new"}}, 0},
        {true, {{"replace", {{1176, always}}}, {"move over", {{5, always}}}}, {{"name", "old"}}, 5},
        {true, {{"delete backup", {{32, always}}}}, {{"name", "new"}, {"backup", "old"}}, 0},
        // The old file under the backup name only.
        {true, {{"replace", {{1177, always}}}}, {{"name", "new"}}, 0},
        {true, {{"replace", {{1177, always}}}, {"move in", {{32, 700}}}}, {{"name", "new"}}, 0},
        {true, {{"replace", {{32, 900}, {1177, always}}}, {"move in", {{32, 1500}}}}, {{"name", "new"}}, 0},
        {true, {{"replace", {{1177, always}}}, {"move in", {{5, always}}}}, {{"name", "old"}}, 5},
        {true,
         {{"replace", {{1177, always}}}, {"move in", {{5, always}}}, {"restore", {{5, always}}}},
         {{"backup", "old"}, {"new", "new"}},
         5,
         true},
    };
    for (const Case& c : cases) {
        Folder folder{.failures = c.failures};
        if (c.old_exists) {
            folder.files["name"] = "old";
        }
        const Replacement result = replace_by_steps(c.old_exists, folder.calls());
        const std::string row = c.failures.empty() ? "none" : c.failures.begin()->first;
        EXPECT_EQ(folder.files, c.left) << row;
        EXPECT_EQ(result.done, c.error == 0) << row;
        EXPECT_EQ(result.error, c.error) << row;
        EXPECT_EQ(result.stranded, c.stranded) << row;
        EXPECT_LT(folder.now, 2'100U) << row;
    }
}

TEST(WindowsFiles, ABusyFileIsWaitedForByTheClockAndSaidOnce)
{
    // busy until, result, notices, when it ended
    const std::tuple<unsigned long long, unsigned long, int, unsigned long long> cases[] = {
        {0, 0, 0, 0}, {700, 0, 0, 700}, {3'000, 0, 1, 3'000}, {~0ULL, 32, 1, 10'000}};
    for (const auto& [until, result, notices, ended] : cases) {
        const unsigned long long busy_until = until; // captured below, which a binding cannot be
        unsigned long long now = 0;
        int said = 0;
        const unsigned long got =
            retry_while_busy([&] { return now < busy_until ? 32UL : 0UL; }, {32}, 10'000,
                             {.now_ms = [&] { return now; }, .sleep_ms = [&](unsigned ms) { now += ms; }},
                             1'000, [&] { ++said; });
        EXPECT_EQ(got, result) << busy_until;
        EXPECT_EQ(said, notices) << busy_until;
        EXPECT_EQ(now, ended) << busy_until;
    }
    // Another error ends the wait at once.
    unsigned long long now = 0;
    EXPECT_EQ(retry_while_busy([] { return 2UL; }, {32}, 10'000,
                               {.now_ms = [&] { return now; }, .sleep_ms = [&](unsigned ms) { now += ms; }}),
              2U);
    EXPECT_EQ(now, 0U);
}

TEST(WindowsConsole, OwnOnlyWhenOpenedForThisProgramAloneAndReadFrom)
{
    // processes on the console, standard input is it, own
    const std::tuple<unsigned long, bool, bool> cases[] = {
        {1, true, true}, {1, false, false}, {2, true, false}, {3, true, false}, {0, false, false}};
    for (const auto& [processes, input, own] : cases) {
        EXPECT_EQ(own_console(processes, input), own) << processes << " " << input;
    }
}

TEST(WindowsConsole, EveryControlEventStopsAndThoseThatEndTheProcessHoldItForTheRecord)
{
    // CTRL_C, CTRL_BREAK, CTRL_CLOSE, CTRL_LOGOFF, CTRL_SHUTDOWN
    const std::pair<unsigned long, unsigned> cases[] = {{0, 0}, {1, 0}, {2, 4500}, {5, 4500}, {6, 4500}};
    for (const auto& [event, hold_ms] : cases) {
        EXPECT_TRUE(control_event_rule(event).stop) << event;
        EXPECT_EQ(control_event_rule(event).hold_ms, hold_ms) << event;
    }
}

TEST(WindowsConsole, QuickEditGoesOffWithTheExtendedFlagsAndAModeWithoutItStays)
{
    // conhost's default 0x1F7 (QuickEdit, insert, extended flags and the line modes)
    EXPECT_EQ(without_quick_edit(0x1F7).mode, 0x1B7U);
    EXPECT_TRUE(without_quick_edit(0x1F7).changed);
    EXPECT_EQ(without_quick_edit(0x0047).mode, 0x0087U) << "the extended flags say the QuickEdit bit counts";
    EXPECT_FALSE(without_quick_edit(0x01B7).changed);
    EXPECT_EQ(without_quick_edit(0x01B7).mode, 0x01B7U);
}
