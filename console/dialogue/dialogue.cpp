#include <cstdio>
#include <optional>

#include "dialogue.hpp"
#include "messages/messages.hpp"
#include "messages/words.hpp"
#include "system/key_wait.hpp"
#include "typed_numbers.hpp"

namespace {

constexpr const char* separator = " \n************************************************************";
constexpr const char* key_prompt = "\n Pokracujte libovolnou klavesou \n";
constexpr unsigned ports_offered = 6; // COM1 to COM6

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
}

void print_port_list()
{
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

// A failed request has printed its message; the port is closed before the
// technician is asked for a key.
void end_after_failure(SerialPort& link)
{
    close_port(link);
    ask_for_a_key();
}

std::optional<ComPort> chosen_port()
{
    const NumberRead choice = read_number();
    if (choice.status != NumberRead::Status::number || choice.value < 1 || choice.value > ports_offered) {
        return std::nullopt;
    }
    return ComPort{choice.value};
}

bool show_identity(SerialPort& link, ControllerIdentity& identity)
{
    ControllerType& type = identity.type;
    if (!replied(identify_controller(link, type))) {
        return false;
    }
    print("\n\n Typ ovladace:    ");
    // As received, each byte one character.
    std::fwrite(type.characters.data(), 1, type.characters.size(), stdout);

    FirmwareVersion& version = identity.version;
    if (!replied(query_firmware_version(link, version))) {
        return false;
    }
    print("\n\n Verze FirmWare:  ");
    print(firmware_text(version).c_str());
    print("\n\n ");
    return true;
}

// True when it ended on a form left unfinished.
bool run_menu(SerialPort& link, const WriteLog* log, const ControllerIdentity& identity,
              const ComNaming& naming)
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
            close_port(link);
            return false;
        }
        const Action result =
            choice.value == 1 ? show_configuration(link) : enter_configuration(link, log, identity, naming);
        if (result == Action::failed) {
            end_after_failure(link);
            return false;
        }
        if (result == Action::abandoned) {
            close_port(link);
            return true;
        }
    }
}

} // namespace

void ask_for_a_key()
{
    print(key_prompt);
    wait_for_key();
}

void show_no_response()
{
    print("\n\n Error: ovladac neodpovida \n");
}

bool replied(const Exchange& exchange)
{
    if (!answered(exchange)) {
        show_no_response();
    }
    return answered(exchange);
}

bool run_configurator(const DialogueSetup& setup)
{
    print_banner();
    std::optional<PortName> port = setup.port;
    if (!port) {
        print_port_list();
        if (const std::optional<ComPort> chosen = chosen_port()) {
            port = *chosen;
        }
    }
    if (!port) {
        print("\n Volba COM portu je neplatna \n");
        ask_for_a_key();
        return false;
    }
    SerialPort link = open_port(*port, setup.naming, controller_line, setup.observer);
    if (!is_open(link)) {
        print("\n Chyba pri otvirani COM portu \n");
        // Beside the screen's text, the cause and its remedy.
        say(failure_line(link));
        ask_for_a_key();
        return false;
    }
    if (const std::string notice = own_settings_notice(link); !notice.empty()) {
        say(notice);
    }
    print(separator);
    ControllerIdentity identity;
    if (!show_identity(link, identity)) {
        end_after_failure(link);
        return false;
    }
    return run_menu(link, setup.log, identity, setup.naming);
}
