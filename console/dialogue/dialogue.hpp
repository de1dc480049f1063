#pragma once

#include <optional>

#include "controller/write_log.hpp"
#include "requests.hpp"
#include "serial_link.hpp"

// The dialogue: banner, port choice, identification and the menu loop, as
// the technician has always known it.

// What the command line gives the dialogue beyond the keys.
struct DialogueSetup {
    ComNaming naming = default_com_naming();
    std::optional<PortName> port{}; // given: no port list and no choice
    LineObserver observer{};        // a trace of the line, if asked for
    const WriteLog* log = nullptr;  // a record of every write, if asked for
};

// Every way it ends returns here; the process then exits with code 0. True
// when it ended on an entry form the input left unfinished, the one end
// that neither waits for a key nor is the technician's choice.
bool run_configurator(const DialogueSetup& setup = {});

// The key prompt, then the wait for one key.
void ask_for_a_key();

// Menu actions use the open port and neither close it nor wait for a key.
enum class Action {
    failed, // the no-response message has already been printed
    succeeded,
    // The entry form met the end of input before it was complete: nothing
    // was sent, and the program ends quietly.
    abandoned,
};

Action show_configuration(SerialPort& link);
// With a log, reads what the controller holds before the write, saves it
// and records the write; without one, sends only the form's frame.
Action enter_configuration(SerialPort& link, const WriteLog* log = nullptr,
                           const ControllerIdentity& identity = {},
                           const ComNaming& naming = default_com_naming());

// True when the request was answered; otherwise says on screen that the
// controller does not respond.
bool replied(const Exchange& exchange);
void show_no_response();
