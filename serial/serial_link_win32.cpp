// Win32 serial link: CreateFileA ... CloseHandle on a synchronous handle,
// every DCB field set, and the ports the system knows.

#include <map>
#include <string>

#include "serial_platform.hpp"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// clang-format off: initguid.h must come first, to define the class GUIDs.
#include <devguid.h>
#include <initguid.h>
#include <setupapi.h>
// clang-format on

namespace {

HANDLE as_handle(std::intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

// A read waits 1 ms per byte asked for plus one second, then returns what
// came; writes wait as long as they need.
COMMTIMEOUTS standard_timeouts()
{
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 1;
    timeouts.ReadTotalTimeoutConstant = 1000;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    return timeouts;
}

// The driver keeps a port's settings from whatever program used it last, and
// BuildCommDCB changes only what its text names. Every field such a program
// may have left is set here: no flow control of any kind (with distinct
// XON and XOFF characters, which some drivers insist on), DTR and RTS on (as
// the POSIX build has them, and as adapters powered from those lines need),
// no byte replaced or dropped, and no error that stops the line until
// cleared. False when the mode text did not take.
bool known_line_state(DCB& dcb)
{
    if (dcb.BaudRate != line_baud || dcb.ByteSize != 8 || dcb.Parity != ODDPARITY ||
        dcb.StopBits != ONESTOPBIT) {
        return false;
    }
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    return true;
}

std::string error_code(const char* call, DWORD error)
{
    return std::string(" (") + call + ": Windows error " + std::to_string(error) + ")";
}

// A port that cannot be set up is not kept: the open is exclusive, and the
// program may still wait for a key before it ends. The error is the failed
// call's own, taken before anything else can change it.
void fail_setup(SerialPort& link, HANDLE handle, const char* call, DWORD error)
{
    CloseHandle(handle);
    link.status = OpenStatus::setup_failed;
    link.failure = std::string("the line cannot be set to ") + line_settings_text +
                   (call != nullptr ? error_code(call, error) : "; the driver does not take these settings");
}

void fail_open(SerialPort& link, DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        link.status = OpenStatus::no_device;
        link.failure = "no such port; is the adapter plugged in? zumel-config --list shows the ports";
        return;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        link.status = OpenStatus::in_use;
        link.failure = "in use by another program; end it and try again";
        return;
    default:
        link.status = OpenStatus::other;
        link.failure = "cannot be opened" + error_code("CreateFileA", error);
    }
}

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
        info.description = narrow(name);
    }
    SetupDiDestroyDeviceInfoList(devices);
}

} // namespace

void platform::open(SerialPort& link)
{
    // COM10 and above open only through the device namespace.
    const std::string name = com_name(link.port);
    link.device = link.port.number > 9 ? "\\\\.\\" + name : name;
    const HANDLE handle =
        CreateFileA(link.device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        fail_open(link, GetLastError());
        return;
    }
    COMMTIMEOUTS timeouts = standard_timeouts();
    if (!SetCommTimeouts(handle, &timeouts)) {
        fail_setup(link, handle, "SetCommTimeouts", GetLastError());
        return;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(handle, &dcb)) {
        fail_setup(link, handle, "GetCommState", GetLastError());
        return;
    }
    const std::string mode = "baud=" + std::to_string(line_baud) + " parity=O data=8 stop=1";
    if (!BuildCommDCBA(mode.c_str(), &dcb)) {
        fail_setup(link, handle, "BuildCommDCBA", GetLastError());
        return;
    }
    if (!known_line_state(dcb)) {
        fail_setup(link, handle, nullptr, 0);
        return;
    }
    if (!SetCommState(handle, &dcb)) {
        fail_setup(link, handle, "SetCommState", GetLastError());
        return;
    }
    // An error latched before this session would fail its first request.
    // The bytes already received stay: nothing is discarded here.
    DWORD errors = 0;
    ClearCommError(handle, &errors, nullptr);
    link.handle = reinterpret_cast<std::intptr_t>(handle);
    link.status = OpenStatus::open;
}

std::size_t platform::write(std::intptr_t handle, const std::uint8_t* bytes, std::size_t count)
{
    DWORD written = 0;
    WriteFile(as_handle(handle), bytes, static_cast<DWORD>(count), &written, nullptr);
    return written;
}

std::size_t platform::read(std::intptr_t handle, std::uint8_t* bytes, std::size_t count, unsigned timeout_ms)
{
    // Another time-out than the standard one holds for this read only.
    const bool standard = timeout_ms == read_timeout_ms(count);
    if (!standard) {
        COMMTIMEOUTS timeouts = standard_timeouts();
        timeouts.ReadIntervalTimeout = timeout_ms == 0 ? MAXDWORD : 0; // 0: only what is there
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = timeout_ms;
        SetCommTimeouts(as_handle(handle), &timeouts);
    }
    DWORD read = 0;
    ReadFile(as_handle(handle), bytes, static_cast<DWORD>(count), &read, nullptr);
    if (!standard) {
        COMMTIMEOUTS timeouts = standard_timeouts();
        SetCommTimeouts(as_handle(handle), &timeouts);
    }
    return read;
}

void platform::close(std::intptr_t handle)
{
    CloseHandle(as_handle(handle));
}

bool set_com_device_prefix(const std::string&)
{
    return false; // COM names are the system's own
}

std::vector<PortInfo> list_ports()
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
