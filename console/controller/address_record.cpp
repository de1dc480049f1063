#include "address_record.hpp"

#include <array>
#include <charconv>
#include <cstdio>

namespace {

constexpr std::array<std::pair<AddressEvent::Kind, std::string_view>, 5> kind_words{{
    {AddressEvent::Kind::reserved, "reserved"},
    {AddressEvent::Kind::written, "written"},
    {AddressEvent::Kind::differs, "differs"},
    {AddressEvent::Kind::failed, "failed"},
    {AddressEvent::Kind::imported, "imported"},
}};

std::string_view kind_word(AddressEvent::Kind kind)
{
    for (const auto& [each, word] : kind_words) {
        if (each == kind) {
            return word;
        }
    }
    return "?";
}

std::vector<std::string_view> fields_of(std::string_view line)
{
    std::vector<std::string_view> fields;
    while (!line.empty()) {
        const std::size_t space = line.find(' ');
        fields.push_back(line.substr(0, space));
        line.remove_prefix(space == line.npos ? line.size() : space + 1);
    }
    return fields;
}

bool read_unsigned(std::string_view text, unsigned& value, int base = 10)
{
    const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return !text.empty() && problem == std::errc{} && end == text.data() + text.size();
}

std::string check_of(std::string_view body)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(crc32(body)));
    return text;
}

} // namespace

std::uint32_t crc32(std::string_view text)
{
    std::uint32_t crc = 0xFFFFFFFFU;
    for (const char c : text) {
        crc ^= static_cast<std::uint8_t>(c);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
        }
    }
    return ~crc;
}

std::string record_line(const AddressEvent& event)
{
    std::string body = event.time_utc;
    body.append(" ").append(kind_word(event.kind)).append(" ").append(std::to_string(event.address));
    body.append(" ").append(event.port);
    return body + " " + check_of(body) + "\n";
}

std::string record_header()
{
    return "# Addresses given from this folder by zumel-config, one line per event: UTC time, event\n"
           "# (reserved before the write, then written, differs or failed; imported from writes.csv),\n"
           "# address, port, and the CRC-32 of the line before it. Kept by the program: do not edit.\n";
}

RecordReading read_record(std::string_view text)
{
    RecordReading reading;
    for (std::size_t end = text.find('\n'); end != text.npos; end = text.find('\n', reading.consumed)) {
        std::string_view line = text.substr(reading.consumed, end - reading.consumed);
        reading.consumed = end + 1;
        if (line.ends_with('\r')) {
            line.remove_suffix(1); // saved again by an editor
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::vector<std::string_view> fields = fields_of(line);
        AddressEvent event;
        bool kind_known = false;
        if (fields.size() >= 3) {
            for (const auto& [kind, word] : kind_words) {
                kind_known = kind_known || word == fields[1];
                event.kind = word == fields[1] ? kind : event.kind;
            }
        }
        const bool addressed = fields.size() >= 3 && read_unsigned(fields[2], event.address);
        const std::size_t check_at = line.rfind(' ');
        if (fields.size() == 5 && kind_known && addressed && check_at != line.npos &&
            line.substr(check_at + 1) == check_of(line.substr(0, check_at))) {
            event.time_utc = fields[0];
            event.port = fields[3];
            reading.events.push_back(std::move(event));
            continue;
        }
        ++reading.damaged;
        if (addressed && kind_known) {
            reading.damaged_addresses.push_back(event.address);
        }
    }
    return reading;
}

void take_in(AddressBook& book, const RecordReading& reading)
{
    for (const AddressEvent& event : reading.events) {
        book.taken.insert(event.address);
    }
    book.taken.insert(reading.damaged_addresses.begin(), reading.damaged_addresses.end());
    book.damaged += reading.damaged;
}
