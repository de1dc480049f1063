#pragma once

// Waits for one key pressed on the console itself, not on standard input, so
// it waits even when standard input is redirected. What was typed before the
// wait began is discarded first: only a key pressed after the prompt counts.
// The key is discarded and the console's mode is restored. Without a console
// it returns at once.
void wait_for_key();
