#include "write_log.hpp"

#include <charconv>

#include "configuration_file.hpp"
#include "files.hpp"
#include "messages/messages.hpp"
#include "messages/words.hpp"

namespace {

std::string rows_file(const WriteLog& log)
{
    return log.directory + "/writes.csv";
}

// A spreadsheet's field: quoted when it holds a comma, a quote or a line end;
// one that starts as a formula would (= + - @, a tab or CR) is shown as text,
// never run, behind a quote mark.
std::string field(const std::string& raw)
{
    const bool formula =
        !raw.empty() && std::string_view("=+-@\t\r").find(raw.front()) != std::string_view::npos;
    const std::string text = formula ? "'" + raw : raw;
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? "\"\"" : std::string(1, c);
    }
    return quoted + "\"";
}

std::string header()
{
    std::string text = "time_utc,port,type,firmware,outcome";
    for (const char* when : {"before_", "after_"}) {
        for (const SettingField& setting : setting_fields) {
            text += std::string(",") + when + setting.name;
        }
    }
    return text + "\r\n";
}

std::string values(const std::optional<ControllerSettings>& settings)
{
    std::string text;
    for (const SettingField& setting : setting_fields) {
        text += ',';
        if (settings) {
            text += std::to_string((*settings).*setting.member);
        }
    }
    return text;
}

// Saves `before` as DIR/20261207-143015-COM3.before.conf, never over an
// earlier file (20261207-143015-COM3-2.before.conf and so on).
bool save_before(const WriteLog& log, ComPort port, const ControllerIdentity& identity,
                 const ControllerSettings& before, std::string& saved_as, std::string& error)
{
    const std::string text = format_configuration_file(identity, before);
    const std::string stem = log.directory + "/" + utc_now("%Y%m%d-%H%M%S") + "-" + com_name(port);
    for (int copy = 1; copy < 1000; ++copy) {
        saved_as = stem;
        if (copy > 1) {
            saved_as.append("-").append(std::to_string(copy));
        }
        saved_as += ".before.conf";
        bool exists = false;
        if (create_new_file(saved_as, text, exists, error)) {
            return true;
        }
        if (!exists) {
            return false;
        }
    }
    return false;
}

// The fields of each line of a CSV text as csv_row writes them.
std::vector<std::vector<std::string>> csv_lines(std::string_view text)
{
    std::vector<std::vector<std::string>> lines(1, std::vector<std::string>(1));
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        std::string& current = lines.back().back();
        if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
            current += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c == ',') {
            lines.back().emplace_back();
        } else if (!quoted && c == '\n') {
            lines.emplace_back(1);
        } else if (quoted || c != '\r') {
            current += c;
        }
    }
    return lines;
}

std::optional<ControllerSettings> settings_in(const std::vector<std::string>& fields, std::size_t first)
{
    ControllerSettings settings;
    for (std::size_t i = 0; i < setting_fields.size(); ++i) {
        const std::string& text = fields[first + i];
        unsigned value = 0;
        const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || problem != std::errc{} || end != text.data() + text.size()) {
            return std::nullopt;
        }
        settings.*setting_fields[i].member = value;
    }
    return settings;
}

} // namespace

bool read_write_log(const WriteLog& log, std::vector<WriteRecord>& rows, std::string& error)
{
    constexpr std::size_t largest_log = 64 * 1024 * 1024;
    std::string text;
    rows.clear();
    if (!read_file(rows_file(log), largest_log, text, error)) {
        return false;
    }
    constexpr std::size_t before_at = 5, after_at = before_at + setting_fields.size();
    for (const std::vector<std::string>& fields : csv_lines(text)) {
        const std::optional<ComPort> port = fields.size() > 1 ? parse_com_port(fields[1]) : std::nullopt;
        if (fields.size() != after_at + setting_fields.size() || !port) {
            continue; // the header, the last line end, or not a row of ours
        }
        rows.push_back({.port = *port,
                        .outcome = fields[before_at - 1],
                        .before = settings_in(fields, before_at),
                        .after = settings_in(fields, after_at)});
    }
    return true;
}

bool open_write_log(const std::string& directory, std::optional<WriteLog>& log)
{
    if (directory.empty()) {
        return true;
    }
    log = WriteLog{directory};
    std::string error;
    if (!make_directories(directory, error) || !append_rows(rows_file(*log), header(), "", error)) {
        say("cannot write the log in " + directory + ": " + error + "; nothing was sent");
        return false;
    }
    return true;
}

std::string csv_row(const std::string& time_utc, const WriteRecord& record)
{
    return time_utc + "," + com_name(record.port) + "," +
           (record.identity
                ? field(type_text(record.identity->type)) + "," + firmware_text(record.identity->version)
                : ",") +
           "," + field(record.outcome) + values(record.before) + values(record.after) + "\r\n";
}

bool record_write(const WriteLog& log, const WriteRecord& record, std::string& error)
{
    return append_rows(rows_file(log), header(), csv_row(utc_now("%Y-%m-%dT%H:%M:%SZ"), record), error);
}

LoggedWrite logged_write(const WriteLog* log, ComPort port, const ControllerIdentity& identity,
                         const WriteSteps& steps)
{
    LoggedWrite result;
    WriteRecord record{.port = port, .identity = identity};
    ControllerSettings before;
    if (log != nullptr && !steps.read_held(*record.identity, before, result.problem)) {
        result.failed_at = LoggedWrite::Stage::reading_before;
        record.outcome = "failed: " + result.problem;
    } else if (log != nullptr) {
        record.before = before;
        std::string error;
        if (!save_before(*log, port, *record.identity, before, result.saved_as, error)) {
            result.failed_at = LoggedWrite::Stage::saving_before;
            const std::string cause =
                "cannot save what the controller holds in " + log->directory + ": " + error;
            record.outcome = "failed: " + cause;
            result.problem = cause + "; nothing was written";
            result.saved_as.clear();
        }
    }
    if (result.failed_at == LoggedWrite::Stage::done) {
        const WriteResult written = steps.write();
        record.after = written.after;
        record.outcome = written.outcome;
        if (!written.written) {
            result.failed_at = LoggedWrite::Stage::writing;
            result.problem = written.problem;
        }
    }
    std::string error;
    if (log != nullptr && !record_write(*log, record, error)) {
        result.record_problem = "cannot add the write to " + log->directory + "/writes.csv: " + error;
    }
    return result;
}
