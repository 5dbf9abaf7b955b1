#pragma once

#include <chrono>
#include <memory>

#include "KeyboardManager/Seams.h"

namespace sendhold::ime {

class ContextTracker;
class IBusWatcher;
class FcitxWatcher;

// The guard's composition probe on Linux: true exactly when the focused input
// context of IBus or Fcitx5 holds visible, non-empty preedit text, as last
// reported by the framework. The answer is kept current by the watchers on the
// main loop; asking reads what has already arrived (without waiting) and the
// kept state. Only when a key went to the input method just before and its
// outcome is still on its way does it wait, for at most kMaxWait.
class ImeCompositionProbe final : public CompositionProbe {
  public:
    static constexpr std::chrono::microseconds kMaxWait{8000};

    ImeCompositionProbe();
    ~ImeCompositionProbe() override;

    bool hasMarkedText() override;

    // The kept answer alone, without reading anything.
    bool composing() const;
    // Whether a key handed to an input method still waits for its outcome.
    bool keyOutstanding() const;
    // Reads and applies what has already arrived on both buses, at most
    // `limit` messages from each.
    void drain(int limit = 64);
    // For tests and benchmarks: whether each watcher is up, and the state
    // kept for each framework.
    bool ibusWatching() const;
    bool fcitxWatching() const;
    ContextTracker& ibusTracker();
    ContextTracker& fcitxTracker();

  private:
    void waitForKeys(std::chrono::steady_clock::time_point deadline);

    std::unique_ptr<IBusWatcher> ibus_;
    std::unique_ptr<FcitxWatcher> fcitx_;
    bool asking_ = false;
};

}  // namespace sendhold::ime
