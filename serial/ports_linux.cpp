#include "ports_linux.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <utility>

namespace fs = std::filesystem;

namespace {

std::string first_line(const fs::path& path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

// A UART the kernel reserved a node for but never found: type 0, unknown.
bool is_placeholder(const fs::path& tty)
{
    std::error_code error;
    return fs::exists(tty / "type", error) && first_line(tty / "type") == "0";
}

// What sysfs knows of the device behind a tty: for a USB adapter its maker,
// product and serial number, found on the USB device above the interface.
void describe(const fs::path& tty, PortInfo& info)
{
    info.kind = PortInfo::Kind::serial;
    std::error_code error;
    fs::path device = fs::canonical(tty / "device", error);
    for (int level = 0; !error && level < 4 && device.has_relative_path(); ++level) {
        if (fs::exists(device / "idVendor", error)) {
            info.kind = PortInfo::Kind::usb;
            info.usb = {.manufacturer = first_line(device / "manufacturer"),
                        .product = first_line(device / "product"),
                        .serial_number = first_line(device / "serial"),
                        .vendor_id = first_line(device / "idVendor"),
                        .product_id = first_line(device / "idProduct")};
            return;
        }
        device = device.parent_path();
    }
}

// The sysfs entry of the tty a character device is; empty when it is none.
fs::path tty_entry(const std::string& sysfs, dev_t device)
{
    std::error_code error;
    const fs::path entry =
        fs::canonical(fs::path(sysfs) / "dev" / "char" /
                          (std::to_string(major(device)) + ":" + std::to_string(minor(device))),
                      error);
    if (error || fs::canonical(entry / "subsystem", error).filename() != "tty" || error) {
        return {};
    }
    return entry;
}

// Where the number a device's name ends in begins: 6 in "ttyUSB0".
std::size_t number_start(const std::string& name)
{
    return name.find_last_not_of("0123456789") + 1;
}

// "ttyUSB0" is COM1 under the prefix /dev/ttyUSB.
void add_reach(PortInfo& info, const std::string& dev, const std::string& name)
{
    const std::size_t digits = number_start(name);
    if (digits == name.size() || name.size() - digits > 3) {
        return;
    }
    const unsigned number = static_cast<unsigned>(std::stoul(name.substr(digits))) + 1;
    if (number <= highest_com_number) {
        info.reached_as = ComPort{number};
        info.reached_with_prefix = (fs::path(dev) / name.substr(0, digits)).string();
    }
}

// Natural order: ttyS2 before ttyS10. Of two numbers after the same stem
// the one with fewer digits is the smaller, however long either is.
bool comes_before(const std::string& a, const std::string& b)
{
    const std::size_t a_digits = number_start(a), b_digits = number_start(b);
    if (a.compare(0, a_digits, b, 0, b_digits) != 0) {
        return a < b;
    }
    return std::pair(a.size() - a_digits, a) < std::pair(b.size() - b_digits, b);
}

// The kernel's consoles, "ttyS0 tty0": no probe may write to them.
bool is_console(const SystemView& system, const std::string& name)
{
    std::istringstream consoles(first_line(fs::path(system.sysfs) / "class/tty/console/active"));
    for (std::string console; consoles >> console;) {
        if (console == name) {
            return true;
        }
    }
    return false;
}

} // namespace

std::vector<PortInfo> list_serial_ports(const SystemView& system)
{
    std::vector<PortInfo> ports;
    std::vector<dev_t> listed;
    for (unsigned number = 1; number <= highest_com_number; ++number) {
        const std::string path = system.com_prefix + std::to_string(number - 1);
        struct stat status {};
        if (stat(path.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) {
            continue;
        }
        PortInfo info{.port = ComPort{number}, .device = path};
        if (is_pseudo_terminal_major(major(status.st_rdev))) {
            info.kind = PortInfo::Kind::pseudo_terminal;
        } else {
            const fs::path tty = tty_entry(system.sysfs, status.st_rdev);
            if (tty.empty() || is_placeholder(tty)) {
                continue;
            }
            describe(tty, info);
            info.system_console = is_console(system, tty.filename().string());
        }
        listed.push_back(status.st_rdev);
        ports.push_back(std::move(info));
    }

    std::vector<PortInfo> others;
    std::error_code error;
    for (const fs::directory_entry& entry :
         fs::directory_iterator(fs::path(system.sysfs) / "class" / "tty", error)) {
        const std::string name = entry.path().filename().string();
        const fs::path device = fs::path(system.dev) / name;
        struct stat status {};
        // Virtual consoles and the like have no device behind them.
        if (!fs::exists(entry.path() / "device", error) || is_placeholder(entry.path()) ||
            stat(device.c_str(), &status) != 0 ||
            std::find(listed.begin(), listed.end(), status.st_rdev) != listed.end()) {
            continue;
        }
        PortInfo info{.device = device.string()};
        describe(entry.path(), info);
        info.system_console = is_console(system, name);
        add_reach(info, system.dev, name);
        others.push_back(std::move(info));
    }
    std::sort(others.begin(), others.end(),
              [](const PortInfo& a, const PortInfo& b) { return comes_before(a.device, b.device); });
    ports.insert(ports.end(), others.begin(), others.end());
    return ports;
}
