#pragma once

// What the technician must see, written out independently of the program so
// that every byte of its output is checked against it.

#include <string>

namespace screen {

inline const std::string stars(60, '*');
inline const std::string separator = " \n" + stars;
inline const std::string separator_line = separator + "\n";

// Before the port list; all there is of the banner when --port names it.
inline const std::string instructions = " \nKonfigurator ovladacu Tavelo rodiny Zumel s protokolem Strivo"
                                        " \npreVerze 0.0.0.1 2010 \n\n"
                                        " \npreBuild 03.05.2010 \n\n" +
                                        separator + separator_line +
                                        " \nVypnete napajeni ovladace"
                                        " \nPripojte jumper J6"
                                        " \nZapnete napajeni ovladace";
inline const std::string banner = instructions + " \nZvolte COM port \n\n" + separator_line +
                                  " COM1 = 1 \n COM2 = 2 \n COM3 = 3 \n COM4 = 4 \n COM5 = 5 \n COM6 = 6 \n" +
                                  separator + "  \n";

inline const std::string key_prompt = "\n Pokracujte libovolnou klavesou \n";
inline const std::string invalid_port = "\n Volba COM portu je neplatna \n" + key_prompt;
inline const std::string open_failed = "\n Chyba pri otvirani COM portu \n" + key_prompt;
inline const std::string no_response = "\n\n Error: ovladac neodpovida \n";
inline const std::string failure_end = no_response + key_prompt;

inline std::string identity(const std::string& type, const std::string& version)
{
    return separator + "\n\n Typ ovladace:    " + type + "\n\n Verze FirmWare:  " + version + "\n\n ";
}

inline const std::string menu = separator_line +
                                " \nPro precteni aktualni konfigurace zadejte                1\n"
                                " \nPro zadani a zapsani konfigurace zadejte                 2\n"
                                " \nProgram ukoncite zadanim                                 3\n"
                                "  \n" +
                                separator_line;

// The menu, the choice typed, and the separator printed before it is judged.
inline const std::string menu_choice = menu + separator_line;

struct Display {
    std::string address, speed, button, bridge, led, led_write, divider, pwm;
};

inline std::string display(const Display& d)
{
    return "\nSitova adresa ovladace:          " + d.address + "\n" +
           "\nKomunikacni rychlost ovladace:   " + d.speed + "\n" +
           "\nLimitni hodnota tlacitka:        " + d.button + "\n" +
           "\nHodnota BRIDGE bitu:             " + d.bridge + "\n" +
           "\nInicializacni hodnota LED:       " + d.led + "\n" +
           "\nHodnota LED write enable bitu:   " + d.led_write + "\n" +
           "\nHodnota delicky pro PWM:         " + d.divider + "\n" +
           "\nInicializacni hodnota PWM:       " + d.pwm + "\n" + "\n\n ";
}

inline const std::string prompts[8] = {
    "\nZadejte sitovou adresu ovladace, rozsah 1 - 63:       ",
    "\nZadejte komunikacni rychlost ovladace 0 -  2400Bd:    "
    "\n                                      1 -  4800Bd:    "
    "\n                                      2 -  9600Bd:    "
    "\n                                      3 - 19200Bd:    ",
    "\nZadejte limitni hodnotu tlacitka, rozsah 0 - 3:       ",
    "\nZadejte hodnota BRIDGE bitu, rozsah 0 - 1:            ",
    "\nZadejte inicializacni hodnotu LED nesviti      - 0:   "
    "\n                              LED sviti        - 1:   "
    "\n                              LED blika pomalu - 2:   "
    "\n                              LED blika rychle - 3:   ",
    "\nZadejte hodnotu LED write enable bitu, rozsah 0 - 1:  ",
    "\nZadejte hodnotu delicky pro PWM, rozsah 0 - 255:      ",
    "\nZadejte inicializacni stav PWM, rozsah 0 - 1:         ",
};

inline std::string whole_form()
{
    std::string text;
    for (const auto& p : prompts) {
        text += p;
    }
    return text;
}

// The default emulated controller: connected, failed at the type request,
// or at the firmware request, and its configuration shown.
inline const std::string connected = banner + identity("ZML-4C08", "105");
inline const std::string failed_at_type = banner + separator + failure_end;
inline const std::string failed_at_firmware =
    banner + separator + "\n\n Typ ovladace:    ZML-4C08" + failure_end;
inline const std::string shown_default = display({"10", "9600Bd", "1", "0", "LED sviti", "0", "128", "0"});

} // namespace screen
