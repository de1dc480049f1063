#pragma once

// What a session must send, worked out from the keyboard input alone: the
// oracle of the dialogue fuzzer and the soak. It reads the keys its own way
// and knows the frames from the protocol, not from the program's code.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

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
    switch (request) {
    case Request::type:
        return kit::type_request;
    case Request::firmware:
        return kit::firmware_request;
    case Request::read:
        return kit::read_request;
    case Request::write:
        break;
    }
    return kit::write_frame(form != nullptr ? configuration_of(*form) : std::array<std::uint8_t, 6>{});
}

// The keys as a technician's answers: numbers, or something else.
class Keys {
  public:
    explicit Keys(std::string_view text) : text_(text) {}

    struct Token {
        enum class Kind { number, other, end } kind;
        std::uint32_t value = 0;
    };

    Token next()
    {
        while (at_ < text_.size() && blank(text_[at_])) {
            ++at_;
        }
        bool minus = false;
        if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) {
            minus = text_[at_++] == '-';
        }
        if (at_ == text_.size()) {
            return {Token::Kind::end};
        }
        if (!digit(text_[at_])) {
            return {Token::Kind::other};
        }
        std::uint64_t value = 0;
        for (; at_ < text_.size() && digit(text_[at_]); ++at_) {
            value = (value * 10 + static_cast<std::uint64_t>(text_[at_] - '0')) % (std::uint64_t{1} << 32);
        }
        const auto magnitude = static_cast<std::uint32_t>(value);
        return {Token::Kind::number, minus ? static_cast<std::uint32_t>(0U - magnitude) : magnitude};
    }

    void drop_line()
    {
        const std::size_t end = text_.find('\n', at_);
        at_ = end == std::string_view::npos ? text_.size() : end + 1;
    }

  private:
    static bool blank(char c)
    {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    }
    static bool digit(char c)
    {
        return c >= '0' && c <= '9';
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

// port_opens: whether COMn opens. reply_arrives: whether the whole reply to
// a request comes (asked once per request, in order).
inline Expectation expect(std::string_view keyboard, const std::function<bool(unsigned)>& port_opens,
                          const std::function<bool(Request)>& reply_arrives)
{
    using Kind = Keys::Token::Kind;
    Expectation e;
    Keys keys(keyboard);
    const Keys::Token port = keys.next();
    if (port.kind != Kind::number || port.value < 1 || port.value > 6) {
        e.key_wait = true;
        return e;
    }
    e.port = port.value;
    if (!port_opens(port.value)) {
        e.key_wait = true;
        return e;
    }
    e.opened = true;
    auto ask = [&](Request request) {
        e.requests.push_back(request);
        e.key_wait = !reply_arrives(request);
        return !e.key_wait;
    };
    if (!ask(Request::type) || !ask(Request::firmware)) {
        return e;
    }
    for (;;) {
        const Keys::Token choice = keys.next();
        if (choice.kind == Kind::other) {
            keys.drop_line(); // a slip: the menu comes again
            continue;
        }
        if (choice.kind == Kind::number && choice.value == 1) {
            if (!ask(Request::read)) {
                return e;
            }
            continue;
        }
        if (choice.kind != Kind::number || choice.value != 2) {
            return e;
        }
        Answers form{};
        for (std::size_t i = 0; i < form.size(); ++i) {
            for (;;) {
                const Keys::Token answer = keys.next();
                if (answer.kind == Kind::end) {
                    return e; // abandoned: nothing is sent
                }
                if (answer.kind == Kind::other) {
                    keys.drop_line();
                } else if (answer.value >= answer_ranges[i].lowest &&
                           answer.value <= answer_ranges[i].highest) {
                    form[i] = answer.value;
                    break;
                }
            }
        }
        e.forms.push_back(form);
        if (!ask(Request::write)) {
            return e;
        }
    }
}

} // namespace model
