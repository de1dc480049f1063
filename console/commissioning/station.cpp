#include "station.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <set>
#include <string>

#include "controller/configuration_file.hpp"
#include "controller/write_log.hpp"
#include "messages/words.hpp"
#include "requests.hpp"
#include "system/files.hpp"
#include "system/terminal.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Each port is asked no more often than this.
constexpr auto poll_interval = std::chrono::milliseconds(500);
// A controller has gone once its port's identify request goes unanswered
// this many times in a row.
constexpr unsigned gone_after = 2;

struct Watched {
    PortName port{};
    SerialPort link{};
    bool unavailable_said = false; // why it is not open, said once until it opens
    bool settings_said = false;    // a server's line on its own settings, said once
    bool occupied = false;         // a controller was handled here and has not gone
    unsigned unanswered = 0;       // identify requests unanswered in a row
    Clock::time_point due{};
    bool asked = false; // this round, and what became of it
    Probe probe{};
};

struct Batch {
    const StationRequest& request;
    WriteLog log;
    ControllerSettings wanted;
    std::string file_type{}; // the type the file's header names, if any
    RecordCursor record{};   // the addresses this folder gave, by any station or write
    unsigned written = 0, already = 0, failed = 0;
    std::string halted{}; // why the station cannot go on
    bool terminal = output_is_terminal();
    std::string status{}; // the status line as last shown
};

// The batch's configuration but for the address a station gives.
bool of_the_batch(const Batch& batch, const ControllerSettings& settings)
{
    for (const SettingField& field : setting_fields) {
        const bool address = field.member == &ControllerSettings::network_address;
        if ((!address || !batch.request.addresses) && settings.*field.member != batch.wanted.*field.member) {
            return false;
        }
    }
    return true;
}

bool in_range(const Batch& batch, unsigned address)
{
    const auto& range = batch.request.addresses;
    return range && address >= range->first && address <= range->last;
}

bool given(const Batch& batch, unsigned address)
{
    return batch.record.book.taken.contains(address);
}

// The file's own address is what a controller fresh from the factory holds
// when the file was read from one, so it cannot tell a done controller from
// a new one: it is given last, and a controller holding it is never taken
// for one already done.
bool own_address(const Batch& batch, unsigned address)
{
    return address == batch.wanted.network_address;
}

std::optional<unsigned> next_address(const Batch& batch)
{
    const AddressRange& range = *batch.request.addresses;
    for (unsigned address = range.first; address <= range.last; ++address) {
        if (!given(batch, address) && !own_address(batch, address)) {
            return address;
        }
    }
    if (in_range(batch, batch.wanted.network_address) && !given(batch, batch.wanted.network_address)) {
        return batch.wanted.network_address;
    }
    return std::nullopt;
}

unsigned given_in_range(const Batch& batch)
{
    const AddressRange& range = *batch.request.addresses;
    const auto& taken = batch.record.book.taken;
    return static_cast<unsigned>(
        std::distance(taken.lower_bound(range.first), taken.upper_bound(range.last)));
}

unsigned addresses_left(const Batch& batch)
{
    const AddressRange& range = *batch.request.addresses;
    return range.last - range.first + 1 - given_in_range(batch);
}

bool complete(const Batch& batch)
{
    return batch.request.addresses && !next_address(batch);
}

std::string done_text(const Batch& batch)
{
    if (!batch.request.addresses) {
        return std::to_string(batch.written) + " written";
    }
    const AddressRange& range = *batch.request.addresses;
    return std::to_string(given_in_range(batch)) + " of " + std::to_string(range.last - range.first + 1) +
           " done";
}

std::string status_text(const Batch& batch, const std::vector<Watched>& watched)
{
    std::vector<std::string> ports;
    for (const Watched& port : watched) {
        ports.push_back(port_name_text(port.port) + (port.occupied ? " (connected)" : ""));
    }
    const std::optional<unsigned> next = batch.request.addresses ? next_address(batch) : std::nullopt;
    return status_line(ports,
                       done_text(batch) + (next ? ", next address " + std::to_string(*next) : "") +
                           (batch.already > 0 ? ", " + std::to_string(batch.already) + " already done" : "") +
                           (batch.failed > 0 ? ", " + std::to_string(batch.failed) + " failed" : ""),
                       output_columns());
}

// Standard output that does not take a line has nobody to be told.
void show(const std::string& text)
{
    static_cast<void>(write_standard_output(text));
}

