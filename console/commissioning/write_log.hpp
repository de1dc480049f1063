#pragma once

// A record of every write, for --log DIR: what the controller held before,
// saved as a configuration file that --write takes back as it stands, and
// one row per write in DIR/writes.csv (UTC time, port, type, firmware,
// outcome, the eight settings before and the eight after). Runs at the same
// time, one per adapter, may share DIR.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "requests.hpp"
#include "serial_link.hpp"
#include "settings.hpp"

struct WriteLog {
    std::string directory;
};

// Makes DIR if missing and checks that writes.csv takes rows, before
// anything is sent; says why not. An empty `directory` asks for no log.
bool open_write_log(const std::string& directory, std::optional<WriteLog>& log);

struct WriteRecord {
    ComPort port{};
    std::optional<ControllerIdentity> identity{}; // once the controller answered
    std::string outcome{};                        // written, differs after the write: ..., failed: ...
    std::optional<ControllerSettings> before{};
    std::optional<ControllerSettings> after{};
};

// The row as writes.csv holds it, CR LF included; the time is the caller's.
std::string csv_row(const std::string& time_utc, const WriteRecord& record);

bool record_write(const WriteLog& log, const WriteRecord& record, std::string& error);

// The rows writes.csv holds, as far as they are its own: port, outcome, and
// the settings before and after where all eight are there.
bool read_write_log(const WriteLog& log, std::vector<WriteRecord>& rows, std::string& error);

// What the caller's write did.
struct WriteResult {
    bool written = false; // as the caller's rule judges it
    std::optional<ControllerSettings> after{};
    std::string outcome{}; // the row's
    std::string problem{}; // why not written
};

// How one write is made: the caller's rules for reading what the
// controller holds and for writing.
struct WriteSteps {
    // What it is and holds (the identity may be read again, by a rule the
    // record can trust); false with `problem` set when it cannot be.
    std::function<bool(ControllerIdentity& identity, ControllerSettings& held, std::string& problem)>
        read_held;
    std::function<WriteResult()> write;
};

struct LoggedWrite {
    enum class Stage { done, reading_before, saving_before, writing };
    Stage failed_at = Stage::done;
    std::string problem{};        // why it stopped there
    std::string saved_as{};       // the before-file, when one was saved
    std::string record_problem{}; // why the row could not be added
};

// One write with its record. Without a log, `write` alone. With one, what
// the controller holds is read and saved first (nothing is written when
// that fails), and a row is added whatever happened.
LoggedWrite logged_write(const WriteLog* log, ComPort port, const ControllerIdentity& identity,
                         const WriteSteps& steps);
