#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <optional>
#include <string>

namespace sendhold::ime {

// The header fields of a message that the watchers dispatch on; absent fields
// read as empty strings.
struct MessageHeader {
    std::uint8_t type = 0;
    std::string path;
    std::string interface;
    std::string member;
    std::string sender;
    std::string destination;
    std::uint32_t serial = 0;
    std::uint32_t replySerial = 0;
};

MessageHeader readHeader(sd_bus_message* m);

// Reads a variant holding an IBusText, "(sa{sv}sv)", and tells whether its
// text is non-empty. Nothing when the value is not an IBusText.
std::optional<bool> readIBusText(sd_bus_message* m);

// Reads an array of formatted text pieces "a(si)" (Fcitx5's preedit) and tells
// whether any piece holds text.
std::optional<bool> readFormattedText(sd_bus_message* m);

}  // namespace sendhold::ime
