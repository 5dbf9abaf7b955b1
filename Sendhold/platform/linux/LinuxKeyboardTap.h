#pragma once

#include <linux/input.h>

#include <deque>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "FramePolicy.h"
#include "GuardHooks.h"
#include "InputSystem.h"
#include "KeyboardManager/Seams.h"
#include "MainLoop.h"
#include "SourceDevice.h"
#include "UinputDevice.h"
#include "Watchdog.h"

namespace sendhold {

struct TapOptions {
    // How long taken keyboards may have unread input before the watchdog lets go.
    double watchdogSeconds = 1.0;
    // How long to wait for held keys before saying so on standard error.
    double grabWaitSeconds = 2.0;
};

// The keyboard hook on Linux. Every keyboard (a device with the letter keys and
// Return) is taken exclusively with EVIOCGRAB once none of its keys is held,
// and everything it sends goes out again through its uinput twin, except the
// key events the guard drops. Posted events go out on the twin of the keyboard
// whose Return opened the press. What a frame becomes is FramePolicy's; the
// input side lives in KeyboardTapInput.cpp. Runs on the given main loop, which
// must outlive it.
class LinuxKeyboardTap final : public EventTap, public EventPoster {
  public:
    LinuxKeyboardTap(std::shared_ptr<InputSystem> system, GuardHooks guard,
                     std::shared_ptr<MainLoop> loop, TapOptions options = {});
    ~LinuxKeyboardTap() override;
    LinuxKeyboardTap(const LinuxKeyboardTap&) = delete;
    LinuxKeyboardTap& operator=(const LinuxKeyboardTap&) = delete;

    // EventTap: create() checks uinput and the input nodes and starts the
    // hot-plug monitor; when something is missing it names it, and how to grant
    // it, in one line on standard error. enable() takes the keyboards.
    bool create() override;
    void enable() override;

    // EventPoster.
    std::optional<PostedKeyEvent> createKeyboardEvent(std::int64_t keyCode, bool keyDown) override;
    void post(const PostedKeyEvent& event) override;

    // Releases what the twins hold, lets every keyboard go and removes the twins.
    void shutdown();
    // Before the process stops (SIGTSTP): serves what the keyboards sent, releases
    // what the twins hold and lets every keyboard go, keeping the twins.
    void letGo();
    // After it continues: takes each keyboard again once none of its keys is held.
    void retake();

    // Modifier flags from the keys held on all taken keyboards.
    std::uint64_t currentFlags() const;

    // For tests and diagnostics.
    std::size_t takenKeyboardCount() const;

  private:
    enum class State { Waiting, Taken, Refused };
    struct Keyboard {
        std::unique_ptr<SourceDevice> source;
        std::unique_ptr<UinputDevice> output;
        // Declared after the devices, so that they stop watching before the
        // descriptors close.
        std::unique_ptr<MainLoop::Watch> sourceWatch;
        std::unique_ptr<MainLoop::Watch> outputWatch;
        // Pending while keys held keep the keyboard waiting and nothing was said yet.
        std::unique_ptr<MainLoop::Source> waitNotice;
        State state = State::Waiting;
        bool waitNoticed = false;
        bool capsLock = false;
        std::shared_ptr<Watchdog::Entry> watch;
    };
    class Sink;

    void addDevice(const std::string& devnode, bool hotPlugged);
    void removeKeyboard(const std::string& devnode);
    void serviceMonitor();
    void serviceKeyboard(const std::string& devnode);
    void serviceFeedback(const std::string& devnode);
    // False when the keyboard went away while being taken (it is removed then).
    bool tryTake(Keyboard& keyboard);
    bool discardPending(Keyboard& keyboard);
    // Whether the watchdog let go of this keyboard's grab.
    bool wasLetGo(const Keyboard& keyboard) const;
    void startWaiting(Keyboard& keyboard);
    void processFrame(Keyboard& keyboard, const std::vector<input_event>& frame);
    // Hands one key event to the guard; true when it passes.
    bool dispatchKey(Keyboard& keyboard, const input_event& event);
    void drainPosts();
    Keyboard* postTarget();
    bool anyTwinHolds(unsigned code) const;
    void handleWatchdogTrip();

    std::shared_ptr<InputSystem> system_;
    GuardHooks guard_;
    TapOptions options_;
    std::shared_ptr<MainLoop> loop_;
    // Watchdog trips queued on the loop check that the tap still exists.
    std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
    std::unique_ptr<MainLoop::Watch> monitorWatch_;
    std::unique_ptr<Watchdog> watchdog_;
    std::map<std::string, std::unique_ptr<Keyboard>> keyboards_;
    Keyboard* pressOwner_ = nullptr;
    std::deque<PostedKeyEvent> posts_;
    PostedModifiers postedModifiers_;
    bool dispatching_ = false;
    bool draining_ = false;
    bool created_ = false;
    bool enabled_ = false;
};

}  // namespace sendhold
