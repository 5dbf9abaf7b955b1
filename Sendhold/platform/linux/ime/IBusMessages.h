#pragma once

#include <string>

#include "BusMessage.h"
#include "ContextTracker.h"

struct sd_bus_message;

namespace sendhold::ime {

inline constexpr const char* kIBusInputContext = "org.freedesktop.IBus.InputContext";
inline constexpr const char* kIBusPanel = "org.freedesktop.IBus.Panel";
inline constexpr const char* kIBusService = "org.freedesktop.IBus";

// Reads what passes on IBus's own bus (seen through match rules, never
// addressed to us) into a ContextTracker:
// - the context's signals to its client (preedit updates, show/hide),
// - the daemon's calls to the panel, which draws the preedit of clients that
//   cannot draw it themselves,
// - the clients' focus and key calls, and the answers to their keys,
// - IBus >= 1.5.29 clients that collect a key's effects through
//   Properties.Get("PostProcessKeyEvent") and the answers to those,
// - clients leaving the bus.
// Only the daemon's own traffic counts: signals and answers it sent, calls
// addressed to it. A message that does not parse makes its context's preedit
// unknown.
class IBusMessageHandler {
  public:
    explicit IBusMessageHandler(ContextTracker& tracker) : tracker_(tracker) {}
    void handle(sd_bus_message* m, SteadyTime now);
    // The answer to GetNameOwner(org.freedesktop.IBus).
    void daemonIs(std::string owner) { daemon_.ownerIs(std::move(owner)); }
    void reset() {
        panelFocus_.clear();
        daemon_.ownerIs({});
    }

  private:
    void contextSignal(sd_bus_message* m, const std::string& member, const std::string& path,
                       const std::string& owner);
    void contextCall(sd_bus_message* m, const std::string& member, const std::string& path,
                     const std::string& caller, std::uint32_t serial, SteadyTime now);
    void panelCall(sd_bus_message* m, const std::string& member);
    void postProcessReply(sd_bus_message* m, const std::string& path);

    ContextTracker& tracker_;
    FrameworkName daemon_{kIBusService, true};
    // The context the panel was last told has the focus: the panel's preedit
    // calls are about it.
    std::string panelFocus_;
};

}  // namespace sendhold::ime
