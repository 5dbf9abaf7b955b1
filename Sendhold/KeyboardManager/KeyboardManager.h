#pragma once

#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <memory>
#include <optional>

#include "KeyEvent.h"
#include "Seams.h"

namespace sendhold {

inline constexpr double defaultLongPressDuration = 0.4;

// Turns a stored "longPressDuration" into the long-press threshold in seconds:
// 0 (also what an absent key reads as) and non-finite values mean the default;
// any other value is used as it stands.
double longPressThreshold(double storedDuration);

// The Return-key guard. One instance per process (shared()); it decides for each
// key event whether it passes or is dropped, and posts the replacements.
class KeyboardManager {
  public:
    // The process-wide instance, made on first use and never destroyed.
    static KeyboardManager& shared();

    explicit KeyboardManager(KeyboardManagerSeams seams = {});
    ~KeyboardManager();
    KeyboardManager(const KeyboardManager&) = delete;
    KeyboardManager& operator=(const KeyboardManager&) = delete;

    // Replaces the seams that are set in `seams`; the others stay as they were.
    void bindSeams(const KeyboardManagerSeams& seams);

    // Starts the keyboard hook once; prints "監視スタート" or "権限エラー".
    void startMonitoring();

    // The hook's callback: hands the event to the shared instance.
    static KeyEvent* eventTapCallback(void* proxy, std::uint32_t type, KeyEvent* event,
                                      void* userInfo);

    // Returns `event` to let it pass, nullptr to drop it.
    KeyEvent* handleEvent(std::uint32_t type, KeyEvent* event);

    void resetEnterPress();
    void postShiftEnter();
    void postEnter();

    // The guard's on/off switch; in memory only.
    bool isEnabled = true;
    // The application in front is one the person switched the guard off for.
    // The guard works while isEnabled and not this; the switch alone is what
    // the tray icon shows.
    bool isOffInFrontApplication = false;
    std::shared_ptr<EventTap> eventTap;
    std::shared_ptr<EventTap> runLoopSource;
    std::shared_ptr<Timer> enterPressTimer;
    std::optional<double> enterPressStartTime;
    // The held press has been delivered (as Return or Shift+Return): its
    // repeats and its release add nothing.
    bool isLongPressHandled = false;
    const std::int64_t magicNumber = 55555;

  private:
    void keyDown();
    void keyUp();
    void deliverHeldPress();
    void longPressAction();
    double currentThreshold();
    struct SequenceStep {
        std::int64_t keyCode;
        bool keyDown;
        std::optional<std::uint64_t> flags;
    };
    void postSequence(std::initializer_list<SequenceStep> steps);
    bool pressIsOpen() const { return enterPressStartTime.has_value() || isLongPressHandled; }
    bool pressIsUndecided() const { return enterPressStartTime.has_value() && !isLongPressHandled; }

    KeyboardManagerSeams seams_;
};

}  // namespace sendhold
