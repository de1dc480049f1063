#pragma once

// Who else may be using a serial line on Linux, beyond what flock and
// TIOCEXCL tell: programs that take only a UUCP lock file (terminal
// programs, modem tools), and the terminal this program itself runs in.

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// The process a UUCP lock file names: ten ASCII digits padded with spaces
// and a line end, or the older four-byte binary form.
std::optional<pid_t> lock_owner(std::string_view content);

// The device number of a process's controlling terminal, from the text of
// its /proc/PID/stat; none when it has none.
std::optional<dev_t> controlling_terminal(std::string_view stat);

// True when a live process holds a lock on the device at `path`: LCK..NAME
// in one of `folders`, NAME being the path's last part as given or that of
// the device a link leads to. A lock whose process is gone does not count.
bool locked_by_another(const std::string& path, const std::vector<std::string>& folders);

// True when `device` is the terminal this process runs in.
bool is_own_terminal(dev_t device);
