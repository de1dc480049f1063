#include "file_names.hpp"

#include <filesystem>
#include <string_view>

#include "messages/messages.hpp"
#include "system/files.hpp"

namespace {

namespace fs = std::filesystem;

// Names are UTF-8 whatever the system's code page.
fs::path as_path(const std::string& name)
{
    return fs::path(std::u8string(name.begin(), name.end()));
}

fs::path where(const std::string& name)
{
    std::error_code error;
    const fs::path full = fs::weakly_canonical(fs::absolute(as_path(name), error), error);
    return error ? fs::absolute(as_path(name)) : full;
}

bool same_file(const std::string& a, const std::string& b)
{
    std::error_code error;
    if (fs::exists(as_path(a), error) && fs::exists(as_path(b), error)) {
        return fs::equivalent(as_path(a), as_path(b), error) && !error;
    }
    return where(a) == where(b);
}

// A file the log keeps in its folder: its rows, or a before-file.
bool in_the_log(const std::string& name, const std::string& log)
{
    const fs::path file = where(name);
    const std::string stem = file.filename().string();
    std::error_code error;
    const bool folder = fs::exists(as_path(log), error)
                            ? fs::equivalent(file.parent_path(), as_path(log), error)
                            : file.parent_path() == where(log);
    return folder && (stem == "writes.csv" || std::string_view(stem).ends_with(".before.conf"));
}

bool named(const std::string& name)
{
    return !name.empty() && name != "-";
}

} // namespace

bool file_names_allowed(const Options& options)
{
    const std::string& input = options.mode == Options::Mode::write ? options.input : std::string();
    const std::string& output = options.output;
    bool allowed = true;
    for (const std::string* name : {&input, &output, &options.trace, &options.log}) {
        if (const std::string device = named(*name) ? device_behind_name(*name) : ""; !device.empty()) {
            say(*name + " is " + device + " on Windows; choose another name");
            allowed = false;
        }
    }
    const std::string& trace = options.trace;
    if (named(trace) && named(input) && same_file(trace, input)) {
        say("--trace " + trace + " is the file --write sends; choose another name for the trace");
        allowed = false;
    }
    if (named(trace) && named(output) && same_file(trace, output)) {
        say("--trace and -o both name " + trace + "; choose another name for the trace");
        allowed = false;
    }
    if (named(trace) && !options.log.empty() && in_the_log(trace, options.log)) {
        say("--trace " + trace + " is one of the log's own files; choose another name for the trace");
        allowed = false;
    }
    return allowed;
}
