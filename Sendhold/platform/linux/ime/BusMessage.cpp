#include "BusMessage.h"

#include <string_view>

namespace sendhold::ime {

namespace {
std::string orEmpty(const char* s) {
    return s ? std::string(s) : std::string();
}
}  // namespace

MessageHeader readHeader(sd_bus_message* m) {
    MessageHeader h;
    sd_bus_message_get_type(m, &h.type);
    h.path = orEmpty(sd_bus_message_get_path(m));
    h.interface = orEmpty(sd_bus_message_get_interface(m));
    h.member = orEmpty(sd_bus_message_get_member(m));
    h.sender = orEmpty(sd_bus_message_get_sender(m));
    h.destination = orEmpty(sd_bus_message_get_destination(m));
    std::uint64_t cookie = 0;
    if (sd_bus_message_get_cookie(m, &cookie) >= 0) h.serial = static_cast<std::uint32_t>(cookie);
    cookie = 0;
    if (sd_bus_message_get_reply_cookie(m, &cookie) >= 0) {
        h.replySerial = static_cast<std::uint32_t>(cookie);
    }
    return h;
}

std::optional<NameOwnerChange> readNameOwnerChange(sd_bus_message* m, const MessageHeader& h) {
    if (h.type != SD_BUS_MESSAGE_SIGNAL || h.sender != kBusName || h.interface != kBusName ||
        h.member != "NameOwnerChanged") {
        return std::nullopt;
    }
    const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0) return std::nullopt;
    return NameOwnerChange{name, oldOwner, newOwner};
}

bool readHandled(sd_bus_message* m) {
    int handled = 0;
    return sd_bus_message_read(m, "b", &handled) > 0 && handled;
}

std::optional<bool> readIBusText(sd_bus_message* m) {
    if (sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, "(sa{sv}sv)") <= 0) {
        return std::nullopt;
    }
    const char* name = nullptr;
    const char* text = nullptr;
    if (sd_bus_message_enter_container(m, SD_BUS_TYPE_STRUCT, "sa{sv}sv") <= 0 ||
        sd_bus_message_read(m, "s", &name) < 0 || sd_bus_message_skip(m, "a{sv}") < 0 ||
        sd_bus_message_read(m, "s", &text) < 0 || sd_bus_message_skip(m, "v") < 0 ||
        sd_bus_message_exit_container(m) < 0 || sd_bus_message_exit_container(m) < 0) {
        return std::nullopt;
    }
    if (std::string_view(name) != "IBusText") return std::nullopt;
    return text[0] != '\0';
}

std::optional<bool> readFormattedText(sd_bus_message* m) {
    if (sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "(si)") <= 0) return std::nullopt;
    bool hasText = false;
    for (;;) {
        const char* piece = nullptr;
        std::int32_t format = 0;
        const int r = sd_bus_message_read(m, "(si)", &piece, &format);
        if (r < 0) return std::nullopt;
        if (r == 0) break;
        if (piece[0] != '\0') hasText = true;
    }
    if (sd_bus_message_exit_container(m) < 0) return std::nullopt;
    return hasText;
}

}  // namespace sendhold::ime
