#pragma once

// Bytes as the tests print them: "FF 28 59 80".

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

inline std::string hex(std::span<const std::uint8_t> bytes)
{
    std::string text;
    for (auto b : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X ", unsigned{b});
        text += pair;
    }
    if (!text.empty()) {
        text.pop_back();
    }
    return text;
}
