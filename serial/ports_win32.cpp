// The ports a Windows machine knows: the registry's map of serial devices
// to COM names, and Device Manager's names for them. Opens nothing.

#include <map>
#include <string>

#include "serial_link.hpp"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// clang-format off: initguid.h must come first, to define the class GUIDs.
#include <devguid.h>
#include <initguid.h>
#include <setupapi.h>
// clang-format on

namespace {

std::string narrow(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
    result.resize(result.size() - 1);
    return result;
}

// A string value of a registry key, or empty.
std::wstring registry_text(HKEY key, const wchar_t* name)
{
    wchar_t value[256] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    return value;
}

// The ports the system maps to devices: \Device\Serial0 = COM1 and so on.
void add_mapped_ports(std::map<unsigned, PortInfo>& ports)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t device[256] = {};
        DWORD device_length = 255;
        wchar_t name[64] = {};
        DWORD name_size = sizeof name - sizeof(wchar_t);
        DWORD type = 0;
        const LONG result = RegEnumValueW(key, index, device, &device_length, nullptr, &type,
                                          reinterpret_cast<BYTE*>(name), &name_size);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (const auto port = parse_com_port(narrow(name));
            result == ERROR_SUCCESS && type == REG_SZ && port) {
            ports[port->number] = {.port = port, .device = narrow(device)};
        }
    }
    RegCloseKey(key);
}

// Device Manager's names: "USB Serial Port (COM7)".
void add_friendly_names(std::map<unsigned, PortInfo>& ports)
{
    const HDEVINFO devices = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        const HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        const auto port = parse_com_port(narrow(registry_text(key, L"PortName").c_str()));
        RegCloseKey(key);
        wchar_t name[256] = {};
        if (!port || !SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                                        reinterpret_cast<BYTE*>(name),
                                                        sizeof name - sizeof(wchar_t), nullptr)) {
            continue;
        }
        PortInfo& info = ports[port->number];
        info.port = port;
        info.system_name = narrow(name);
    }
    SetupDiDestroyDeviceInfoList(devices);
}

} // namespace

std::vector<PortInfo> list_ports(const ComNaming&)
{
    std::map<unsigned, PortInfo> ports;
    add_mapped_ports(ports);
    add_friendly_names(ports);
    std::vector<PortInfo> list;
    for (auto& [number, info] : ports) {
        list.push_back(std::move(info));
    }
    return list;
}
