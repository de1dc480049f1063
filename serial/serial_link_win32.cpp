// Win32 serial link: CreateFileA ... CloseHandle on a synchronous handle,
// every DCB field set, and the caller's time-out set for each read and
// write.

#include <string>

#include "serial_platform.hpp"
#include "windows_rules.hpp"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// An open port's synchronous handle.
struct DeviceLine {
    HANDLE handle = INVALID_HANDLE_VALUE;
};

void DeviceLineClose::operator()(DeviceLine* line) const
{
    CloseHandle(line->handle);
    delete line;
}

namespace {

// One time-out for the whole of one read or write, whatever the count: a
// total constant, no per-byte part and no gap between bytes. A read of 0
// takes only what is there; a write is never without a limit.
COMMTIMEOUTS timeouts_for(unsigned read_ms, unsigned write_ms)
{
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = read_ms == 0 ? MAXDWORD : 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = read_ms;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = write_ms == 0 ? 1 : write_ms;
    return timeouts;
}

BYTE parity_code(Parity parity)
{
    return parity == Parity::none ? NOPARITY : parity == Parity::odd ? ODDPARITY : EVENPARITY;
}

// The driver keeps a port's settings from whatever program used it last, and
// BuildCommDCB changes only what its text names. Every field such a program
// may have left is set here: no flow control of any kind (with distinct
// XON and XOFF characters, which some drivers insist on), DTR and RTS on (as
// the POSIX build has them, and as adapters powered from those lines need),
// no byte replaced or dropped, and no error that stops the line until
// cleared. False when the mode text did not take.
bool known_line_state(DCB& dcb, const LineSettings& line)
{
    if (dcb.BaudRate != line.baud || dcb.ByteSize != line.data_bits ||
        dcb.Parity != parity_code(line.parity) ||
        dcb.StopBits != (line.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT)) {
        return false;
    }
    dcb.fBinary = TRUE;
    dcb.fParity = line.parity != Parity::none;
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

// A port that cannot be set up is not kept: the open is exclusive, and the
// program may still wait for a key before it ends. The error is the failed
// call's own, taken before anything else can change it.
void fail_setup(SerialPort& link, HANDLE handle, const char* call, DWORD error)
{
    CloseHandle(handle);
    link.status = call != nullptr ? OpenStatus::setup_failed : OpenStatus::settings_refused;
    link.failed_call = call != nullptr ? call : "";
    link.system_error = static_cast<int>(error);
}

void fail_open(SerialPort& link, DWORD error)
{
    link.system_error = static_cast<int>(error);
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        link.status = OpenStatus::no_device;
        return;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        link.status = OpenStatus::in_use;
        return;
    default:
        link.status = OpenStatus::other;
        link.failed_call = "CreateFileA";
    }
}

Transfer failed_transfer(std::size_t count, DWORD error)
{
    return {.count = count, .end = transfer_end_for(error), .error = static_cast<int>(error)};
}

} // namespace

ComNaming default_com_naming()
{
    return {};
}

bool com_prefix_applies()
{
    return false; // COM names are the system's own
}

void platform::open(SerialPort& link, const ComNaming&)
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
    COMMTIMEOUTS timeouts = timeouts_for(0, 0);
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
    const char parity = link.line.parity == Parity::none ? 'N' : link.line.parity == Parity::odd ? 'O' : 'E';
    const std::string mode = "baud=" + std::to_string(link.line.baud) + " parity=" + parity +
                             " data=" + std::to_string(link.line.data_bits) +
                             " stop=" + std::to_string(link.line.stop_bits);
    if (!BuildCommDCBA(mode.c_str(), &dcb)) {
        fail_setup(link, handle, "BuildCommDCBA", GetLastError());
        return;
    }
    if (!known_line_state(dcb, link.line)) {
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
    link.device_line.reset(new DeviceLine{handle});
    link.status = OpenStatus::open;
}

Transfer platform::write(DeviceLine& line, std::span<const std::uint8_t> bytes, unsigned timeout_ms)
{
    COMMTIMEOUTS timeouts = timeouts_for(0, timeout_ms);
    if (!SetCommTimeouts(line.handle, &timeouts)) {
        return failed_transfer(0, GetLastError());
    }
    DWORD written = 0;
    if (!WriteFile(line.handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        return failed_transfer(written, GetLastError());
    }
    return {.count = written,
            .end = written == bytes.size() ? TransferEnd::complete : TransferEnd::timed_out};
}

Transfer platform::read(DeviceLine& line, std::span<std::uint8_t> bytes, unsigned timeout_ms)
{
    COMMTIMEOUTS timeouts = timeouts_for(timeout_ms, 0);
    if (!SetCommTimeouts(line.handle, &timeouts)) {
        return failed_transfer(0, GetLastError());
    }
    DWORD read = 0;
    if (!ReadFile(line.handle, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        return failed_transfer(read, GetLastError());
    }
    return {.count = read, .end = read == bytes.size() ? TransferEnd::complete : TransferEnd::timed_out};
}
