#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <span>
#include <vector>

#include "frames.hpp"
#include "line.hpp"
#include "serial_link.hpp"

// The four requests, each one exchange on a link. Nothing is retried and
// nothing is printed: each reports what happened and the caller chooses the
// words.
//
// Two rules, side by side:
//  - plain, the dialogue's: the whole frame is written, then one read asks
//    for the reply's fixed length. Nothing is cleared before a request, and
//    bytes a reply holds beyond its length are read as the next reply.
//  - checked, the scripted modes', which copy values from controller to
//    controller: whatever waits on the line is discarded first, and a reply
//    with more bytes right behind it is not trusted.
enum class Rule { plain, checked };

// What a checked exchange keeps of the bytes behind a reply; more may have
// followed when it kept this many.
inline constexpr std::size_t trailing_bytes_kept = 64;

struct Exchange {
    Transfer sent{};                      // the request
    Transfer received{};                  // the reply: count is what came in time
    std::size_t expected = 0;             // the reply's fixed length
    std::vector<std::uint8_t> trailing{}; // checked: bytes right behind the reply
};

// True when the whole reply came, and under the checked rule nothing behind
// it.
bool answered(const Exchange& exchange);

Exchange exchange(SerialPort& link, std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
                  Rule rule);

// One exchange in two halves, for asking many ports at once: the request
// goes out at `sent`, and its reply is awaited later against the deadline
// its length gives from then; by the checked rule, what came right behind
// an answered reply is read too, its read told to the observer as the wait
// behind a reply (LineEvent::behind_reply).
Transfer send_request(SerialPort& link, std::span<const std::uint8_t> request);
Transfer await_reply(SerialPort& link, std::span<std::uint8_t> reply,
                     std::chrono::steady_clock::time_point sent);
void read_trailing(SerialPort& link, Exchange& exchange);

// The identify request on one port of many, for --find and the station.
struct Probe {
    SerialPort* link = nullptr; // not open: not asked
    std::array<std::uint8_t, type_reply_length> reply{};
    Exchange identify{.expected = type_reply_length};
};

// Asks every open port at once: what waits on each line is discarded and
// every request goes out first, then each reply is awaited against its own
// deadline, so many silent ports take about one time-out in all. A request
// that did not leave ends its reply as the send ended. With `read_behind`,
// what came right behind each answered reply is read too.
void probe_ports(std::span<Probe> probes, bool read_behind);

// The controller as the dialogue shows it and a log records it.
struct ControllerIdentity {
    ControllerType type{};
    FirmwareVersion version{};
};

// What they yield is only meaningful when answered.
Exchange identify_controller(SerialPort& link, ControllerType& type, Rule rule = Rule::plain);
Exchange query_firmware_version(SerialPort& link, FirmwareVersion& version, Rule rule = Rule::plain);
Exchange fetch_configuration(SerialPort& link, ConfigurationBytes& configuration, Rule rule = Rule::plain);
Exchange store_configuration(SerialPort& link, const ConfigurationBytes& configuration,
                             Rule rule = Rule::plain);
