#include "line_users_linux.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

std::string whole_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
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
    std::istringstream fields{std::string(stat.substr(end_of_name + 1))};
    std::string state;
    long ppid = 0, group = 0, session = 0, tty = 0;
    if (!(fields >> state >> ppid >> group >> session >> tty) || tty == 0) {
        return std::nullopt;
    }
    const auto number = static_cast<unsigned long>(tty);
    return makedev((number >> 8) & 0xFFF, (number & 0xFF) | ((number >> 12) & 0xFFF00));
}

bool locked_by_another(const std::string& path, const std::vector<std::string>& folders)
{
    namespace fs = std::filesystem;
    std::vector<std::string> names{fs::path(path).filename().string()};
    std::error_code error;
    const fs::path target = fs::canonical(path, error);
    if (!error && target.filename() != names.front()) {
        names.push_back(target.filename().string());
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
