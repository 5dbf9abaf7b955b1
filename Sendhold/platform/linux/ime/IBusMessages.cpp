#include "IBusMessages.h"

#include <systemd/sd-bus.h>

#include "BusMessage.h"

namespace sendhold::ime {

namespace {
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";

// Reads the leading "v u b" of UpdatePreeditText(vub) and (vubu): whether the
// text is non-empty and visible.
std::optional<std::pair<bool, bool>> readPreeditUpdate(sd_bus_message* m) {
    const auto hasText = readIBusText(m);
    std::uint32_t cursor = 0;
    int visible = 0;
    if (!hasText || sd_bus_message_read(m, "ub", &cursor, &visible) < 0) return std::nullopt;
    return std::pair{*hasText, visible != 0};
}
}  // namespace

void IBusMessageHandler::handle(sd_bus_message* m, SteadyTime now) {
    sd_bus_message_rewind(m, 1);
    const MessageHeader h = readHeader(m);
    if (const auto change = readNameOwnerChange(m, h)) {
        if (change->name == kIBusService) {
            // A daemon standing in on a plain message bus came or went.
            daemon_.ownerIs(change->newOwner);
            tracker_.clear();
        } else if (change->name[0] == ':' && change->newOwner.empty()) {
            tracker_.ownerGone(change->name);
        }
        return;
    }
    switch (h.type) {
        case SD_BUS_MESSAGE_SIGNAL:
            if (h.interface == kIBusInputContext && daemon_.sentBy(h)) {
                contextSignal(m, h.member, h.path, h.destination);
            }
            break;
        case SD_BUS_MESSAGE_METHOD_CALL:
            if (h.interface == kIBusInputContext && daemon_.addressedTo(h)) {
                contextCall(m, h.member, h.path, h.sender, h.serial, now);
            } else if (h.interface == kIBusPanel && daemon_.sentBy(h)) {
                panelCall(m, h.member);
            } else if (h.interface == kProperties && h.member == "Get" && daemon_.addressedTo(h)) {
                const char *iface = nullptr, *property = nullptr;
                if (sd_bus_message_read(m, "ss", &iface, &property) >= 0 &&
                    std::string_view(iface) == kIBusInputContext &&
                    std::string_view(property) == "PostProcessKeyEvent") {
                    tracker_.followUpSent(h.path, h.sender, h.serial, now);
                }
            }
            break;
        case SD_BUS_MESSAGE_METHOD_RETURN:
        case SD_BUS_MESSAGE_METHOD_ERROR:
            if (!daemon_.sentBy(h)) break;
            if (auto call = tracker_.replyArrived(h.destination, h.replySerial)) {
                if (h.type != SD_BUS_MESSAGE_METHOD_RETURN) break;
                if (call->kind == CallKind::EffectsOfKey) {
                    postProcessReply(m, call->path);
                } else if (readHandled(m)) {
                    tracker_.keyHandled(*call, now);
                }
            }
            break;
        default:
            break;
    }
}

void IBusMessageHandler::contextSignal(sd_bus_message* m, const std::string& member,
                                       const std::string& path, const std::string& owner) {
    if (member == "UpdatePreeditText" || member == "UpdatePreeditTextWithMode") {
        if (const auto update = readPreeditUpdate(m)) {
            tracker_.preeditChanged(path, owner, update->first, update->second);
        } else {
            tracker_.preeditUnknown(path);
        }
    } else if (member == "ShowPreeditText" || member == "HidePreeditText") {
        tracker_.preeditShown(path, owner, member == "ShowPreeditText");
    }
}

void IBusMessageHandler::contextCall(sd_bus_message*, const std::string& member,
                                     const std::string& path, const std::string& caller,
                                     std::uint32_t serial, SteadyTime now) {
    if (member == "ProcessKeyEvent") {
        tracker_.keySent(path, caller, serial, now);
    } else if (member == "FocusIn") {
        tracker_.focusIn(path, caller);
    } else if (member == "FocusOut") {
        tracker_.focusOut(path);
    } else if (member == "Destroy") {
        tracker_.contextGone(path);
    }
}

void IBusMessageHandler::panelCall(sd_bus_message* m, const std::string& member) {
    if (member == "FocusIn" || member == "FocusOut") {
        const char* path = nullptr;
        if (sd_bus_message_read(m, "o", &path) < 0) return;
        if (member == "FocusIn") {
            panelFocus_ = path;
            tracker_.focusIn(path, {});
        } else {
            if (panelFocus_ == path) panelFocus_.clear();
            tracker_.focusOut(path);
        }
        return;
    }
    if (panelFocus_.empty()) return;
    if (member == "UpdatePreeditText") {
        if (const auto update = readPreeditUpdate(m)) {
            tracker_.preeditChanged(panelFocus_, {}, update->first, update->second,
                                    PreeditSource::Panel);
        } else {
            tracker_.preeditUnknown(panelFocus_);
        }
    } else if (member == "ShowPreeditText" || member == "HidePreeditText") {
        tracker_.preeditShown(panelFocus_, {}, member == "ShowPreeditText");
    }
}

// The answer to Properties.Get("PostProcessKeyEvent"): a variant holding
// a(yv), the effects of the client's last key in order. 'm' entries carry the
// preedit as (vubu), like UpdatePreeditTextWithMode; other kinds are skipped.
void IBusMessageHandler::postProcessReply(sd_bus_message* m, const std::string& path) {
    bool ok = sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, "a(yv)") > 0 &&
              sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "(yv)") > 0;
    while (ok) {
        const int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_STRUCT, "yv");
        if (r <= 0) {
            ok = r == 0;
            break;
        }
        std::uint8_t kind = 0;
        if (sd_bus_message_read(m, "y", &kind) < 0) {
            ok = false;
            break;
        }
        if (kind == 'm') {
            std::optional<std::pair<bool, bool>> update;
            if (sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, "(vubu)") > 0 &&
                sd_bus_message_enter_container(m, SD_BUS_TYPE_STRUCT, "vubu") > 0) {
                update = readPreeditUpdate(m);
                std::uint32_t mode = 0;
                if (!update || sd_bus_message_read(m, "u", &mode) < 0 ||
                    sd_bus_message_exit_container(m) < 0 || sd_bus_message_exit_container(m) < 0) {
                    update.reset();
                }
            }
            if (!update) {
                ok = false;
                break;
            }
            tracker_.preeditChanged(path, {}, update->first, update->second);
        } else if (sd_bus_message_skip(m, "v") < 0) {
            ok = false;
            break;
        }
        if (sd_bus_message_exit_container(m) < 0) {
            ok = false;
            break;
        }
    }
    if (!ok) tracker_.preeditUnknown(path);
}

}  // namespace sendhold::ime
