// The ports a Windows machine knows: the registry's map of serial devices
// to port names, and Device Manager's names and states for them. Opens
// nothing; windows_rules.cpp makes the list.

#include <cwchar>
#include <string>
#include <vector>

#include "serial_link.hpp"
#include "windows_rules.hpp"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// clang-format off: the order matters. devguid.h comes before initguid.h,
// so its class GUIDs stay declarations, defined once in mingw's libuuid.
#include <cfgmgr32.h>
#include <devguid.h>
#include <initguid.h>
#include <setupapi.h>
// clang-format on

namespace {

// UTF-8 of at most `count` UTF-16 units, up to the first NUL: registry text
// need not end in one, or may end in several.
std::string text_of(const wchar_t* text, std::size_t count)
{
    const int length = static_cast<int>(wcsnlen(text, count));
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, result.data(), size, nullptr, nullptr);
    return result;
}

// A string value of a registry key, or empty.
std::string registry_text(HKEY key, const wchar_t* name)
{
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) {
        return {};
    }
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
        ERROR_SUCCESS) {
        return {};
    }
    return text_of(text.data(), size / sizeof(wchar_t));
}

// The ports the system maps to devices: \Device\Serial0 = COM1 and so on.
// An error other than the end stops the list: after one, an index may no
// longer lead to the next value.
std::vector<MappedPort> mapped_ports()
{
    std::vector<MappedPort> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return ports;
    }
    DWORD longest_name = 0;
    DWORD largest_value = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longest_name,
                         &largest_value, nullptr, nullptr) == ERROR_SUCCESS) {
        std::vector<wchar_t> device(longest_name + 1);
        std::vector<wchar_t> name(largest_value / sizeof(wchar_t) + 1);
        for (DWORD index = 0;; ++index) {
            DWORD device_length = static_cast<DWORD>(device.size());
            DWORD name_size = largest_value;
            DWORD type = 0;
            if (RegEnumValueW(key, index, device.data(), &device_length, nullptr, &type,
                              reinterpret_cast<BYTE*>(name.data()), &name_size) != ERROR_SUCCESS) {
                break;
            }
            if (type == REG_SZ) {
                ports.push_back({.device = text_of(device.data(), device_length),
                                 .name = text_of(name.data(), name_size / sizeof(wchar_t))});
            }
        }
    }
    RegCloseKey(key);
    return ports;
}

// A text property of a device, or empty.
std::string device_text(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property)
{
    std::vector<wchar_t> text(256, L'\0');
    DWORD size = 0;
    while (!SetupDiGetDeviceRegistryPropertyW(devices, &device, property, nullptr,
                                              reinterpret_cast<BYTE*>(text.data()),
                                              static_cast<DWORD>(text.size() * sizeof(wchar_t)), &size)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= text.size() * sizeof(wchar_t)) {
            return {};
        }
        text.assign(size / sizeof(wchar_t) + 1, L'\0');
    }
    return text_of(text.data(), text.size());
}

// Device Manager's Ports class: names as it shows them ("USB Serial Port
// (COM7)"), what brought each device, and whether it runs.
std::vector<ManagedPort> managed_ports()
{
    std::vector<ManagedPort> ports;
    const HDEVINFO devices = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return ports;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        const HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue; // no driver's key, so no port name to list it by
        }
        ManagedPort port{.name = registry_text(key, L"PortName")};
        RegCloseKey(key);
        port.friendly_name = device_text(devices, device, SPDRP_FRIENDLYNAME);
        port.description = device_text(devices, device, SPDRP_DEVICEDESC);
        port.enumerator = device_text(devices, device, SPDRP_ENUMERATOR_NAME);
        port.service = device_text(devices, device, SPDRP_SERVICE);
        ULONG status = 0;
        ULONG problem = 0;
        port.status_known = CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) == CR_SUCCESS;
        port.status = status;
        ports.push_back(std::move(port));
    }
    SetupDiDestroyDeviceInfoList(devices);
    return ports;
}

} // namespace

std::vector<PortInfo> list_ports(const ComNaming&)
{
    return windows_port_list(mapped_ports(), managed_ports());
}