// The status line, on a terminal redrawn in place, elsewhere a plain line
// each time it changes.
void show_status(Batch& batch, const std::string& text)
{
    if (!batch.terminal) {
        if (text != batch.status) {
            show(text + "\n");
        }
    } else {
        // Over the line shown before, blanks where it was longer.
        std::string line(1, '\r');
        line.append(text).append(batch.status.size() > text.size() ? batch.status.size() - text.size() : 0,
                                 ' ');
        line.append(1, '\r').append(text);
        show(line);
    }
    batch.status = text;
}

void clear_status(Batch& batch)
{
    if (batch.terminal && !batch.status.empty()) {
        std::string blank(1, '\r');
        blank.append(batch.status.size(), ' ').append(1, '\r');
        show(blank);
    }
}

// An event, on a line of its own above the status line.
void show_event(Batch& batch, const std::string& line, bool bell = false)
{
    clear_status(batch);
    show(line + (bell && batch.terminal ? "\a\n" : "\n"));
    if (batch.terminal && !batch.status.empty()) {
        show_status(batch, batch.status);
    }
}

// A problem, on standard error, above the status line.
void tell(Batch& batch, const std::string& text)
{
    clear_status(batch);
    say(text);
    if (batch.terminal && !batch.status.empty()) {
        show_status(batch, batch.status);
    }
}

// Every port --find would ask, as adapters come.
void add_new_ports(Batch& batch, std::vector<Watched>& watched)
{
    for (const PortInfo& info : list_ports(batch.request.naming)) {
        const bool probed = info.port && !info.system_console && !info.bluetooth && info.running;
        if (probed && std::none_of(watched.begin(), watched.end(), [&info](const Watched& port) {
                return port.port == PortName{*info.port};
            })) {
            watched.emplace_back().port = *info.port;
        }
    }
}

void open_ports(Batch& batch, std::vector<Watched>& watched)
{
    for (Watched& port : watched) {
        if (is_open(port.link)) {
            continue;
        }
        port.link = open_port(port.port, batch.request.naming, controller_line, batch.request.observer,
                              Leaving::as_found);
        if (is_open(port.link) && port.unavailable_said) {
            tell(batch, port_name_text(port.port) + ": open again; watching it");
        } else if (!is_open(port.link) && !port.unavailable_said) {
            tell(batch, failure_line(port.link) + "; watching it");
        }
        if (const std::string notice = own_settings_notice(port.link);
            !notice.empty() && !port.settings_said) {
            tell(batch, notice);
            port.settings_said = true;
        }
        port.unavailable_said = !is_open(port.link);
        port.occupied = port.occupied && is_open(port.link);
    }
}

// Every port due is asked at once, and the replies awaited together, as
// --find does: silent ports take one time-out in all.
void ask_ports(std::vector<Watched>& watched)
{
    const Clock::time_point now = Clock::now();
    std::vector<Probe> probes;
    for (Watched& port : watched) {
        port.asked = is_open(port.link) && port.due <= now;
        if (port.asked) {
            probes.push_back({.link = &port.link});
            port.due = now + poll_interval;
        }
    }
    probe_ports(probes, true);
    auto probe = probes.begin();
    for (Watched& port : watched) {
        if (port.asked) {
            port.probe = *probe++;
        }
    }
}

bool line_lost(const Exchange& exchange)
{
    const TransferEnd end =
        exchange.sent.end != TransferEnd::complete ? exchange.sent.end : exchange.received.end;
    return end == TransferEnd::hung_up || end == TransferEnd::failed;
}

// "ZML-2C04, firmware 105", with ", not the file's ZML-4C08" where the
// file's header names another type.
std::string identity_word(const Batch& batch, const ControllerIdentity& identity)
{
    return identity_text(identity) +
           (of_another_type(identity, batch.file_type) ? ", not the file's " + batch.file_type : "");
}

void written_line(Batch& batch, const Watched& port, const ControllerIdentity& identity, unsigned address)
{
    const std::string where =
        batch.request.addresses ? "address " + std::to_string(address) + " written" : "written";
    show_event(batch,
               port_name_text(port.port) + ": " + where + ", " + identity_word(batch, identity) + " (" +
                   done_text(batch) + ")",
               true);
}

// Reads on in the folder's record: what this and every other station or
// write gave since the last look.
void read_on(Batch& batch)
{
    const Result<void> read = read_record_on(batch.log, batch.record, stop_requested);
    if (!read && !stop_requested()) {
        tell(batch, "cannot read " + batch.log.directory + "/" + address_record_name + ": " + read.error());
    }
}

