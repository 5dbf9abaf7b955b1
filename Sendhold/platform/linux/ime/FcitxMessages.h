#pragma once

#include "BusMessage.h"
#include "ContextTracker.h"

struct sd_bus_message;

namespace sendhold::ime {

inline constexpr const char* kFcitxService = "org.fcitx.Fcitx5";
inline constexpr const char* kFcitxInputContext = "org.fcitx.Fcitx.InputContext1";

// Reads what a bus monitor sees of Fcitx5's D-Bus frontend into a
// ContextTracker: the contexts' signals to their clients (formatted preedit,
// the panel's preedit for clients that draw the panel, focus lost), the clients' focus and key
// calls, and the answers to keys; ProcessKeyEventBatch answers carry the key's preedit instead of a
// signal. Only Fcitx5's own traffic counts: signals and answers from the
// unique name that owns org.fcitx.Fcitx5, calls addressed to it. Fcitx5
// leaving the bus forgets everything. A message that does not parse makes its
// context's preedit unknown.
class FcitxMessageHandler {
  public:
    explicit FcitxMessageHandler(ContextTracker& tracker) : tracker_(tracker) {}
    void handle(sd_bus_message* m, SteadyTime now);
    // The answer to GetNameOwner(org.fcitx.Fcitx5); empty when nobody owns it.
    void fcitxIs(std::string owner) { fcitx_.ownerIs(std::move(owner)); }

  private:
    void batchReply(sd_bus_message* m, const std::string& path);
    ContextTracker& tracker_;
    FrameworkName fcitx_{kFcitxService, false};
};

}  // namespace sendhold::ime
