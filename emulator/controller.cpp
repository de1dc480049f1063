#include "controller.hpp"

#include <algorithm>
#include <cstdio>
#include <deque>

namespace emulator {

namespace {

constexpr std::size_t read_reply_length = 52;

void append_checksum_and_end(std::vector<std::uint8_t>& frame)
{
    frame.push_back(checksum(frame));
    frame.push_back(end_byte);
}

std::vector<std::uint8_t> plain_reply(const Controller& controller, std::uint8_t command)
{
    std::vector<std::uint8_t> reply;
    reply.reserve(read_reply_length);
    reply.push_back(start_byte);
    reply.push_back(command);
    switch (command) {
    case command_type:
        for (char c : controller.setup.type) {
            reply.push_back(static_cast<std::uint8_t>(c) & 0x7F);
        }
        break;
    case command_firmware:
        for (std::uint8_t b : {controller.setup.firmware_low, controller.setup.firmware_high, std::uint8_t{0},
                               std::uint8_t{0}}) {
            reply.push_back(b);
        }
        break;
    case command_read:
        reply.insert(reply.end(), controller.configuration.begin(), controller.configuration.end());
        reply.resize(read_reply_length - 2, 0);
        break;
    default:
        break;
    }
    append_checksum_and_end(reply);
    return reply;
}

bool applies(const Fault& fault, std::size_t request)
{
    return fault.always || fault.request == request;
}

// How the reply to one request leaves, after the faults have had their say.
struct Plan {
    std::vector<std::uint8_t> reply{};
    bool hang_up_instead = false;
    std::optional<unsigned> hang_up_after_ms{};
    unsigned first_delay_ms = 0;
    std::size_t piece_size = 0; // 0: all at once
    unsigned gap_ms = 0;
};

Plan make_plan(const ControllerSetup& setup, std::size_t request, std::vector<std::uint8_t> reply)
{
    Plan plan{.reply = std::move(reply)};
    for (const Fault& fault : setup.faults) {
        if (!applies(fault, request)) {
            continue;
        }
        switch (fault.kind) {
        case FaultKind::silent:
            plan.reply.clear();
            break;
        case FaultKind::short_reply:
            plan.reply.resize(plan.reply.size() - std::min(fault.count, plan.reply.size()));
            break;
        case FaultKind::extra_bytes:
            plan.reply.insert(plan.reply.end(), fault.bytes.begin(), fault.bytes.end());
            break;
        case FaultKind::replace_reply:
            plan.reply = fault.bytes;
            break;
        case FaultKind::pieces:
            plan.piece_size = std::max<std::size_t>(fault.count, 1);
            plan.gap_ms = fault.delay_ms;
            plan.first_delay_ms = fault.first_delay_ms;
            break;
        case FaultKind::delay:
            plan.first_delay_ms = fault.delay_ms;
            break;
        case FaultKind::hang_up:
            plan.hang_up_instead = true;
            break;
        case FaultKind::hang_up_after_reply:
            plan.hang_up_after_ms = fault.delay_ms;
            break;
        case FaultKind::garble:
            if (fault.count < plan.reply.size() && !fault.bytes.empty()) {
                plan.reply[fault.count] ^= fault.bytes[0];
            }
            break;
        case FaultKind::ignore_write:
            break; // not about the reply
        }
    }
    return plan;
}

Microseconds from_ms(unsigned ms)
{
    return std::chrono::milliseconds(ms);
}

// Lays the plan out on the line from `arrival` on, after what is already
// scheduled until `line_free_at`.
std::vector<Action> schedule(Controller& controller, Microseconds& line_free_at, const Plan& plan,
                             Microseconds arrival)
{
    std::vector<Action> actions;
    Microseconds cursor = std::max(arrival, line_free_at);
    if (plan.hang_up_instead) {
        actions.push_back({.at = cursor, .hang_up = true});
        controller.hung_up = true;
        return actions;
    }

    cursor = std::max(arrival + from_ms(plan.first_delay_ms), line_free_at);
    const Microseconds byte_time{controller.setup.byte_time_us};
    const std::size_t piece_size = plan.piece_size == 0 ? plan.reply.size() : plan.piece_size;
    for (std::size_t offset = 0; offset < plan.reply.size(); offset += piece_size) {
        if (offset > 0) {
            cursor += from_ms(plan.gap_ms);
        }
        const auto first = plan.reply.begin() + static_cast<std::ptrdiff_t>(offset);
        const auto last = plan.reply.begin() +
                          static_cast<std::ptrdiff_t>(std::min(offset + piece_size, plan.reply.size()));
        if (byte_time.count() == 0) {
            actions.push_back({.at = cursor, .bytes = {first, last}});
            continue;
        }
        for (auto byte = first; byte != last; ++byte) {
            actions.push_back({.at = cursor, .bytes = {*byte}});
            cursor += byte_time;
        }
    }
    if (plan.hang_up_after_ms) {
        cursor += from_ms(*plan.hang_up_after_ms);
        actions.push_back({.at = cursor, .hang_up = true});
        controller.hung_up = true;
    }
    line_free_at = cursor;
    return actions;
}

bool keeps_configuration(const ControllerSetup& setup, std::size_t request)
{
    return std::any_of(setup.faults.begin(), setup.faults.end(), [request](const Fault& fault) {
        return fault.kind == FaultKind::ignore_write && applies(fault, request);
    });
}

Response respond(Controller& controller, Microseconds& line_free_at, Microseconds last_byte_at)
{
    const std::size_t index = controller.requests.size() - 1;
    const Request& request = controller.requests.back();
    Response response{.request = index};
    if (!request.line_problems.empty()) {
        return response;
    }

    if (request.command == command_write && !keeps_configuration(controller.setup, index)) {
        std::copy_n(request.frame.begin() + 2, controller.configuration.size(),
                    controller.configuration.begin());
    }

    const Plan plan = make_plan(controller.setup, index, plain_reply(controller, request.command));
    const Microseconds wire_time = Microseconds{controller.setup.byte_time_us} *
                                   static_cast<Microseconds::rep>(request.frame.size() - 1);
    response.actions =
        schedule(controller, line_free_at, plan, std::max(last_byte_at, request.arrived + wire_time));
    response.reply = plan.hang_up_instead ? std::vector<std::uint8_t>{} : plan.reply;
    return response;
}

} // namespace

unsigned total(const ProtocolErrors& errors)
{
    return errors.stray_bytes + errors.unknown_command + errors.bad_frame + errors.bad_checksum;
}

std::uint8_t checksum(std::span<const std::uint8_t> bytes)
{
    std::uint8_t sum = 0;
    for (std::uint8_t byte : bytes) {
        sum = static_cast<std::uint8_t>(sum - byte);
    }
    return sum & 0x7F;
}

std::optional<std::size_t> request_length(std::uint8_t command)
{
    switch (command) {
    case command_type:
    case command_firmware:
        return 4;
    case command_read:
        return 5;
    case command_write:
        return 52;
    default:
        return std::nullopt;
    }
}

std::string hex(std::span<const std::uint8_t> bytes)
{
    std::string text;
    for (std::uint8_t byte : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X ", unsigned{byte});
        text += pair;
    }
    if (!text.empty()) {
        text.pop_back();
    }
    return text;
}

Controller make_controller(const ControllerSetup& setup)
{
    Controller controller;
    controller.setup = setup;
    controller.configuration = setup.configuration;
    return controller;
}

std::optional<Line> make_line(const std::vector<ControllerSetup>& controllers,
                              const std::vector<Visit>& visits, std::string& error)
{
    if (controllers.empty()) {
        error = "no controller on the line";
        return std::nullopt;
    }
    for (std::size_t i = 0; i < visits.size(); ++i) {
        if (visits[i].controller >= controllers.size()) {
            error = "visit " + std::to_string(i + 1) + " names controller index " +
                    std::to_string(visits[i].controller) + ", but there are " +
                    std::to_string(controllers.size());
            return std::nullopt;
        }
        if (visits[i].stays == 0 && i + 1 < visits.size()) {
            error = "visit " + std::to_string(i + 1) + " stays to the end, yet visits follow";
            return std::nullopt;
        }
    }
    Line line;
    for (const ControllerSetup& setup : controllers) {
        line.controllers.push_back(make_controller(setup));
    }
    line.visits = visits;
    return line;
}

std::optional<std::size_t> connected(const Line& line)
{
    if (line.unplugged) {
        return std::nullopt;
    }
    if (line.visits.empty()) {
        return 0;
    }
    if (line.visit_ == line.visits.size() || !line.present_) {
        return std::nullopt;
    }
    return line.visits[line.visit_].controller;
}

Controller as_one(const Line& line)
{
    const std::size_t last =
        line.visits.empty() ? 0 : line.visits[std::min(line.visit_, line.visits.size() - 1)].controller;
    Controller controller = line.controllers[last];
    controller.received = line.received;
    controller.requests = line.requests;
    controller.errors = line.errors;
    controller.hung_up = line.hung_up;
    return controller;
}

std::vector<Response> feed(Line& line, std::span<const std::uint8_t> bytes, Microseconds now,
                           std::string_view line_problems)
{
    line.received.insert(line.received.end(), bytes.begin(), bytes.end());
    std::vector<Response> responses;
    std::deque<ReceivedByte> todo;
    for (std::uint8_t value : bytes) {
        todo.push_back({value, now});
    }

    std::vector<ReceivedByte>& frame = line.frame_;
    // A rejected frame gives back all but its start byte: a good frame may
    // begin inside it.
    auto reject = [&frame, &todo](unsigned& counter) {
        ++counter;
        todo.insert(todo.begin(), frame.begin() + 1, frame.end());
        frame.clear();
    };
    // Plugs and unplugs after a request: a frame never straddles two visits.
    auto count_request = [&line] {
        ++line.counted_;
        while (line.visit_ < line.visits.size()) {
            const Visit& visit = line.visits[line.visit_];
            if (line.present_) {
                if (visit.stays == 0 || line.counted_ < visit.stays) {
                    return;
                }
                line.present_ = false;
                line.counted_ = 0;
            }
            if (line.counted_ < visit.absent) {
                return;
            }
            ++line.visit_;
            line.present_ = true;
            line.counted_ = 0;
        }
    };

    while (!todo.empty() && !line.hung_up) {
        const ReceivedByte byte = todo.front();
        todo.pop_front();
        if (frame.empty()) {
            if (byte.value == start_byte) {
                frame.push_back(byte);
            } else {
                ++line.errors.stray_bytes;
            }
            continue;
        }
        frame.push_back(byte);
        const std::optional<std::size_t> length = request_length(frame[1].value);
        if (!length) {
            reject(line.errors.unknown_command);
            continue;
        }
        if (frame.size() < *length) {
            if (byte.value > 0x7F) {
                reject(line.errors.bad_frame);
            }
            continue;
        }
        if (byte.value != end_byte) {
            reject(line.errors.bad_frame);
            continue;
        }
        std::vector<std::uint8_t> values;
        for (const ReceivedByte& received : frame) {
            values.push_back(received.value);
        }
        if (checksum(std::span(values).first(values.size() - 2)) != values[values.size() - 2]) {
            reject(line.errors.bad_checksum);
            continue;
        }
        const Microseconds first_byte_at = frame.front().at;
        frame.clear();
        const std::optional<std::size_t> to = connected(line);
        line.requests.push_back({.command = values[1],
                                 .frame = std::move(values),
                                 .arrived = first_byte_at,
                                 .line_problems = std::string(line_problems),
                                 .controller = to});
        Response response;
        if (to) {
            Controller& controller = line.controllers[*to];
            controller.requests.push_back(line.requests.back());
            response = respond(controller, line.line_free_at_, byte.at);
            line.hung_up = controller.hung_up;
        }
        response.request = line.requests.size() - 1;
        responses.push_back(std::move(response));
        if (!line.unplugged) {
            count_request();
        }
    }
    return responses;
}

void mark_answered(Line& line, std::size_t request, Microseconds at)
{
    Request& on_line = line.requests[request];
    on_line.answered = at;
    if (on_line.controller) {
        // Its place in its controller's list: the earlier ones that went there.
        const auto before = std::count_if(
            line.requests.begin(), line.requests.begin() + request,
            [&on_line](const Request& other) { return other.controller == on_line.controller; });
        line.controllers[*on_line.controller].requests[static_cast<std::size_t>(before)].answered = at;
    }
}

} // namespace emulator
