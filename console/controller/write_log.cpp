#include "write_log.hpp"

#include <charconv>
#include <ctime>
#include <functional>
#include <initializer_list>

#include "configuration_file.hpp"
#include "messages/messages.hpp"
#include "messages/words.hpp"
#include "system/files.hpp"
#include "system/terminal.hpp"

namespace {

std::string rows_file(const WriteLog& log)
{
    return log.directory + "/writes.csv";
}

std::string record_file(const WriteLog& log)
{
    return log.directory + "/" + address_record_name;
}

// The record grows by a line per write: this reads years of it at once.
constexpr std::size_t largest_record_read = 16 * 1024 * 1024;

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

constexpr std::string_view before_file_name = "before_file";

std::string header()
{
    std::string text = "time_utc,port,type,firmware,outcome";
    for (const char* when : {"before_", "after_"}) {
        for (const SettingField& setting : setting_fields) {
            text += std::string(",") + when + setting.name;
        }
    }
    return text + "," + std::string(before_file_name) + "\r\n";
}

// Whether writes.csv was begun before the before_file column: its rows go
// on in its own columns, so a spreadsheet never finds one row wider.
Result<bool> old_columns(const std::string& name)
{
    const Result<std::string> text = read_file_from(name, 0, 4096, stop_requested);
    if (!text) {
        return Unexpected{text.error()};
    }
    std::string_view first = std::string_view(*text).substr(0, text->find('\n'));
    if (first.ends_with('\r')) {
        first.remove_suffix(1);
    }
    return !first.empty() && !first.ends_with(std::string(",") + std::string(before_file_name));
}

constexpr const char* row_time_format = "%Y-%m-%dT%H:%M:%SZ";

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

// Saves `before` as DIR/20261207-143015-COM3.before.conf (the time `when`),
// never over an earlier file (20261207-143015-COM3-2.before.conf and so on).
// Its name.
Result<std::string> save_before(const WriteLog& log, const PortName& port, std::time_t when,
                                const ControllerIdentity& identity, const ControllerSettings& before)
{
    const std::string text = format_configuration_file(identity, before);
    const std::string stem =
        log.directory + "/" + utc_time(when, "%Y%m%d-%H%M%S") + "-" + port_file_name(port);
    std::string reason;
    for (int copy = 1; copy < 1000; ++copy) {
        std::string saved_as = stem;
        if (copy > 1) {
            saved_as.append("-").append(std::to_string(copy));
        }
        saved_as += ".before.conf";
        const Result<void, NotCreated> created = create_new_file(saved_as, text);
        if (created) {
            return saved_as;
        }
        if (!created.error().exists) {
            return Unexpected{created.error().reason};
        }
        reason = created.error().reason;
    }
    return Unexpected{reason};
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

Result<std::vector<WriteRecord>> read_write_log(const WriteLog& log)
{
    constexpr std::size_t largest_log = 64 * 1024 * 1024;
    const Result<std::string> text = read_file(rows_file(log), largest_log);
    if (!text) {
        return Unexpected{text.error()};
    }
    std::vector<WriteRecord> rows;
    constexpr std::size_t before_at = 5, after_at = before_at + setting_fields.size();
    constexpr std::size_t old_width = after_at + setting_fields.size();
    for (const std::vector<std::string>& fields : csv_lines(*text)) {
        const std::optional<PortName> port =
            fields.size() > 1 ? parse_port_name(fields[1]).name : std::nullopt;
        if ((fields.size() != old_width && fields.size() != old_width + 1) || !port) {
            continue; // the header, the last line end, or not a row of ours
        }
        rows.push_back({.time_utc = fields[0],
                        .port = *port,
                        .outcome = outcome_in(fields[before_at - 1]),
                        .before = settings_in(fields, before_at),
                        .after = settings_in(fields, after_at),
                        .before_file = fields.size() > old_width ? fields[old_width] : ""});
    }
    return rows;
}

namespace {

// A folder that has writes.csv but no record yet: the addresses its rows show
// controllers holding after a write, whatever the row's outcome or
// configuration, are the record's first lines.
Result<void> start_record(const WriteLog& log)
{
    const Result<std::string> text = read_file_from(record_file(log), 0, 1);
    if (!text) {
        return Unexpected{text.error()};
    }
    if (!text->empty()) {
        return {};
    }
    const Result<std::vector<WriteRecord>> rows = read_write_log(log);
    if (!rows) {
        return Unexpected{rows.error()};
    }
    std::string lines;
    for (const WriteRecord& row : *rows) {
        if (row.after && row.outcome.kind != WriteOutcome::Kind::already_done) {
            lines += record_line({.time_utc = row.time_utc,
                                  .kind = AddressEvent::Kind::imported,
                                  .address = row.after->network_address,
                                  .port = port_name_text(row.port)});
        }
    }
    return append_rows(record_file(log), record_header(), lines, say);
}

// Each step in turn, until one fails.
Result<void> in_turn(std::initializer_list<std::function<Result<void>()>> steps)
{
    for (const std::function<Result<void>()>& step : steps) {
        if (Result<void> done = step(); !done) {
            return done;
        }
    }
    return {};
}

} // namespace

bool open_write_log(const std::string& directory, std::optional<WriteLog>& log)
{
    if (directory.empty()) {
        return true;
    }
    log = WriteLog{directory};
    const Result<void> usable = in_turn({
        [&] { return make_directories(directory); },
        [&] { return folder_takes_files(directory); },
        [&] { return append_rows(rows_file(*log), header(), "", say); },
        [&]() -> Result<void> {
            Result<FileHold> hold = hold_folder(*log, stop_requested);
            if (!hold) {
                return Unexpected{hold.error()};
            }
            const Result<void> started = start_record(*log);
            release_hold(*hold);
            return started;
        },
    });
    if (!usable) {
        say("cannot write the log in " + directory + ": " + usable.error() + "; nothing was sent");
        return false;
    }
    return true;
}

Result<void> read_record_on(const WriteLog& log, RecordCursor& cursor, GiveUp give_up)
{
    const Result<std::string> text =
        read_file_from(record_file(log), cursor.offset, largest_record_read, give_up);
    if (!text) {
        return Unexpected{text.error()};
    }
    const RecordReading reading = read_record(*text);
    take_in(cursor.book, reading);
    cursor.offset += reading.consumed;
    return {};
}

Result<FileHold> hold_folder(const WriteLog& log, GiveUp give_up)
{
    return hold_file(log.directory + "/station.lock", give_up);
}

Result<void> record_address(const WriteLog& log, AddressEvent::Kind kind, unsigned address,
                            const PortName& port)
{
    const AddressEvent event{
        .time_utc = utc_now(row_time_format), .kind = kind, .address = address, .port = port_name_text(port)};
    return append_rows(record_file(log), record_header(), record_line(event), say);
}

namespace {

constexpr std::string_view written_words = "written";
constexpr std::string_view acknowledged_words = "written; acknowledged, the dialogue does not read back";
constexpr std::string_view differs_lead = "differs after the write: ";
constexpr std::string_view failed_words = "failed";
constexpr std::string_view failed_lead = "failed: ";
constexpr std::string_view already_done_words = "already done";

} // namespace

std::string outcome_text(const WriteOutcome& outcome)
{
    using Kind = WriteOutcome::Kind;
    switch (outcome.kind) {
    case Kind::written:
        return std::string(written_words);
    case Kind::acknowledged:
        return std::string(acknowledged_words);
    case Kind::differs:
        return std::string(differs_lead) + outcome.detail;
    case Kind::failed:
        return outcome.detail.empty() ? std::string(failed_words) : std::string(failed_lead) + outcome.detail;
    case Kind::already_done:
        return std::string(already_done_words);
    case Kind::other:
        break;
    }
    return outcome.detail;
}

WriteOutcome outcome_in(std::string_view words)
{
    using Kind = WriteOutcome::Kind;
    // A lead with nothing after it is no outcome of ours: kept as it stands.
    const auto after = [words](std::string_view lead) {
        return words.size() > lead.size() && words.starts_with(lead);
    };
    if (words == written_words) {
        return {Kind::written};
    }
    if (words == acknowledged_words) {
        return {Kind::acknowledged};
    }
    if (words == already_done_words) {
        return {Kind::already_done};
    }
    if (words == failed_words) {
        return {Kind::failed};
    }
    if (after(failed_lead)) {
        return {Kind::failed, std::string(words.substr(failed_lead.size()))};
    }
    if (after(differs_lead)) {
        return {Kind::differs, std::string(words.substr(differs_lead.size()))};
    }
    return {Kind::other, std::string(words)};
}

std::string csv_row(const std::string& time_utc, const WriteRecord& record, bool before_file_column)
{
    std::string row =
        time_utc + "," + field(port_name_text(record.port)) + "," +
        (record.identity
             ? field(type_text(record.identity->type)) + "," + firmware_text(record.identity->version)
             : ",") +
        "," + field(outcome_text(record.outcome)) + values(record.before) + values(record.after);
    if (before_file_column) {
        row.append(",").append(field(record.before_file));
    }
    return row + "\r\n";
}

Result<void> record_write(const WriteLog& log, const WriteRecord& record)
{
    const Result<bool> old = old_columns(rows_file(log));
    if (!old) {
        return Unexpected{old.error()};
    }
    const std::string time = record.time_utc.empty() ? utc_now(row_time_format) : record.time_utc;
    // The technician's view waits for a spreadsheet holding it only while no
    // stop is asked for: the record holds the facts.
    return append_rows(rows_file(log), header(), csv_row(time, record, !*old), say, stop_requested);
}

LoggedWrite logged_write(const WriteLog* log, const PortName& port, const ControllerIdentity& identity,
                         const WriteSteps& steps)
{
    LoggedWrite result;
    // One time names the before-file and stamps the row.
    const std::time_t now = std::time(nullptr);
    WriteRecord record{.time_utc = utc_time(now, row_time_format), .port = port, .identity = identity};
    const Result<ControllerSettings> before =
        log != nullptr ? steps.read_held(*record.identity) : Result<ControllerSettings>(ControllerSettings{});
    if (!before) {
        result.failed_at = LoggedWrite::Stage::reading_before;
        result.problem = before.error();
        record.outcome = failed_for(result.problem);
    } else if (log != nullptr) {
        record.before = *before;
        const Result<std::string> saved = save_before(*log, port, now, *record.identity, *before);
        if (!saved) {
            result.failed_at = LoggedWrite::Stage::saving_before;
            const std::string cause =
                "cannot save what the controller holds in " + log->directory + ": " + saved.error();
            record.outcome = failed_for(cause);
            result.problem = cause + "; nothing was written";
        } else {
            result.saved_as = *saved;
            record.before_file = result.saved_as.substr(log->directory.size() + 1);
        }
    }
    if (log != nullptr && result.failed_at == LoggedWrite::Stage::done && !steps.reserved) {
        if (const Result<void> reserved =
                record_address(*log, AddressEvent::Kind::reserved, steps.address, port);
            !reserved) {
            result.failed_at = LoggedWrite::Stage::reserving;
            const std::string cause = "cannot reserve address " + std::to_string(steps.address) + " in " +
                                      log->directory + "/" + address_record_name + ": " + reserved.error();
            record.outcome = failed_for(cause);
            result.problem = cause + "; nothing was written";
        }
    }
    if (result.failed_at == LoggedWrite::Stage::done) {
        const WriteResult written = steps.write();
        record.after = written.after;
        record.outcome = written.outcome;
        result.after = written.after;
        result.sent = written.sent;
        using Kind = AddressEvent::Kind;
        const Kind kind = written.outcome.kind == WriteOutcome::Kind::written ||
                                  written.outcome.kind == WriteOutcome::Kind::acknowledged
                              ? Kind::written
                          : written.outcome.kind == WriteOutcome::Kind::differs ? Kind::differs
                                                                                : Kind::failed;
        if (kind != Kind::written) {
            result.failed_at = LoggedWrite::Stage::writing;
            result.problem = written.problem;
        }
        if (log == nullptr) {
            return result;
        }
        if (const Result<void> recorded = record_address(*log, kind, steps.address, port); !recorded) {
            result.record_problem = "cannot add the write's outcome to " + log->directory + "/" +
                                    address_record_name + ": " + recorded.error();
        }
    }
    if (log == nullptr) {
        return result;
    }
    if (const Result<void> added = record_write(*log, record); !added) {
        result.record_problem = "cannot add the write to " + log->directory + "/writes.csv: " + added.error();
    }
    return result;
}

std::vector<std::string> way_back(const LoggedWrite& done, const std::string& port_options)
{
    if (!done.sent || done.failed_at != LoggedWrite::Stage::writing) {
        return {};
    }
    std::vector<std::string> lines;
    if (done.after) {
        std::string held;
        for (const SettingField& field : setting_fields) {
            held += (held.empty() ? "" : ", ") + setting_line(field, *done.after);
        }
        lines.push_back("read back after the write, it holds " + held);
    } else {
        lines.emplace_back("what it holds now is not known: nothing trusted was read back after the write");
    }
    if (done.saved_as.empty()) {
        lines.emplace_back("what it held before was not saved (--log DIR saves it before each write)");
    } else {
        lines.push_back("to put back what it held before: " + std::string(program_name) + " " + port_options +
                        " --write " + command_word(done.saved_as));
    }
    return lines;
}
