#include "telnet.hpp"

namespace telnet {
namespace {

Event subnegotiation_event(const Decoder& decoder)
{
    const std::span<const std::uint8_t> kept(decoder.kept.data(), decoder.kept_size);
    Event event{.kind = Event::Kind::subnegotiation,
                .option = kept.empty() ? std::uint8_t{0} : kept[0],
                .cut = decoder.cut};
    // A server's COM-PORT-OPTION: its command, then the value.
    if (kept.size() >= 2 && kept[0] == com_port_option && !decoder.cut && kept[1] >= server_offset &&
        kept[1] <= server_offset + static_cast<std::uint8_t>(ComPortCommand::purge_data)) {
        event.kind = Event::Kind::com_port;
        event.command = static_cast<ComPortCommand>(kept[1] - server_offset);
        event.value_size = kept.size() - 2;
        for (std::size_t i = 2; i < kept.size() && i < 6; ++i) {
            event.value = event.value << 8 | kept[i];
        }
    }
    return event;
}

void keep(Decoder& decoder, std::uint8_t byte)
{
    if (decoder.kept_size < decoder.kept.size()) {
        decoder.kept[decoder.kept_size++] = byte;
    } else {
        decoder.cut = true;
    }
}

// The byte after an IAC outside a subnegotiation.
void command(Decoder& decoder, std::uint8_t byte, std::vector<std::uint8_t>& data, std::vector<Event>& events)
{
    if (byte == iac) {
        data.push_back(iac);
        decoder.state = Decoder::State::data;
    } else if (byte >= will) {
        decoder.verb = byte;
        decoder.state = Decoder::State::option;
    } else if (byte == sb) {
        decoder.kept_size = 0;
        decoder.cut = false;
        decoder.state = Decoder::State::subnegotiation;
    } else {
        events.push_back({.kind = Event::Kind::command, .option = byte});
        decoder.state = Decoder::State::data;
    }
}

Event::Kind negotiation_kind(std::uint8_t verb)
{
    switch (verb) {
    case will:
        return Event::Kind::will;
    case wont:
        return Event::Kind::wont;
    case do_:
        return Event::Kind::do_;
    default:
        return Event::Kind::dont;
    }
}

bool supported_here(std::uint8_t option)
{
    return option == binary || option == suppress_go_ahead || option == com_port_option;
}

bool supported_there(std::uint8_t option)
{
    return option == binary || option == suppress_go_ahead;
}

} // namespace

void decode(Decoder& decoder, std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& data,
            std::vector<Event>& events)
{
    for (const std::uint8_t byte : bytes) {
        switch (decoder.state) {
        case Decoder::State::data:
            if (byte == iac) {
                decoder.state = Decoder::State::command;
            } else {
                data.push_back(byte);
            }
            break;
        case Decoder::State::command:
            command(decoder, byte, data, events);
            break;
        case Decoder::State::option:
            events.push_back({.kind = negotiation_kind(decoder.verb), .option = byte});
            decoder.state = Decoder::State::data;
            break;
        case Decoder::State::subnegotiation:
            if (byte == iac) {
                decoder.state = Decoder::State::subnegotiation_command;
            } else {
                keep(decoder, byte);
            }
            break;
        case Decoder::State::subnegotiation_command:
            if (byte == iac) {
                keep(decoder, iac);
                decoder.state = Decoder::State::subnegotiation;
                break;
            }
            // IAC SE ends it; any other command ends it too and counts as
            // itself, so a server that forgets SE loses no more than this.
            events.push_back(subnegotiation_event(decoder));
            decoder.state = Decoder::State::data;
            if (byte != se) {
                command(decoder, byte, data, events);
            }
            break;
        }
    }
}

void append_data(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> data)
{
    for (const std::uint8_t byte : data) {
        out.push_back(byte);
        if (byte == iac) {
            out.push_back(iac);
        }
    }
}

// Byte by byte: inserting a list trips GCC 12's -Wstringop-overflow.
void append_negotiation(std::vector<std::uint8_t>& out, std::uint8_t verb, std::uint8_t option)
{
    out.push_back(iac);
    out.push_back(verb);
    out.push_back(option);
}

void append_com_port(std::vector<std::uint8_t>& out, ComPortCommand command, std::uint32_t value,
                     std::size_t size)
{
    append_negotiation(out, sb, com_port_option);
    out.push_back(static_cast<std::uint8_t>(command));
    for (std::size_t i = size; i > 0; --i) {
        const auto byte = static_cast<std::uint8_t>(value >> (8 * (i - 1)));
        append_data(out, std::span(&byte, 1));
    }
    out.push_back(iac);
    out.push_back(se);
}

std::vector<std::uint8_t> opening(Options& options, bool com_port)
{
    std::vector<std::uint8_t> out;
    append_negotiation(out, will, binary);
    append_negotiation(out, do_, binary);
    options.local[binary] = OptionState::asked;
    options.remote[binary] = OptionState::asked;
    if (com_port) {
        append_negotiation(out, will, com_port_option);
        options.local[com_port_option] = OptionState::asked;
    }
    return out;
}

std::vector<std::uint8_t> answer(Options& options, const Event& event)
{
    std::vector<std::uint8_t> out;
    const std::uint8_t option = event.option;
    OptionState& here = options.local[option];
    OptionState& there = options.remote[option];
    switch (event.kind) {
    case Event::Kind::do_:
        if (!supported_here(option)) {
            append_negotiation(out, wont, option);
        } else if (here != OptionState::on) {
            if (here != OptionState::asked) {
                append_negotiation(out, will, option);
            }
            here = OptionState::on;
        }
        break;
    case Event::Kind::dont:
        if (here == OptionState::on) {
            append_negotiation(out, wont, option);
        }
        here = here == OptionState::asked || here == OptionState::refused ? OptionState::refused
                                                                          : OptionState::off;
        break;
    case Event::Kind::will:
        if (!supported_there(option)) {
            append_negotiation(out, dont, option);
        } else if (there != OptionState::on) {
            if (there != OptionState::asked) {
                append_negotiation(out, do_, option);
            }
            there = OptionState::on;
        }
        break;
    case Event::Kind::wont:
        if (there == OptionState::on) {
            append_negotiation(out, dont, option);
        }
        there = there == OptionState::asked || there == OptionState::refused ? OptionState::refused
                                                                             : OptionState::off;
        break;
    default:
        break;
    }
    return out;
}

} // namespace telnet
