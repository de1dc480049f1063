// COM names, what sysfs tells of a machine's serial ports, and --list as
// the technician reads it.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/sysmacros.h>

#include "console_pty.hpp"
#include "kit.hpp"
#include "line_users_linux.hpp"
#include "ports_linux.hpp"
#include "serial_link.hpp"
#include "stub_line.hpp"
#include "survey/survey.hpp"

TEST(ComNames, OneToTwoHundredFiftyFiveInAnyCaseAndNothingElse)
{
    for (const char* name :
         {"LPT1", "COM", "COM0", "COM01", "COM1x", "COM4097", "COM12345", "", " COM1", "CON1"}) {
        EXPECT_FALSE(parse_com_port(name)) << name;
    }
    const std::pair<const char*, const char*> names[] = {
        {"COM1", "COM1"}, {"com12", "COM12"}, {"cOm256", "COM256"}, {"COM4096", "COM4096"}};
    for (const auto& [typed, name] : names) {
        ASSERT_TRUE(parse_com_port(typed)) << typed;
        EXPECT_EQ(com_name(*parse_com_port(typed)), name);
    }
}

TEST(PortList, UsbAdaptersAreNamedPlaceholdersAndConsolesLeftOut)
{
    namespace fs = std::filesystem;
    const fs::path root = kit::own_directory() / "machine";
    auto write = [](const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text << "\n";
    };
    // tty name, where its device sits, its UART type ("" for none), and the
    // USB device's attributes above it, if any.
    const std::tuple<std::string, std::string, std::string, std::vector<std::pair<std::string, std::string>>>
        ttys[] = {
            {"ttyS0", "pnp0/00:01", "4", {}},
            {"ttyS1", "platform/serial8250", "0", {}},
            {"ttyUSB0",
             "usb1/1-1/1-1:1.0/ttyUSB0",
             "",
             {{"idVendor", "0403"},
              {"idProduct", "6001"},
              {"manufacturer", "FTDI  "}, // as some adapters pad it
              {"product", "FT232R USB UART"},
              {"serial", "A50285BI"}}},
            {"ttyACM12", "usb1/1-2/1-2:1.0", "", {{"idVendor", "2341"}, {"idProduct", "0043"}}},
            {"tty0", "", "", {}},
        };
    for (const auto& [name, device, type, usb] : ttys) {
        const fs::path tty = root / "sys/class/tty" / name;
        write(root / "dev" / name, "");
        fs::create_directories(tty);
        if (!type.empty()) {
            write(tty / "type", type);
        }
        if (!device.empty()) {
            fs::create_directories(root / "sys/devices" / device);
            fs::create_directory_symlink(root / "sys/devices" / device, tty / "device");
        }
        const fs::path usb_device = (root / "sys/devices" / device).parent_path().parent_path();
        for (const auto& [attribute, value] : usb) {
            write(name == "ttyACM12" ? (root / "sys/devices" / device).parent_path() / attribute
                                     : usb_device / attribute,
                  value);
        }
    }
    write(root / "sys/class/tty/console/active", "ttyS0 tty0");
    // A placeholder UART at a PREFIXn path: a character device (the
    // machine's null device, never opened) whose tty entry says type 0.
    fs::remove(root / "dev/ttyS1");
    fs::create_symlink("/dev/null", root / "dev/ttyS1");
    fs::create_directories(root / "sys/dev/char");
    fs::create_directory_symlink(root / "sys/class/tty/ttyS1", root / "sys/dev/char/1:3");
    fs::create_directories(root / "sys/class/subsystem/tty");
    fs::create_directory_symlink(root / "sys/class/subsystem/tty", root / "sys/class/tty/ttyS1/subsystem");
    // A terminal at a PREFIXn path is a COM port, and only that, whatever
    // else sysfs says of the same device.
    const Console terminal;
    fs::create_symlink(terminal.path, root / "dev/ttyS3");
    fs::create_directories(root / "sys/devices/pnp0/00:03");
    fs::create_directories(root / "sys/class/tty/ttyS3");
    fs::create_directory_symlink(root / "sys/devices/pnp0/00:03", root / "sys/class/tty/ttyS3/device");
    std::string listed;
    const char* kinds[] = {"unknown", "serial", "pseudo-terminal", "usb"};
    for (const PortInfo& info : list_serial_ports(
             {(root / "dev/ttyS").string(), (root / "sys").string(), (root / "dev").string()})) {
        const PortInfo::Usb& usb = info.usb;
        listed += (info.port ? com_name(*info.port) : "-") + " " + info.device.substr(root.string().size()) +
                  ": " + kinds[static_cast<int>(info.kind)] +
                  (info.kind == PortInfo::Kind::usb
                       ? " " + usb.manufacturer + "|" + usb.product + "|" + usb.serial_number + "|" +
                             usb.vendor_id + ":" + usb.product_id
                       : "") +
                  (info.system_console ? ", console" : "") +
                  (info.reached_as ? "; " + info.reached_with_prefix.substr(root.string().size()) + " " +
                                         com_name(*info.reached_as)
                                   : "") +
                  "\n";
    }
    EXPECT_EQ(listed, "COM4 /dev/ttyS3: pseudo-terminal\n"
                      "- /dev/ttyACM12: usb |||2341:0043; /dev/ttyACM COM13\n"
                      "- /dev/ttyS0: serial, console; /dev/ttyS COM1\n"
                      "- /dev/ttyUSB0: usb FTDI|FT232R USB UART|A50285BI|0403:6001; /dev/ttyUSB COM1\n");
}

