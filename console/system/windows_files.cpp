#include "windows_files.hpp"

#include <algorithm>
#include <cctype>

namespace {

constexpr unsigned long error_access_denied = 5;                   // ERROR_ACCESS_DENIED
constexpr unsigned long error_sharing_violation = 32;              // ERROR_SHARING_VIOLATION
constexpr unsigned long error_unable_to_move_replacement_2 = 1177; // ERROR_UNABLE_TO_MOVE_REPLACEMENT_2

// Antivirus scanners and sync clients hold a new file for a moment.
constexpr unsigned long long patience_ms = 1000;
constexpr unsigned pause_ms = 50;

std::string upper(std::string text)
{
    for (char& c : text) {
        c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return text;
}

// A digit as Windows reads one in COMn and LPTn: 0 to 9, or the Latin-1
// superscripts one, two and three (in UTF-8 here).
bool device_digit(const std::string& text)
{
    return (text.size() == 1 && text[0] >= '0' && text[0] <= '9') || text == "\xC2\xB9" ||
           text == "\xC2\xB2" || text == "\xC2\xB3";
}

} // namespace

std::string windows_device_name(const std::string& name)
{
    // After \\?\ the system takes a name as it is, devices' names too.
    if (name.starts_with("\\\\?\\")) {
        return {};
    }
    std::string last = name.substr(name.find_last_of("\\/") + 1);
    if (last.size() >= 2 && last[1] == ':' && std::isalpha(static_cast<unsigned char>(last[0]))) {
        last.erase(0, 2); // C:COM3 is COM3 in drive C's current folder
    }
    // Windows 10 reads COM3.conf, COM3 .conf and COM3: as COM3.
    std::string base = upper(last.substr(0, last.find('.')));
    base.erase(base.find_last_not_of(" :") + 1);
    if (base == "PRN") {
        return "the printer (PRN)";
    }
    if (base == "AUX") {
        return "the auxiliary device (AUX)";
    }
    if (base.size() > 3 && device_digit(base.substr(3))) {
        if (base.starts_with("COM")) {
            return "the serial port " + base;
        }
        if (base.starts_with("LPT")) {
            return "the printer port " + base;
        }
    }
    return {};
}

unsigned long retry_while_busy(const std::function<unsigned long()>& attempt,
                               std::initializer_list<unsigned long> busy, unsigned long long until_ms,
                               const WaitClock& clock, unsigned long long notice_at_ms,
                               const std::function<void()>& notice)
{
    bool noticed = false;
    for (;;) {
        const unsigned long result = attempt();
        const unsigned long long now = clock.now_ms();
        if (std::find(busy.begin(), busy.end(), result) == busy.end() || now >= until_ms ||
            (clock.give_up && clock.give_up())) {
            return result;
        }
        if (!noticed && now >= notice_at_ms && notice) {
            notice();
            noticed = true;
        }
        clock.sleep_ms(static_cast<unsigned>(std::min<unsigned long long>(pause_ms, until_ms - now)));
    }
}

Replacement replace_by_steps(bool old_exists, const ReplaceCalls& calls)
{
    if (const unsigned long error = calls.write_new(); error != 0) {
        calls.delete_new();
        return {.error = error};
    }
    unsigned long long until = calls.clock.now_ms() + patience_ms;
    const auto patiently = [&](const std::function<unsigned long()>& call) {
        return retry_while_busy(call, {error_access_denied, error_sharing_violation}, until, calls.clock);
    };
    if (!old_exists) {
        const unsigned long error = patiently(calls.move_new_in);
        if (error != 0) {
            calls.delete_new();
        }
        return {.done = error == 0, .error = error};
    }
    const unsigned long replaced = patiently(calls.replace);
    if (replaced == 0) {
        patiently(calls.delete_backup);
        return {.done = true};
    }
    if (replaced != error_unable_to_move_replacement_2) {
        // Both files keep their names; a plain move over the old one may
        // still do on a volume that will not replace.
        const unsigned long error = patiently(calls.move_new_over);
        if (error != 0) {
            calls.delete_new();
        }
        return {.done = error == 0, .error = error};
    }
    // The old file stands under the backup name only: the name must not
    // stay empty, so this gets a wait of its own.
    until = calls.clock.now_ms() + patience_ms;
    const unsigned long moved = patiently(calls.move_new_in);
    if (moved == 0) {
        patiently(calls.delete_backup);
        return {.done = true};
    }
    if (patiently(calls.restore_old) == 0) {
        calls.delete_new();
        return {.error = moved};
    }
    return {.error = moved, .stranded = true};
}
