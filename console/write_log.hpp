#pragma once

// A record of every write, for --log DIR: what the controller held before,
// saved as a configuration file that --write takes back as it stands, and
// one row per write in DIR/writes.csv (UTC time, port, type, firmware,
// outcome, the eight settings before and the eight after). Runs at the same
// time, one per adapter, may share DIR.

#include <optional>
#include <string>

#include "frames.hpp"
#include "serial_link.hpp"
#include "settings.hpp"

struct WriteLog {
    std::string directory;
};

struct ControllerIdentity {
    ControllerType type{};
    FirmwareVersion version{};
};

// Makes DIR if missing and checks that writes.csv takes rows, before
// anything is sent. False with the reason.
bool prepare_write_log(const WriteLog& log, std::string& error);

// Saves `before` as DIR/20261207-143015-COM3.before.conf, never over an
// earlier file (20261207-143015-COM3-2.before.conf and so on); gives the
// name it took.
bool save_before(const WriteLog& log, ComPort port, const ControllerIdentity& identity,
                 const ControllerSettings& before, std::string& saved_as, std::string& error);

struct WriteRecord {
    ComPort port{};
    std::optional<ControllerIdentity> identity{}; // once the controller answered
    std::string outcome{};                        // written, differs after the write: ..., failed: ...
    std::optional<ControllerSettings> before{};
    std::optional<ControllerSettings> after{};
};

bool record_write(const WriteLog& log, const WriteRecord& record, std::string& error);
