#include "trace.hpp"

#include <initializer_list>
#include <optional>

#include "messages/messages.hpp"
#include "messages/words.hpp"
#include "system/files.hpp"
#include "system/terminal.hpp"

namespace {

// "12 bytes", or "3 of 12 bytes, time-out after 1012 ms": what a read or a
// write moved and, when not all, how it ended.
std::string moved(const LineEvent& event)
{
    const std::string count = std::to_string(event.bytes.size());
    const std::string after = " after " + std::to_string(event.elapsed_ms) + " ms";
    switch (event.end) {
    case TransferEnd::complete:
        break;
    case TransferEnd::timed_out:
        return count + " of " + std::to_string(event.asked) + " bytes, time-out after " +
               std::to_string(event.timeout_ms) + " ms";
    case TransferEnd::hung_up:
        return count + " of " + std::to_string(event.asked) + " bytes, hung up" + after;
    case TransferEnd::failed:
        return count + " of " + std::to_string(event.asked) + " bytes, failed" + after + " (" +
               system_error_text(event.error) + ")";
    }
    return count + " bytes";
}

std::string code_text(const char* what, std::optional<unsigned> code,
                      std::initializer_list<const char*> names)
{
    if (!code) {
        return std::string(what) + " not answered";
    }
    const std::string number = std::to_string(*code);
    return *code >= 1 && *code <= names.size() ? std::string(what) + " " + names.begin()[*code - 1]
                                               : std::string(what) + " " + number;
}

template <typename T> std::optional<unsigned> widened(const std::optional<T>& value)
{
    return value ? std::optional<unsigned>(*value) : std::nullopt;
}

// What a server's open settled: the line it runs on, as it answered each
// setting over RFC 2217, or that it keeps its own.
std::string server_opening(const SerialPort& link)
{
    const ServerLine& server = link.server;
    const ServerAddress& address = std::get<ServerAddress>(link.name);
    if (server.own_settings) {
        return address.scheme == ServerScheme::socket
                   ? "on the server's own line settings (bare TCP)"
                   : "on the server's own line settings (no COM-PORT-OPTION)";
    }
    const ComPortAnswers& answers = server.answers;
    return "asked " + line_text(link.line) + ", no flow control; the server answered " +
           (answers.baud ? std::to_string(*answers.baud) + " Bd" : "baud not answered") + ", " +
           (answers.data_size ? std::to_string(*answers.data_size) + " data bits"
                              : "data bits not answered") +
           ", " + code_text("parity", widened(answers.parity), {"none", "odd", "even", "mark", "space"}) +
           ", " + code_text("stop bits", widened(answers.stop_size), {"1", "2", "1.5"}) + ", " +
           code_text("flow control", widened(answers.control), {"none", "XON/XOFF", "hardware"}) + ", " +
           (answers.purged ? "buffers purged" : "purge not answered");
}

} // namespace

std::string trace_line(const SerialPort& link, const LineEvent& event)
{
    const std::string port = port_name_text(link.name);
    const std::string bytes = event.bytes.empty() ? "" : ": " + hex_pairs(event.bytes);
    switch (event.kind) {
    case LineEvent::Kind::opened:
        if (std::holds_alternative<ServerAddress>(link.name)) {
            return port_and_device(link) + " connected: " + server_opening(link);
        }
        return port_and_device(link) + " opened: " + line_text(link.line) + ", no flow control";
    case LineEvent::Kind::open_failed:
        return port + " not opened: " + open_failure_text(link);
    case LineEvent::Kind::sent:
        return port + " sent " + moved(event) + bytes;
    case LineEvent::Kind::received:
        if (event.behind_reply && event.end == TransferEnd::timed_out) {
            return event.bytes.empty()
                       ? port + " nothing behind the reply within " + std::to_string(event.timeout_ms) + " ms"
                       : port + " received " + std::to_string(event.bytes.size()) +
                             " bytes behind the reply within " + std::to_string(event.timeout_ms) + " ms" +
                             bytes;
        }
        return port + " received " + moved(event) + (event.behind_reply ? " behind the reply" : "") + bytes;
    case LineEvent::Kind::discarded:
        return port + " discarded " + std::to_string(event.bytes.size()) + " bytes that were waiting" + bytes;
    case LineEvent::Kind::closed:
        break;
    }
    return port + " closed";
}

Result<Trace> open_trace(const std::string& name, const std::string& version)
{
    const Result<std::FILE*> file = open_for_writing(name);
    if (!file) {
        return Unexpected{file.error()};
    }
    const Trace trace{.file = *file, .start = std::chrono::steady_clock::now()};
    std::fprintf(trace.file, "%s %s, trace started %s\n", program_name, version.c_str(),
                 utc_now("%Y-%m-%d %H:%M:%S UTC").c_str());
    if (std::fflush(trace.file) != 0) {
        return Unexpected{std::string()}; // as it always said: no reason
    }
    return trace;
}

LineObserver trace_observer(Trace& trace)
{
    if (trace.file == nullptr) {
        return {};
    }
    return [&trace](const SerialPort& link, const LineEvent& event) {
        const auto elapsed = std::chrono::steady_clock::now() - trace.start;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
        std::fprintf(trace.file, "%7lld ms  %s\n", static_cast<long long>(ms),
                     trace_line(link, event).c_str());
        std::fflush(trace.file);
    };
}
