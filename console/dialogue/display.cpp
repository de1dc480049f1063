#include <cstdio>

#include "dialogue.hpp"
#include "setting_texts.hpp"

Action show_configuration(SerialPort& link)
{
    ConfigurationBytes bytes{};
    if (!replied(fetch_configuration(link, bytes))) {
        return Action::failed;
    }
    const ControllerSettings settings = decode_settings(bytes);
    for (std::size_t i = 0; i < setting_fields.size(); ++i) {
        const SettingTexts& texts = setting_texts[i];
        const unsigned value = settings.*setting_fields[i].member;
        std::fputs(texts.label, stdout);
        if (texts.choices[0] == nullptr) {
            std::printf("%u\n", value);
            continue;
        }
        std::size_t choice = 0;
        while (choice + 1 < texts.choices.size() && texts.choices[choice + 1] != nullptr && choice < value) {
            ++choice;
        }
        std::printf("%s\n", texts.choices[choice]);
    }
    std::fputs("\n\n ", stdout);
    return Action::succeeded;
}