// Under the folder's lock: the lowest address no station gave, reserved in
// the record before anything is written. False when none is left or the
// batch cannot go on (`batch.halted` says why).
bool reserve_next(Batch& batch, const Watched& port, ControllerSettings& target)
{
    Result<FileHold> hold = hold_folder(batch.log, stop_requested);
    if (!hold) {
        if (!stop_requested()) {
            batch.halted = "cannot hold the lock of " + batch.log.directory + ": " + hold.error();
        }
        return false;
    }
    bool reserved = false;
    if (const Result<void> read = read_record_on(batch.log, batch.record); read) {
        const std::optional<unsigned> next =
            batch.request.addresses ? next_address(batch) : std::optional(batch.wanted.network_address);
        const Result<void> recorded =
            next ? record_address(batch.log, AddressEvent::Kind::reserved, *next, port.port) : Result<void>();
        if (!recorded) {
            batch.halted = "cannot reserve address " + std::to_string(*next) + " in " + batch.log.directory +
                           "/" + address_record_name + ": " + recorded.error();
        } else if (next) {
            target.network_address = *next;
            batch.record.book.taken.insert(*next);
            reserved = true;
        }
    } else {
        batch.halted = "cannot read " + batch.log.directory + "/" + address_record_name + ": " + read.error();
    }
    release_hold(*hold);
    return reserved;
}

// A controller that has just answered: read as the scripted modes read,
// and written unless it already holds what this batch gave it.
void take_controller(Batch& batch, Watched& port)
{
    const std::string name = port_name_text(port.port);
    port.occupied = true;
    ControllerIdentity identity{.type = parse_type_reply(port.probe.reply)};
    const Exchange firmware = query_firmware_version(port.link, identity.version, Rule::checked);
    const Result<ControllerSettings> read =
        answered(firmware) ? read_trusted_configuration(port.link)
                           : Unexpected{exchange_problem(firmware, "the firmware request")};
    if (!read) {
        ++batch.failed;
        tell(batch, name + ": " + read.error() + "; not written");
        return;
    }
    const ControllerSettings& held = *read;
    const bool done_here = batch.request.addresses ? given(batch, held.network_address) &&
                                                         !own_address(batch, held.network_address)
                                                   : held.network_address == batch.wanted.network_address;
    if (of_the_batch(batch, held) && done_here) {
        ++batch.already;
        show_event(batch, name + ": already done as address " + std::to_string(held.network_address) + ", " +
                              identity_text(identity));
        // For the audit only: a row of nothing written, which no count,
        // import or judgement takes for a write.
        const Result<void> added = record_write(batch.log, {.port = port.port,
                                                            .identity = identity,
                                                            .outcome = {WriteOutcome::Kind::already_done},
                                                            .before = held});
        if (!added) {
            ++batch.failed;
            tell(batch,
                 "cannot add the controller to " + batch.log.directory + "/writes.csv: " + added.error());
        }
        return;
    }
    ControllerSettings target = batch.wanted;
    if (stop_requested() || !reserve_next(batch, port, target)) {
        return; // stopped, complete (another station gave the last one), or halted
    }
    if (const std::string warning =
            type_warning(name, identity, batch.file_type, input_name(batch.request.write));
        !warning.empty()) {
        tell(batch, warning);
    }
    const WriteSteps steps{
        .read_held = [&held](ControllerIdentity&) { return Result<ControllerSettings>(held); },
        .write = [&port, &target] { return write_and_read_back(port.link, target); },
        .address = target.network_address,
        .reserved = true,
    };
    const LoggedWrite done = logged_write(&batch.log, port.port, identity, steps);
    if (done.failed_at == LoggedWrite::Stage::done) {
        ++batch.written;
        written_line(batch, port, identity, target.network_address);
    } else {
        ++batch.failed;
        tell(batch,
             name + ": " + done.problem +
                 (batch.request.addresses ? "; address " + std::to_string(target.network_address) +
                                                " is given to no other controller"
                                          : "") +
                 (of_another_type(identity, batch.file_type) ? " (" + identity_word(batch, identity) + ")"
                                                             : ""));
        for (const std::string& line : way_back(done, port_options(port.port, batch.request.naming))) {
            tell(batch, name + ": " + line);
        }
    }
    if (done.record_problem) {
        ++batch.failed;
        tell(batch, *done.record_problem);
    }
}

