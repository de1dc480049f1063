#pragma once

#include <string>

// What the command line asks for. Without options: the dialogue. With
// --port and --read or --write: one controller read into, or written from, a
// configuration file, without the dialogue.
struct Options {
    enum class Mode { dialogue, help, version, read, write, usage_error };
    Mode mode = Mode::dialogue;
    std::string com_prefix; // empty: the build's own
    std::string port;       // COMn, for read and write
    std::string file;       // write: the file to send ("-" standard input); read: -o FILE, empty for stdout
    std::string error;      // why the command line was refused
};

Options parse_options(int argc, const char* const* argv);

// For --help, and after a refused command line. The exit status: 0 done
// (and every way the dialogue ends), 1 the port or the controller failed in
// a scripted mode, 2 bad usage or a refused configuration file.
extern const char* const usage_text;
