#pragma once

// What a session must send, worked out from the keyboard input alone: the
// oracle of the dialogue fuzzer and the soak. It knows the flow and the
// frames from the protocol, not from the program's code.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dialogue/typed_numbers.hpp"
#include "kit.hpp"

namespace model {

enum class Request { type, firmware, read, write };

// Address, speed, button limit, bridge, LED, LED write enable, PWM divider,
// PWM start: the form's eight answers in the order they are asked.
using Answers = std::array<std::uint32_t, 8>;

struct Range {
    std::uint32_t lowest;
    std::uint32_t highest;
};
inline constexpr std::array<Range, 8> answer_ranges{
    {{1, 63}, {0, 3}, {0, 3}, {0, 1}, {0, 3}, {0, 1}, {0, 255}, {0, 1}}};

struct Expectation {
    std::optional<unsigned> port;  // the COM number chosen, when it is one
    bool opened = false;           // that port opened
    std::vector<Request> requests; // in order, up to the first that fails
    std::vector<Answers> forms;    // completed forms; each is sent as a write
    bool key_wait = false;         // the session ends by waiting for a key
};

inline std::size_t reply_length(Request request)
{
    constexpr std::size_t lengths[] = {12, 8, 52, 4};
    return lengths[static_cast<int>(request)];
}

// The six configuration bytes a completed form must be sent as.
inline std::array<std::uint8_t, 6> configuration_of(const Answers& a)
{
    auto byte = [](std::uint32_t value) { return static_cast<std::uint8_t>(value); };
    return {byte(a[0]),
            byte(a[1]),
            byte(0x74 | a[3] << 3 | a[2]),
            byte(0x78 | a[5] << 2 | a[4]),
            byte(a[6] & 0x7F),
            byte(0x7C | a[7] << 1 | a[6] >> 7)};
}

// The request frame as it must appear on the line.
inline kit::Bytes frame_of(Request request, const Answers* form = nullptr)
{
    if (request != Request::write) {
        const kit::Bytes* const frames[] = {&kit::type_request, &kit::firmware_request, &kit::read_request};
        return *frames[static_cast<int>(request)];
    }
    return kit::write_frame(form != nullptr ? configuration_of(*form) : std::array<std::uint8_t, 6>{});
}

// Every frame the session must send, in order.
inline kit::Bytes expected_line(const Expectation& e)
{
    kit::Bytes bytes;
    std::size_t form = 0;
    for (Request request : e.requests) {
        const kit::Bytes frame = frame_of(request, request == Request::write ? &e.forms.at(form++) : nullptr);
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    return bytes;
}

// Runs `read` with the keys as standard input, so they are read as the
// program reads them, with its own number reader: its arithmetic is proven
// by its own table, the model's business is the flow. Standard input is the
// process's one: one reader at a time.
template <typename Read> void reading(std::string_view keys, Read read)
{
    static std::mutex one_at_a_time;
    std::lock_guard lock(one_at_a_time);
    std::string text(keys.empty() ? "\n" : keys); // fmemopen takes no empty buffer
    std::FILE* const file = fmemopen(text.data(), text.size(), "r");
    std::FILE* const saved = std::exchange(stdin, file != nullptr ? file : stdin);
    read();
    stdin = saved;
    if (file != nullptr) {
        std::fclose(file);
    }
}

// The flow over keys read from standard input; see expect.
inline void flow(Expectation& e, const std::function<bool(unsigned)>& port_opens,
                 const std::function<bool(Request)>& reply_arrives)
{
    using Kind = NumberRead::Status;
    const NumberRead port = read_number();
    if (port.status != Kind::number || port.value < 1 || port.value > 6) {
        e.key_wait = true;
        return;
    }
    e.port = port.value;
    if (!port_opens(port.value)) {
        e.key_wait = true;
        return;
    }
    e.opened = true;
    auto ask = [&](Request request) {
        e.requests.push_back(request);
        e.key_wait = !reply_arrives(request);
        return !e.key_wait;
    };
    if (!ask(Request::type) || !ask(Request::firmware)) {
        return;
    }
    for (;;) {
        const NumberRead choice = read_number();
        if (choice.status == Kind::not_a_number) {
            discard_input_line(); // a slip: the menu comes again
            continue;
        }
        if (choice.status == Kind::number && choice.value == 1) {
            if (!ask(Request::read)) {
                return;
            }
            continue;
        }
        if (choice.status != Kind::number || choice.value != 2) {
            return;
        }
        Answers form{};
        for (std::size_t i = 0; i < form.size(); ++i) {
            for (;;) {
                const NumberRead answer = read_number();
                if (answer.status == Kind::end_of_input) {
                    return; // abandoned: nothing is sent
                }
                if (answer.status == Kind::not_a_number) {
                    discard_input_line();
                } else if (answer.value >= answer_ranges[i].lowest &&
                           answer.value <= answer_ranges[i].highest) {
                    form[i] = answer.value;
                    break;
                }
            }
        }
        e.forms.push_back(form);
        if (!ask(Request::write)) {
            return;
        }
    }
}

// port_opens: whether COMn opens. reply_arrives: whether the whole reply to
// a request comes (asked once per request, in order).
inline Expectation expect(std::string_view keyboard, const std::function<bool(unsigned)>& port_opens,
                          const std::function<bool(Request)>& reply_arrives)
{
    Expectation e;
    reading(keyboard, [&] { flow(e, port_opens, reply_arrives); });
    return e;
}

} // namespace model
