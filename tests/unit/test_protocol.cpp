// The checksum, the settings codec, COM names and what sysfs tells of a
// machine's ports. What the requests send and read is proven end to end, on
// the line.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <numeric>

#include "console_pty.hpp"
#include "frames.hpp"
#include "kit.hpp"
#include "ports_linux.hpp"
#include "pty_line.hpp"
#include "serial_link.hpp"
#include "settings.hpp"

namespace {

using kit::Bytes;
using kit::hex;

} // namespace

TEST(Checksum, IsTheNegatedSumInSevenBitsAndTouchesOnlyItsPosition)
{
    const std::pair<Bytes, std::uint8_t> fixed[] = {
        {{0xFF, 0x28, 0}, 0x59}, {{0xFF, 0x26, 0}, 0x5B}, {{0xFF, 0x30, 0x56, 0}, 0x7B}, {{0xFF, 0}, 0x01}};
    for (auto [frame, checksum] : fixed) {
        const auto n = static_cast<std::uint8_t>(frame.size() - 1);
        compute_checksum(frame.data(), n);
        EXPECT_EQ(frame[n], checksum) << hex(frame);
    }
    Bytes frame(256, 0xAA);
    for (std::size_t i = 0; i < 255; ++i) {
        frame[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    for (unsigned n : {1U, 50U, 255U}) {
        Bytes copy = frame;
        compute_checksum(copy.data(), static_cast<std::uint8_t>(n));
        EXPECT_EQ(std::accumulate(copy.begin(), copy.begin() + n + 1, 0U) % 128, 0U) << n;
        EXPECT_LE(copy[n], 0x7F);
        copy[n] = frame[n];
        EXPECT_EQ(copy, frame) << "only position " << n << " may change";
    }
    // The write frame's own, at position 50; its layout shows on the line.
    const std::pair<ConfigurationBytes, std::uint8_t> configurations[] = {
        {{0x01, 0x00, 0x74, 0x78, 0x00, 0x7C}, 0x42},
        {{0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D}, 0x34},
        {{0x01, 0x02, 0x7F, 0x7E, 0x48, 0x7F}, 0x64},
    };
    for (const auto& [configuration, checksum] : configurations) {
        EXPECT_EQ(build_write_frame(configuration)[50], checksum) << hex(configuration);
    }
}

TEST(SettingsCodec, KnownEncodingsAndDecodingsIgnoreUnusedBits)
{
    const std::pair<ControllerSettings, ConfigurationBytes> encodings[] = {
        {ControllerSettings{1, 0, 0, 0, 0, 0, 0, 0}, {0x01, 0x00, 0x74, 0x78, 0x00, 0x7C}},
        {ControllerSettings{1, 2, 3, 1, 2, 1, 200, 1}, {0x01, 0x02, 0x7F, 0x7E, 0x48, 0x7F}},
        {ControllerSettings{63, 3, 3, 1, 3, 1, 255, 1}, {0x3F, 0x03, 0x7F, 0x7F, 0x7F, 0x7F}},
        {ControllerSettings{10, 2, 1, 0, 1, 0, 128, 0}, {0x0A, 0x02, 0x75, 0x79, 0x00, 0x7D}},
    };
    for (const auto& [settings, bytes] : encodings) {
        EXPECT_EQ(hex(encode_settings(settings)), hex(bytes));
    }
    const std::pair<ConfigurationBytes, ControllerSettings> decodings[] = {
        {{0x7F, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}, ControllerSettings{63, 1, 3, 1, 3, 1, 255, 1}},
        {{0xC0, 0x05, 0xF4, 0xF8, 0x80, 0xFC}, ControllerSettings{0, 5, 0, 0, 0, 0, 0, 0}},
        {{0x01, 0xFF, 0x00, 0x00, 0x00, 0x00}, ControllerSettings{1, 255, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& [bytes, settings] : decodings) {
        EXPECT_EQ(decode_settings(bytes), settings) << hex(bytes);
    }
}

// Every combination within the ranges survives a round trip, and every byte
// that goes on the line keeps its top bit clear.
TEST(SettingsCodec, RoundTripOverTheWholeRange)
{
    std::size_t combinations = 1;
    for (const SettingField& field : setting_fields) {
        combinations *= field.highest - field.lowest + 1;
    }
    ASSERT_EQ(combinations, 63U * 4 * 4 * 2 * 4 * 2 * 256 * 2);
    for (std::size_t n = 0; n < combinations; ++n) {
        ControllerSettings s;
        for (std::size_t rest = n; const SettingField& field : setting_fields) {
            s.*field.member = field.lowest + static_cast<unsigned>(rest % (field.highest - field.lowest + 1));
            rest /= field.highest - field.lowest + 1;
        }
        const ConfigurationBytes bytes = encode_settings(s);
        ASSERT_LT(*std::max_element(bytes.begin(), bytes.end()), 0x80) << hex(bytes);
        ASSERT_EQ(decode_settings(bytes), s) << hex(bytes);
    }
}

TEST(ComNames, OneToTwoHundredFiftyFiveInAnyCaseAndNothingElse)
{
    for (const char* name :
         {"LPT1", "COM", "COM0", "COM01", "COM1x", "COM256", "COM1234", "", " COM1", "CON1"}) {
        EXPECT_FALSE(parse_com_port(name)) << name;
    }
    const std::pair<const char*, const char*> names[] = {
        {"COM1", "COM1"}, {"com12", "COM12"}, {"cOm255", "COM255"}};
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

// The emulator judges the configurator's line settings in every end-to-end
// session; its judgement must be trusted.
TEST(EmulatorLine, NamesWrongLineSettings)
{
    termios right{};
    cfmakeraw(&right);
    right.c_cflag |= CS8 | PARODD | CREAD | CLOCAL; // a pty drops PARENB
    cfsetispeed(&right, B9600);
    cfsetospeed(&right, B9600);
    EXPECT_EQ(emulator::line_setting_problems(right), "");
    termios wrong = right;
    wrong.c_cflag = (wrong.c_cflag & ~(CSIZE | PARODD)) | CS7 | CSTOPB | CRTSCTS;
    wrong.c_iflag |= IXON | ICRNL;
    wrong.c_lflag |= ICANON;
    wrong.c_oflag |= OPOST;
    cfsetspeed(&wrong, B19200);
    EXPECT_EQ(emulator::line_setting_problems(wrong),
              "input speed not 9600, output speed not 9600, not 8 data bits, PARODD clear, CSTOPB set, "
              "CRTSCTS set, IXON set, ICRNL set, ICANON set, OPOST set");
}
