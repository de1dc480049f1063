#pragma once

// The log folder's own memory of the addresses it gave: DIR/addresses.record,
// one line per event, appended and synced, never edited. An address is
// reserved there before its write frame goes out, and taken from then on
// whatever became of the write; its outcome follows once the controller was
// read back. writes.csv is the technician's view of the same writes; what a
// spreadsheet does to it changes nothing a station decides.
//
//   # comment lines, as the file's first lines say what it is
//   2026-12-07T14:30:15Z reserved 12 COM3 5d1c7a0e
//   2026-12-07T14:30:16Z written 12 COM3 0b8e42f9
//
// The last field is the CRC-32 of the line before it, so a line cut by a
// power cut, or changed by hand, is known as such.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* address_record_name = "addresses.record";

struct AddressEvent {
    enum class Kind { reserved, written, differs, failed, imported };
    std::string time_utc{};
    Kind kind = Kind::reserved;
    unsigned address = 0;
    std::string port{};
    friend bool operator==(const AddressEvent&, const AddressEvent&) = default;
};

std::uint32_t crc32(std::string_view text);

// The event as one line of the record, its check and line end included.
std::string record_line(const AddressEvent& event);

// The record's first lines, for a reader months later.
std::string record_header();

// What a stretch of the record holds: its whole lines, and where the next
// reading starts (a last line without its line end is not read yet: it is
// being written, or was cut and stays alone once the next line comes).
struct RecordReading {
    std::vector<AddressEvent> events{};
    std::size_t consumed = 0;
    // Whole lines whose check fails: cut by a power cut and left behind, or
    // changed by hand. The address such a line names, where it still reads
    // as one, is taken too: giving one address less is safe, twice is not.
    std::vector<unsigned> damaged_addresses{};
    unsigned damaged = 0;
};
RecordReading read_record(std::string_view text);

// The addresses a folder has given, as the record is read on.
struct AddressBook {
    std::set<unsigned> taken{};
    unsigned damaged = 0;
};
void take_in(AddressBook& book, const RecordReading& reading);
