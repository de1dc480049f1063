#include <array>
#include <cstdio>

#include "console_io.hpp"
#include "dialogue.hpp"
#include "frames.hpp"
#include "key_wait.hpp"
#include "serial_link.hpp"

namespace {

constexpr const char* separator = " \n************************************************************";
constexpr const char* key_prompt = "\n Pokracujte libovolnou klavesou \n";
constexpr const char* line_speed = "9600";
constexpr std::array<const char*, 6> port_names{"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"};

void print(const char* text)
{
    std::fputs(text, stdout);
}

void print_separator_line()
{
    print(separator);
    print("\n");
}

void print_banner()
{
    print(" \nKonfigurator ovladacu Tavelo rodiny Zumel s protokolem Strivo");
    print(" \npreVerze 0.0.0.1 2010 \n\n");
    print(" \npreBuild 03.05.2010 \n\n");
    print(separator);
    print_separator_line();
    print(" \nVypnete napajeni ovladace");
    print(" \nPripojte jumper J6");
    print(" \nZapnete napajeni ovladace");
    print(" \nZvolte COM port \n\n");
    print_separator_line();
    print(" COM1 = 1 \n");
    print(" COM2 = 2 \n");
    print(" COM3 = 3 \n");
    print(" COM4 = 4 \n");
    print(" COM5 = 5 \n");
    print(" COM6 = 6 \n");
    print(separator);
    print("  \n");
}

void print_menu()
{
    print_separator_line();
    print(" \nPro precteni aktualni konfigurace zadejte                1\n");
    print(" \nPro zadani a zapsani konfigurace zadejte                 2\n");
    print(" \nProgram ukoncite zadanim                                 3\n");
    print("  \n");
    print_separator_line();
}

void wait_and_end()
{
    print(key_prompt);
    wait_for_key();
}

// A failed request has printed its message; the port is closed before the
// technician is asked for a key.
void end_after_failure()
{
    close_port();
    wait_and_end();
}

const char* chosen_port()
{
    const NumberRead choice = read_number();
    if (choice.status != NumberRead::Status::number || choice.value < 1 || choice.value > port_names.size()) {
        return nullptr;
    }
    return port_names[choice.value - 1];
}

bool show_identity()
{
    ControllerType type;
    if (!identify_controller(type)) {
        return false;
    }
    print("\n\n Typ ovladace:    ");
    std::fwrite(type.characters.data(), 1, type.characters.size(), stdout);

    FirmwareVersion version;
    if (!query_firmware_version(version)) {
        return false;
    }
    // Two parts side by side, never one number: 1 and 5 show as 105.
    std::printf("\n\n Verze FirmWare:  %u%02u\n\n ", unsigned{version.high}, unsigned{version.low});
    return true;
}

void run_menu()
{
    for (;;) {
        print_menu();
        const NumberRead choice = read_number();
        print_separator_line();
        if (choice.status == NumberRead::Status::not_a_number) {
            // A slip, such as a key of another layout: the menu comes again.
            discard_input_line();
            continue;
        }
        if (choice.status == NumberRead::Status::end_of_input || (choice.value != 1 && choice.value != 2)) {
            close_port();
            return;
        }
        const int result = choice.value == 1 ? show_configuration() : enter_configuration();
        if (result == action_failed) {
            end_after_failure();
            return;
        }
        if (result == action_abandoned) {
            close_port();
            return;
        }
    }
}

} // namespace

void run_configurator()
{
    print_banner();
    const char* port = chosen_port();
    if (port == nullptr) {
        print("\n Volba COM portu je neplatna \n");
        wait_and_end();
        return;
    }
    if (!open_port(port, line_speed)) {
        print("\n Chyba pri otvirani COM portu \n");
        // Beside the screen's text, the cause and its remedy.
        std::fflush(stdout);
        std::fprintf(stderr, "zumel-config: %s\n", open_failure_reason().c_str());
        wait_and_end();
        return;
    }
    print(separator);
    if (!show_identity()) {
        end_after_failure();
        return;
    }
    run_menu();
}
