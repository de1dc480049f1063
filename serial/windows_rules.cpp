#include "windows_rules.hpp"

#include <algorithm>
#include <map>

namespace {

// cfg.h
constexpr unsigned long dn_started = 0x00000008;     // DN_STARTED
constexpr unsigned long dn_has_problem = 0x00000400; // DN_HAS_PROBLEM: Device Manager shows a code

std::string upper(std::string text)
{
    for (char& c : text) {
        c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return text;
}

void name_port(PortInfo& info, const std::string& name)
{
    info.port = parse_com_port(name);
    info.port_name = info.port ? "" : name;
}

} // namespace

TransferEnd transfer_end_for(unsigned long error)
{
    switch (error) {
    case 121:  // ERROR_SEM_TIMEOUT: a driver's own write time-out
    case 1121: // ERROR_COUNTER_TIMEOUT
    case 1460: // ERROR_TIMEOUT
        return TransferEnd::timed_out;
    case 5:    // ERROR_ACCESS_DENIED: on an open handle, what USB drivers answer once pulled out
    case 22:   // ERROR_BAD_COMMAND
    case 31:   // ERROR_GEN_FAILURE: "a device attached to the system is not functioning"
    case 55:   // ERROR_DEV_NOT_EXIST
    case 433:  // ERROR_NO_SUCH_DEVICE
    case 995:  // ERROR_OPERATION_ABORTED: nothing here cancels, so the driver did as its device went
    case 1167: // ERROR_DEVICE_NOT_CONNECTED
    case 1617: // ERROR_DEVICE_REMOVED
        return TransferEnd::hung_up;
    default:
        return TransferEnd::failed;
    }
}

std::vector<PortInfo> windows_port_list(const std::vector<MappedPort>& mapped,
                                        const std::vector<ManagedPort>& managed)
{
    std::map<std::string, PortInfo> ports; // by the name in capitals
    for (const MappedPort& port : mapped) {
        PortInfo& info = ports[upper(port.name)];
        name_port(info, port.name);
        info.device = port.device;
    }
    for (const ManagedPort& port : managed) {
        const std::string key = upper(port.name);
        if (!parse_com_port(port.name) && !ports.contains(key)) {
            continue;
        }
        PortInfo& info = ports[key];
        name_port(info, port.name);
        info.system_name = port.friendly_name.empty() ? port.description : port.friendly_name;
        // "Standard Serial over Bluetooth link", in whatever language.
        info.bluetooth = upper(port.enumerator) == "BTHENUM" || upper(port.service) == "BTHMODEM";
        info.running =
            !port.status_known || ((port.status & dn_started) != 0 && (port.status & dn_has_problem) == 0);
    }
    std::vector<PortInfo> list;
    for (auto& [name, info] : ports) {
        list.push_back(std::move(info));
    }
    std::stable_sort(list.begin(), list.end(), [](const PortInfo& a, const PortInfo& b) {
        return a.port && (!b.port || a.port->number < b.port->number);
    });
    return list;
}
