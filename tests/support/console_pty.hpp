#pragma once

// A pseudo-terminal that a test gives the configurator as its console, to
// type keys into and to see what mode the program leaves it in.

#include <string>
#include <termios.h>

struct Console {
    Console();
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;
    termios mode() const;

    int master = -1; // the keyboard side
    int slave = -1;  // kept open by the test, to read the mode
    std::string path{};
};

bool same_mode(const termios& a, const termios& b);
