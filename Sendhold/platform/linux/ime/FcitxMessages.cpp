#include "FcitxMessages.h"

#include <systemd/sd-bus.h>

#include <string_view>

#include "BusMessage.h"

namespace sendhold::ime {

namespace {
// Entry kinds in a ProcessKeyEventBatch answer, a(uv).
constexpr std::uint32_t kBatchPreedit = 1;

// UpdateFormattedPreedit's (a(si)i) arguments, inside or outside a struct.
std::optional<bool> readFormattedPreedit(sd_bus_message* m) {
    const auto hasText = readFormattedText(m);
    std::int32_t cursor = 0;
    if (!hasText || sd_bus_message_read(m, "i", &cursor) < 0) return std::nullopt;
    return hasText;
}
}  // namespace

void FcitxMessageHandler::handle(sd_bus_message* m, SteadyTime now) {
    sd_bus_message_rewind(m, 1);
    const MessageHeader h = readHeader(m);
    if (const auto change = readNameOwnerChange(m, h)) {
        if (change->name == kFcitxService) {
            // Started, stopped or replaced: no context survives that.
            fcitx_.ownerIs(change->newOwner);
            tracker_.clear();
        } else if (change->name[0] == ':' && change->newOwner.empty()) {
            tracker_.ownerGone(change->name);
        }
        return;
    }
    switch (h.type) {
        case SD_BUS_MESSAGE_SIGNAL:
            if (h.interface != kFcitxInputContext || !fcitx_.sentBy(h)) break;
            if (h.member == "UpdateFormattedPreedit") {
                if (const auto hasText = readFormattedPreedit(m)) {
                    tracker_.preeditChanged(h.path, h.destination, *hasText);
                } else {
                    tracker_.preeditUnknown(h.path);
                }
            } else if (h.member == "UpdateClientSideUI") {
                // Sent to clients that draw Fcitx5's panel themselves; it
                // leads with the panel's preedit, where the composition of
                // a client without preedit support is shown.
                if (const auto hasText = readFormattedPreedit(m)) {
                    tracker_.preeditChanged(h.path, h.destination, *hasText, std::nullopt,
                                            PreeditSource::Panel);
                } else {
                    tracker_.preeditUnknown(h.path);
                }
            } else if (h.member == "NotifyFocusOut") {
                tracker_.focusOut(h.path);
            }
            break;
        case SD_BUS_MESSAGE_METHOD_CALL:
            if (h.interface != kFcitxInputContext || !fcitx_.addressedTo(h)) break;
            if (h.member == "ProcessKeyEvent") {
                tracker_.keySent(h.path, h.sender, h.serial, now);
            } else if (h.member == "ProcessKeyEventBatch") {
                tracker_.keySent(h.path, h.sender, h.serial, now, CallKind::KeyWithEffects);
            } else if (h.member == "FocusIn") {
                tracker_.focusIn(h.path, h.sender);
            } else if (h.member == "FocusOut") {
                tracker_.focusOut(h.path);
            } else if (h.member == "DestroyIC") {
                tracker_.contextGone(h.path);
            }
            break;
        case SD_BUS_MESSAGE_METHOD_RETURN:
        case SD_BUS_MESSAGE_METHOD_ERROR:
            if (!fcitx_.sentBy(h)) break;
            if (auto call = tracker_.replyArrived(h.destination, h.replySerial)) {
                if (h.type != SD_BUS_MESSAGE_METHOD_RETURN) break;
                if (call->kind == CallKind::KeyWithEffects) {
                    batchReply(m, call->path);
                } else if (readHandled(m)) {
                    tracker_.keyHandled(*call, now);
                }
            }
            break;
        default:
            break;
    }
}

// a(uv)b: the key's effects in order, then whether it was handled. Preedit
// entries hold (a(si)i); the others (commits, forwarded keys, ...) are skipped.
void FcitxMessageHandler::batchReply(sd_bus_message* m, const std::string& path) {
    bool ok = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "(uv)") > 0;
    while (ok) {
        const int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_STRUCT, "uv");
        if (r <= 0) {
            ok = r == 0;
            break;
        }
        std::uint32_t kind = 0;
        ok = sd_bus_message_read(m, "u", &kind) >= 0;
        if (ok && kind == kBatchPreedit) {
            std::optional<bool> hasText;
            if (sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, "(a(si)i)") > 0 &&
                sd_bus_message_enter_container(m, SD_BUS_TYPE_STRUCT, "a(si)i") > 0) {
                hasText = readFormattedPreedit(m);
                if (sd_bus_message_exit_container(m) < 0 || sd_bus_message_exit_container(m) < 0) {
                    hasText.reset();
                }
            }
            ok = hasText.has_value();
            if (ok) tracker_.preeditChanged(path, {}, *hasText);
        } else if (ok) {
            ok = sd_bus_message_skip(m, "v") >= 0;
        }
        ok = ok && sd_bus_message_exit_container(m) >= 0;
    }
    if (!ok) tracker_.preeditUnknown(path);
}

}  // namespace sendhold::ime
