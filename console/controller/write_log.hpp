#pragma once

// A record of every write, for --log DIR: what the controller held before,
// saved as a configuration file that --write takes back as it stands, and
// one row per write in DIR/writes.csv (UTC time, port, type, firmware,
// outcome, the eight settings before and the eight after, the before-file's
// name). Runs at the same time, one per adapter, may share DIR.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "address_record.hpp"
#include "requests.hpp"
#include "serial_link.hpp"
#include "settings.hpp"
#include "system/files.hpp"

struct WriteLog {
    std::string directory;
};

// Makes DIR if missing and checks that writes.csv and the address record
// take rows, before anything is sent; says why not. A folder whose record
// is new takes the addresses its writes.csv shows controllers holding (a
// batch begun before the record). An empty `directory` asks for no log.
bool open_write_log(const std::string& directory, std::optional<WriteLog>& log);

// Where the folder's record has been read up to, and what it gave.
struct RecordCursor {
    std::uint64_t offset = 0;
    AddressBook book{};
};
// Reads what was appended to the record since the last call.
Result<void> read_record_on(const WriteLog& log, RecordCursor& cursor, GiveUp give_up = nullptr);

// The folder's lock, under which stations choose and reserve an address.
Result<FileHold> hold_folder(const WriteLog& log, GiveUp give_up);

// Appends one event to the record, synced before it returns.
Result<void> record_address(const WriteLog& log, AddressEvent::Kind kind, unsigned address,
                            const PortName& port);

// What became of a write, as writes.csv's outcome column says it.
struct WriteOutcome {
    enum class Kind {
        written,      // and read back as written
        acknowledged, // the dialogue's: acknowledged, not read back
        differs,      // acknowledged, but the controller holds something else
        failed,
        already_done, // a station's audit: nothing written, what it holds as `before`
        other,        // a row's words that are none of these (edited by hand)
    };
    Kind kind = Kind::failed;
    std::string detail{}; // why it failed, what differs, or other's words
    bool operator==(const WriteOutcome&) const = default;
};

// The column's words, and the outcome old rows' words stand for.
std::string outcome_text(const WriteOutcome& outcome);
WriteOutcome outcome_in(std::string_view words);

// Fails for a reason.
inline WriteOutcome failed_for(const std::string& reason)
{
    return {WriteOutcome::Kind::failed, reason};
}

struct WriteRecord {
    std::string time_utc{}; // a row written without one takes the time it is written
    PortName port{};
    std::optional<ControllerIdentity> identity{}; // once the controller answered
    WriteOutcome outcome{};
    std::optional<ControllerSettings> before{};
    std::optional<ControllerSettings> after{};
    std::string before_file{}; // its name in the folder, where one was saved
};

// The row as writes.csv holds it, CR LF included; the time is the caller's.
// A file begun before the before_file column keeps its own columns.
std::string csv_row(const std::string& time_utc, const WriteRecord& record, bool before_file_column = true);

Result<void> record_write(const WriteLog& log, const WriteRecord& record);

// The rows writes.csv holds, as far as they are its own: port, outcome, and
// the settings before and after where all eight are there.
Result<std::vector<WriteRecord>> read_write_log(const WriteLog& log);

// What the caller's write did.
struct WriteResult {
    WriteOutcome outcome{}; // written or acknowledged: written, as the caller's rule judges it
    std::optional<ControllerSettings> after{};
    std::string problem{}; // why not written
    bool sent = false;     // the write frame went out
};

// How one write is made: the caller's rules for reading what the
// controller holds and for writing.
struct WriteSteps {
    // What it holds (the identity may be read again, by a rule the record
    // can trust), or the problem why it cannot be read.
    std::function<Result<ControllerSettings>(ControllerIdentity& identity)> read_held;
    std::function<WriteResult()> write;
    unsigned address = 0;  // the network address the write gives
    bool reserved = false; // already reserved in the record (by a station, under the folder's lock)
};

struct LoggedWrite {
    enum class Stage { done, reading_before, saving_before, reserving, writing };
    Stage failed_at = Stage::done;
    std::string problem{};                       // why it stopped there
    std::string saved_as{};                      // the before-file, when one was saved
    std::optional<std::string> record_problem{}; // why the row could not be added
    bool sent = false;                           // a write frame went out
    std::optional<ControllerSettings> after{};   // what was read back after it
};

// One write with its record. Without a log, `write` alone. With one, what
// the controller holds is read and saved first, the address is reserved in
// the folder's record (nothing is written when either fails), and after the
// write its outcome is recorded and a row added, whatever happened.
LoggedWrite logged_write(const WriteLog* log, const PortName& port, const ControllerIdentity& identity,
                         const WriteSteps& steps);

// After a write frame that did not end written: what the read-back shows
// the controller holds, and how to put back what it held before, with the
// port's options as the user types them. Nothing when no frame went out.
std::vector<std::string> way_back(const LoggedWrite& done, const std::string& port_options);
