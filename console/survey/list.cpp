#include <algorithm>
#include <vector>

#include "messages/words.hpp"
#include "survey.hpp"
#include "system/terminal.hpp"

std::string padded(std::string text, std::size_t width)
{
    text.resize(std::max(text.size(), width), ' ');
    return text;
}

namespace {

// What the system knows of a port: Device Manager's name, or the USB
// adapter's maker, product and serial number.
std::string description(const PortInfo& info)
{
    std::string text;
    switch (info.kind) {
    case PortInfo::Kind::unknown:
        text = info.system_name;
        break;
    case PortInfo::Kind::pseudo_terminal:
        text = "pseudo-terminal";
        break;
    case PortInfo::Kind::serial:
        text = "serial port";
        break;
    case PortInfo::Kind::usb: {
        const PortInfo::Usb& usb = info.usb;
        for (const std::string& part : {usb.manufacturer, usb.product}) {
            text += text.empty() || part.empty() ? part : " " + part;
        }
        if (!usb.serial_number.empty()) {
            text += (text.empty() ? "serial number " : ", serial number ") + usb.serial_number;
        }
        const std::string id = usb.vendor_id + ":" + usb.product_id;
        text += text.empty() ? "USB " + id : " (USB " + id + ")";
        break;
    }
    }
    for (const auto& [holds, said] : {std::pair{info.system_console, "the system's console"},
                                      {info.bluetooth, "Bluetooth link"},
                                      {!info.running, "not running"}}) {
        if (holds) {
            text += (text.empty() ? "" : ", ") + std::string(said);
        }
    }
    return text;
}

} // namespace

std::string port_column(ComPort port)
{
    return padded(com_name(port), 6) + "  ";
}

void print_line(std::string text)
{
    text.erase(text.find_last_not_of(' ') + 1);
    static_cast<void>(write_standard_output(text + "\n"));
}

ExitStatus list_serial_ports_command(const ComNaming& naming)
{
    const std::vector<PortInfo> ports = list_ports(naming);
    if (ports.empty()) {
        print_line("No serial ports found.");
    }
    bool others = false;
    for (const PortInfo& info : ports) {
        if (info.port || !info.port_name.empty()) {
            const std::string name = info.port ? port_column(*info.port) : padded(info.port_name, 6) + "  ";
            print_line(name + padded(info.device, 14) + "  " + description(info));
            continue;
        }
        if (!others) {
            print_line("Other serial devices, not COM ports under the prefix in force:");
            others = true;
        }
        print_line("        " + padded(info.device, 14) + "  " + description(info) +
                   (info.reached_as
                        ? "; reached by " + port_options(*info.reached_as, {info.reached_with_prefix})
                        : ""));
    }
    return ExitStatus::done;
}
