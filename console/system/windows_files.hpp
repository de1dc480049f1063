#pragma once

// What the Windows file functions decide, as plain functions that build and
// are tested everywhere: the names Windows takes for its devices, the calls
// that put a new file in an old one's place without losing both, and how a
// file another program holds is waited for. Windows' error codes are written
// as numbers, named beside them.

#include <functional>
#include <initializer_list>
#include <string>

// The device Windows takes this name for, as words ("the serial port COM3",
// "the printer (PRN)"); empty for a file, and for NUL and CON, which a user
// names meaning them.
std::string windows_device_name(const std::string& name);

// The clock a wait goes by, in milliseconds.
struct WaitClock {
    std::function<unsigned long long()> now_ms;
    std::function<void(unsigned)> sleep_ms;
    // True once the wait is to end at once (a stop asked for).
    std::function<bool()> give_up{};
};

// Calls `attempt` (0, or the system's error code) until it gives anything
// but one of `busy`, or the clock has passed `until_ms`, or the clock's
// `give_up` says to stop; at least once.
// `notice` is called once when it is still busy at `notice_at_ms`. Returns
// the last attempt's result.
unsigned long retry_while_busy(const std::function<unsigned long()>& attempt,
                               std::initializer_list<unsigned long> busy, unsigned long long until_ms,
                               const WaitClock& clock, unsigned long long notice_at_ms = ~0ULL,
                               const std::function<void()>& notice = {});

// The system calls that put a new file in the place of an old one, each
// giving 0 or the system's error code.
struct ReplaceCalls {
    std::function<unsigned long()> write_new; // the new file beside the old one, flushed to the disk
    std::function<unsigned long()> replace;   // ReplaceFileW: the old one to the backup name, the new one in
    std::function<unsigned long()> move_new_in;   // the new one to the name, where no file is
    std::function<unsigned long()> move_new_over; // the new one to the name, over the old one
    std::function<unsigned long()> restore_old;   // the backup back to the name
    std::function<unsigned long()> delete_new;
    std::function<unsigned long()> delete_backup;
    WaitClock clock{};
};

struct Replacement {
    bool done = false;       // the new file stands under the name
    unsigned long error = 0; // else the failed call's own error code
    bool stranded = false;   // the old file is only under the backup name, the new one under its own
};

// Whatever step fails, the old file or the new one stands under the name,
// and the new one is never deleted while the old one is not there.
Replacement replace_by_steps(bool old_exists, const ReplaceCalls& calls);
