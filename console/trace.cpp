#include "trace.hpp"

#include <ctime>

#include "files.hpp"

namespace {

std::string describe(const SerialPort& link, const LineEvent& event)
{
    const std::string port = com_name(link.port);
    switch (event.kind) {
    case LineEvent::Kind::opened:
        return port_and_device(link) + " opened: " + line_settings_text + ", no flow control";
    case LineEvent::Kind::open_failed:
        return port + " not opened: " + link.failure;
    case LineEvent::Kind::sent:
        return port + " sent " + std::to_string(event.bytes.size()) + " bytes: " + hex_pairs(event.bytes);
    case LineEvent::Kind::received: {
        std::string text = port + " received ";
        if (event.bytes.size() == event.asked) {
            text += std::to_string(event.asked) + " bytes";
        } else {
            text += std::to_string(event.bytes.size()) + " of " + std::to_string(event.asked) +
                    " bytes, time-out after " + std::to_string(event.timeout_ms) + " ms";
        }
        return event.bytes.empty() ? text : text + ": " + hex_pairs(event.bytes);
    }
    case LineEvent::Kind::discarded:
        return port + " discarded " + std::to_string(event.bytes.size()) +
               " bytes that were waiting: " + hex_pairs(event.bytes);
    case LineEvent::Kind::closed:
        break;
    }
    return port + " closed";
}

} // namespace

std::string utc_now(const char* format)
{
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, format, std::gmtime(&now));
    return text;
}

std::string hex_pairs(std::span<const std::uint8_t> bytes)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        text += text.empty() ? "" : " ";
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

bool open_trace(const std::string& name, const std::string& version, Trace& trace, std::string& error)
{
    trace.file = open_for_writing(name, error);
    if (trace.file == nullptr) {
        return false;
    }
    trace.start = std::chrono::steady_clock::now();
    std::fprintf(trace.file, "zumel-config %s, trace started %s\n", version.c_str(),
                 utc_now("%Y-%m-%d %H:%M:%S UTC").c_str());
    return std::fflush(trace.file) == 0;
}

LineObserver trace_observer(Trace& trace)
{
    if (trace.file == nullptr) {
        return {};
    }
    return [&trace](const SerialPort& link, const LineEvent& event) {
        const auto elapsed = std::chrono::steady_clock::now() - trace.start;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
        std::fprintf(trace.file, "%7lld ms  %s\n", static_cast<long long>(ms), describe(link, event).c_str());
        std::fflush(trace.file);
    };
}