void after_asking(Batch& batch, Watched& port)
{
    if (!port.asked) {
        return;
    }
    if (line_lost(port.probe.identify)) {
        tell(batch, port_name_text(port.port) + ": " +
                        exchange_problem(port.probe.identify, "the identify request") + "; watching it");
        close_port(port.link);
        port.unavailable_said = true;
        port.occupied = false;
        return;
    }
    if (!answered(port.probe.identify)) {
        port.unanswered = port.occupied ? port.unanswered + 1 : 0;
        port.occupied = port.occupied && port.unanswered < gone_after;
        return;
    }
    port.unanswered = 0;
    if (!port.occupied) {
        take_controller(batch, port);
    }
}

} // namespace

std::string status_line(const std::vector<std::string>& ports, const std::string& rest, unsigned columns)
{
    std::string named;
    unsigned connected = 0;
    for (const std::string& port : ports) {
        named += (named.empty() ? "" : ", ") + port;
        connected += port.ends_with(" (connected)") ? 1 : 0;
    }
    const std::string counted = std::to_string(ports.size()) + (ports.size() == 1 ? " port, " : " ports, ") +
                                std::to_string(connected) + " connected";
    const std::string line = "Watching " + (ports.empty() ? std::string("for ports") : named) + ": " + rest;
    // A line as wide as the terminal would wrap the cursor to the next one,
    // and the redraw in place would leave copies behind.
    if (columns == 0 || line.size() < columns) {
        return line;
    }
    const std::string shorter = "Watching " + counted + ": " + rest;
    return shorter.size() < columns ? shorter : shorter.substr(0, columns - 1);
}

ExitStatus run_station(const StationRequest& request)
{
    ControllerSettings wanted;
    ExitStatus status = ExitStatus::done;
    std::string file_type;
    if (!read_wanted_settings(request.write, wanted, status, file_type)) {
        return status;
    }
    // A stop ends the station wherever it waits, the folder's lock at the
    // start included.
    catch_stop_requests();
    std::optional<WriteLog> log;
    if (!open_write_log(request.write.log, log)) {
        return stop_requested() ? ExitStatus::stopped : ExitStatus::failed;
    }
    Batch batch{
        .request = request, .log = *log, .wanted = wanted, .file_type = file_type, .record = RecordCursor{}};
    if (const Result<void> read = read_record_on(batch.log, batch.record); !read) {
        say("cannot read " + log->directory + "/" + address_record_name + ": " + read.error() +
            "; nothing was sent");
        return ExitStatus::failed;
    }
    if (request.addresses && given_in_range(batch) > 0 && !complete(batch)) {
        show_event(batch, log->directory + " holds " + std::to_string(given_in_range(batch)) + " of the " +
                              std::to_string(request.addresses->last - request.addresses->first + 1) +
                              " addresses already given; the station gives the free ones");
    }
    std::vector<Watched> watched;
    for (const PortName& port : request.ports) {
        watched.emplace_back().port = port;
    }
    const ConsoleHold console = hold_console_for_watching();
    const auto going_on = [&batch] { return !stop_requested() && batch.halted.empty() && !complete(batch); };
    while (going_on()) {
        if (request.ports.empty()) {
            add_new_ports(batch, watched);
        }
        open_ports(batch, watched);
        ask_ports(watched);
        for (Watched& port : watched) {
            if (!going_on()) {
                break; // a stop or a halt begins nothing more, on any port
            }
            after_asking(batch, port);
        }
        read_on(batch);
        if (!going_on()) {
            break;
        }
        show_status(batch, status_text(batch, watched));
        Clock::time_point due = Clock::now() + poll_interval;
        for (const Watched& port : watched) {
            due = is_open(port.link) ? std::min(due, port.due) : due;
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
        pause_ms(static_cast<unsigned>(std::clamp<long long>(wait, 0, 500)));
    }
    clear_status(batch);
    batch.status.clear();
    release_console(console);
    if (!batch.halted.empty()) {
        say(batch.halted + "; the station stopped before sending more");
    }
    show_event(batch, std::string(complete(batch) ? "Batch complete: " : "Station stopped: ") +
                          std::to_string(batch.written) + " written, " + std::to_string(batch.already) +
                          " already done, " + std::to_string(batch.failed) + " failed" +
                          (complete(batch) || !request.addresses
                               ? ""
                               : "; " + std::to_string(addresses_left(batch)) + " addresses left"));
    if (!batch.halted.empty() || batch.failed > 0) {
        return ExitStatus::failed;
    }
    // Stopped with addresses left to give: not done.
    return complete(batch) || !request.addresses ? ExitStatus::done : ExitStatus::stopped;
}
