#include "line_users_linux.hpp"

#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Plain reads rather than streams: both files are a few hundred bytes, and
// streams would bring the locale machinery into every run that opens a port.
// Non-blocking, so a FIFO left where a lock file belongs cannot hold the open.
std::string whole_file(const std::string& path)
{
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        return text;
    }
    std::array<char, 4096> buffer{};
    while (text.size() < buffer.size()) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0) {
            text.append(buffer.data(), static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fd);
    return text;
}

bool process_lives(pid_t pid)
{
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

} // namespace

std::optional<pid_t> lock_owner(std::string_view content)
{
    std::size_t at = content.find_first_not_of(' ');
    if (at != std::string_view::npos && content[at] >= '0' && content[at] <= '9') {
        long pid = 0;
        for (; at < content.size() && content[at] >= '0' && content[at] <= '9' && pid < 1'000'000'000; ++at) {
            pid = pid * 10 + (content[at] - '0');
        }
        const bool ends = at == content.size() || content[at] == '\n' || content[at] == ' ';
        return ends && pid > 0 ? std::optional(static_cast<pid_t>(pid)) : std::nullopt;
    }
    if (content.size() == sizeof(std::int32_t)) {
        std::int32_t pid = 0;
        std::memcpy(&pid, content.data(), sizeof pid);
        return pid > 0 ? std::optional(static_cast<pid_t>(pid)) : std::nullopt;
    }
    return std::nullopt;
}

std::optional<dev_t> controlling_terminal(std::string_view stat)
{
    // "pid (comm) state ppid pgrp session tty_nr ...": comm may hold spaces
    // and parentheses, so count from its last ')'.
    const std::size_t end_of_name = stat.rfind(')');
    if (end_of_name == std::string_view::npos) {
        return std::nullopt;
    }
    // Then state, ppid, pgrp, session and tty_nr, the fifth field.
    std::string_view rest = stat.substr(end_of_name + 1);
    long tty = 0;
    for (int field = 0; field < 5; ++field) {
        const std::size_t start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) {
            return std::nullopt;
        }
        rest.remove_prefix(start);
        const std::string_view word = rest.substr(0, rest.find(' '));
        rest.remove_prefix(word.size());
        if (field == 4) {
            const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), tty);
            if (error != std::errc{} || end != word.data() + word.size()) {
                return std::nullopt;
            }
        }
    }
    if (tty == 0) {
        return std::nullopt;
    }
    const auto number = static_cast<unsigned long>(tty);
    return makedev((number >> 8) & 0xFFF, (number & 0xFF) | ((number >> 12) & 0xFFF00));
}

bool locked_by_another(const std::string& path, const std::vector<std::string>& folders)
{
    const auto last_part = [](std::string_view name) {
        return std::string(name.substr(name.rfind('/') + 1));
    };
    std::vector<std::string> names{last_part(path)};
    if (char* target = realpath(path.c_str(), nullptr)) {
        if (last_part(target) != names.front()) {
            names.push_back(last_part(target));
        }
        std::free(target);
    }
    for (const std::string& folder : folders) {
        for (const std::string& name : names) {
            const std::optional<pid_t> owner = lock_owner(whole_file(folder + "/LCK.." + name));
            if (owner && *owner != getpid() && process_lives(*owner)) {
                return true;
            }
        }
    }
    return false;
}

bool is_own_terminal(dev_t device)
{
    const std::optional<dev_t> own = controlling_terminal(whole_file("/proc/self/stat"));
    return own && *own == device;
}
