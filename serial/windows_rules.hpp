#pragma once

// What the Windows serial link and port list make of the system's answers,
// as plain functions that build and are tested everywhere: Wine shows few of
// those answers. Windows' values are written as numbers, named beside them.

#include <string>
#include <vector>

#include "serial_link.hpp"

// How a ReadFile or WriteFile that failed with this error ended: the line
// gone, the time run out, or a failure of its own.
TransferEnd transfer_end_for(unsigned long error);

// A port as HARDWARE\DEVICEMAP\SERIALCOMM maps it: \Device\Serial0 = COM1.
struct MappedPort {
    std::string device{};
    std::string name{};
};

// A device of Device Manager's Ports class.
struct ManagedPort {
    std::string name{};          // its PortName: COM7, CNCA0, LPT1
    std::string friendly_name{}; // SPDRP_FRIENDLYNAME: "USB Serial Port (COM7)"
    std::string description{};   // SPDRP_DEVICEDESC
    std::string enumerator{};    // SPDRP_ENUMERATOR_NAME: ACPI, USB, FTDIBUS, BTHENUM
    std::string service{};       // SPDRP_SERVICE: Serial, usbser, BTHMODEM
    bool status_known = false;   // CM_Get_DevNode_Status answered
    unsigned long status = 0;    // its DN_ flags
};

// The machine's serial ports: COM ports by number, then mapped ports of
// other names. A Ports device that is neither a COM port nor mapped (a
// printer port) is left out.
std::vector<PortInfo> windows_port_list(const std::vector<MappedPort>& mapped,
                                        const std::vector<ManagedPort>& managed);
