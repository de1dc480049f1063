#pragma once

// The dialogue: banner, port choice, identification and the menu loop.
// Every way it ends returns here; the process then exits with code 0.
void run_configurator();

// Menu actions use the open port and neither close it nor wait for a key.
// On failure the no-response message has already been printed.
inline constexpr int action_failed = 0;
inline constexpr int action_succeeded = 1;
// The entry form met the end of input before it was complete: nothing was
// sent, and the program ends quietly.
inline constexpr int action_abandoned = 2;

int show_configuration();
int enter_configuration();
