#include "write_log.hpp"

#include "configuration_file.hpp"
#include "files.hpp"
#include "trace.hpp"

namespace {

std::string rows_file(const WriteLog& log)
{
    return log.directory + "/writes.csv";
}

// A spreadsheet's field: quoted when it holds a comma, a quote or a line end.
std::string field(const std::string& text)
{
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

} // namespace

bool prepare_write_log(const WriteLog& log, std::string& error)
{
    return make_directories(log.directory, error) && append_rows(rows_file(log), header(), "", error);
}

bool save_before(const WriteLog& log, ComPort port, const ControllerIdentity& identity,
                 const ControllerSettings& before, std::string& saved_as, std::string& error)
{
    const std::string text = format_configuration_file(identity.type, identity.version, before);
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

bool record_write(const WriteLog& log, const WriteRecord& record, std::string& error)
{
    const std::string row =
        utc_now("%Y-%m-%dT%H:%M:%SZ") + "," + com_name(record.port) + "," +
        (record.identity
             ? field(type_text(record.identity->type)) + "," + firmware_text(record.identity->version)
             : ",") +
        "," + field(record.outcome) + values(record.before) + values(record.after) + "\r\n";
    return append_rows(rows_file(log), header(), row, error);
}
