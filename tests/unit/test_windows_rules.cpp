// What the Windows build decides from the system's answers, as Microsoft
// documents them: the answers Wine does not give, given here.

#include <gtest/gtest.h>

#include <map>

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
    // name, device, Device Manager's name, Bluetooth, running
    const std::tuple<std::string, std::string, std::string, bool, bool> expected[] = {
        {"COM1", "\\Device\\Serial0", "Communications Port (COM1)", false, true},
        {"COM2", "\\Device\\Serial1", "", false, true},
        {"COM4", "", "Prolific USB-to-Serial (COM4)", false, false},
        {"COM5", "", "USB-SERIAL CH340 (COM5)", false, false},
        {"COM6", "", "Bluetooth port (COM6)", true, true},
        {"COM9", "\\Device\\BthModem0", "Standard Serial over Bluetooth link (COM9)", true, true},
        {"COM12", "\\Device\\VCP0", "USB Serial Port", false, true},
        {"cnca0", "\\Device\\com0com10", "com0com - serial port emulator CNCA0", false, true},
    };
    const std::vector<PortInfo> list = windows_port_list(mapped, managed);
    ASSERT_EQ(list.size(), std::size(expected));
    for (std::size_t i = 0; i < list.size(); ++i) {
        const auto& [name, device, system_name, bluetooth, running] = expected[i];
        const PortInfo& info = list[i];
        EXPECT_EQ(info.port ? com_name(*info.port) : info.port_name, name) << i;
        EXPECT_EQ(info.port.has_value(), info.port_name.empty()) << name;
        EXPECT_EQ(info.device, device) << name;
        EXPECT_EQ(info.system_name, system_name) << name;
        EXPECT_EQ(info.bluetooth, bluetooth) << name;
        EXPECT_EQ(info.running, running) << name;
    }
}
