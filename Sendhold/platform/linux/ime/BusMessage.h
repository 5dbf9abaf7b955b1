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

inline constexpr const char* kBusName = "org.freedesktop.DBus";

// Who speaks for an input-method framework: the current owner of its
// well-known name, learnt from GetNameOwner and NameOwnerChanged. Any client
// can send input-context signals or calls to itself; only traffic from or to
// this owner describes real contexts. Unknown until learnt: nothing passes.
class FrameworkName {
  public:
    // `busSpeaksForIt`: ibus-daemon is its own bus and answers calls under the
    // bus's name (its signals carry its own name).
    FrameworkName(const char* name, bool busSpeaksForIt)
        : name_(name), busSpeaks_(busSpeaksForIt) {}
    void ownerIs(std::string owner) { owner_ = std::move(owner); }
    bool sentBy(const MessageHeader& h) const {
        return !owner_.empty() && (h.sender == owner_ || (busSpeaks_ && h.sender == kBusName));
    }
    bool addressedTo(const MessageHeader& h) const {
        return !owner_.empty() && (h.destination == owner_ || h.destination == name_);
    }

  private:
    const char* name_;
    bool busSpeaks_;
    std::string owner_;
};

// Reads NameOwnerChanged, when `h` is that signal from the bus itself.
struct NameOwnerChange {
    std::string name, oldOwner, newOwner;
};
std::optional<NameOwnerChange> readNameOwnerChange(sd_bus_message* m, const MessageHeader& h);

// Reads the "b" answer to a key: whether the framework handled it.
bool readHandled(sd_bus_message* m);

// Reads a variant holding an IBusText, "(sa{sv}sv)", and tells whether its
// text is non-empty. Nothing when the value is not an IBusText.
std::optional<bool> readIBusText(sd_bus_message* m);

// Reads an array of formatted text pieces "a(si)" (Fcitx5's preedit) and tells
// whether any piece holds text.
std::optional<bool> readFormattedText(sd_bus_message* m);

}  // namespace sendhold::ime