TEST(PortList, ListShowsWhatTheSystemKnowsUnderOneHeadingForTheRest)
{
    PortInfo usb{.device = "/dev/ttyUSB3", .kind = PortInfo::Kind::usb};
    usb.usb = {.manufacturer = "FTDI",
               .product = "FT232R",
               .serial_number = "A5",
               .vendor_id = "0403",
               .product_id = "6001"};
    stub::reset(
        {.ports = {
             {.port = ComPort{1},
              .device = "/x/ttyS0",
              .kind = PortInfo::Kind::serial,
              .system_console = true},
             {.port = ComPort{12}, .device = "\\Device\\Serial11", .system_name = "USB Serial Port (COM12)"},
             {.device = "/dev/ttyACM0", .kind = PortInfo::Kind::usb, .usb = {"", "", "", "2341", "43"}},
             usb,
             {.device = "/dev/ttyS0",
              .kind = PortInfo::Kind::serial,
              .reached_as = ComPort{1},
              .reached_with_prefix = "/dev/ttyS"},
         }});
    stub::line.ports[3].reached_as = ComPort{4};
    stub::line.ports[3].reached_with_prefix = "/dev/ttyUSB";
    const std::string listed = kit::written_to(1, [] { list_serial_ports_command({"/x/ttyS"}); });
    EXPECT_EQ(
        listed,
        "COM1    /x/ttyS0        serial port, the system's console\n"
        "COM12   \\Device\\Serial11  USB Serial Port (COM12)\n"
        "Other serial devices, not COM ports under the prefix in force:\n"
        "        /dev/ttyACM0    USB 2341:43\n"
        "        /dev/ttyUSB3    FTDI FT232R, serial number A5 (USB 0403:6001); reached by --com-prefix "
        "/dev/ttyUSB --port COM4\n"
        "        /dev/ttyS0      serial port; reached by --com-prefix /dev/ttyS --port COM1\n");
    stub::reset();
    EXPECT_EQ(kit::written_to(1, [] { list_serial_ports_command({"/x/ttyS"}); }), "No serial ports found.\n");
}

// With no COM port under the prefix, --find names the devices outside it as
// --list does, with the options that reach them, and opens none.
TEST(PortList, FindWithoutPortsNamesTheDevicesOutsideThePrefix)
{
    stub::reset({.ports = {{.device = "/dev/ttyACM0", .kind = PortInfo::Kind::usb},
                           {.device = "/dev/ttyUSB3",
                            .kind = PortInfo::Kind::usb,
                            .reached_as = ComPort{4},
                            .reached_with_prefix = "/dev/ttyUSB"}}});
    EXPECT_EQ(kit::written_to(1, [] { find_controllers({"/x/ttyS"}, {}); }),
              "No serial ports to ask under the prefix in force; serial devices outside it:\n"
              "        /dev/ttyUSB3    reached by --com-prefix /dev/ttyUSB --port COM4\n");
    stub::reset({.ports = {{.device = "/dev/ttyACM0", .kind = PortInfo::Kind::usb}}});
    EXPECT_EQ(kit::written_to(1, [] { find_controllers({"/x/ttyS"}, {}); }), "No serial ports to ask.\n");
    stub::reset();
}

// Who else uses a line: the process a UUCP lock names, in either form, and
// this process's terminal as /proc tells it.
TEST(LineUsers, LockFilesAndTheControllingTerminalAreReadAsTheSystemWritesThem)
{
    const std::int32_t binary = 4321;
    const std::pair<std::string, std::optional<pid_t>> locks[] = {
        {"      1234\n", 1234},  {"1234", 1234},
        {"  99 \n", 99},         {std::string(reinterpret_cast<const char*>(&binary), 4), 4321},
        {"", std::nullopt},      {"x1234\n", std::nullopt},
        {"12a\n", std::nullopt}, {"0\n", std::nullopt},
    };
    for (const auto& [content, owner] : locks) {
        EXPECT_EQ(lock_owner(content), owner) << content;
    }
    const std::pair<std::string, std::optional<dev_t>> stats[] = {
        {"4242 (zumel-config) S 1 4242 4242 34817 4242 4194560", makedev(136, 1)},
        {"4242 (a (b) c) R 1 2 3 1025 4", makedev(4, 1)},
        {"4242 (sshd) S 1 2 3 1083392 4", makedev(136, 256)}, // /dev/pts/256: the minor's high bits
        {"4242 (bash) S 1 2 3 0 -1", std::nullopt},
        {"4242 (x) S 1 2 3", std::nullopt},
        {"garbage", std::nullopt},
    };
    for (const auto& [stat, terminal] : stats) {
        EXPECT_EQ(controlling_terminal(stat), terminal) << stat;
    }
}
