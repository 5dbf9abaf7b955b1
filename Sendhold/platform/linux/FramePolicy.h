#pragma once

#include <linux/input.h>

#include <set>
#include <span>

namespace sendhold {

// What forwarding one keyboard frame needs from the tap around it.
class FrameSink {
  public:
    virtual ~FrameSink() = default;
    // Hands a key event to the guard; true when it passes. The guard may post
    // events meanwhile; they wait until hasPosts()/drainPosts().
    virtual bool dispatchKey(const input_event& key) = 0;
    // Whether the twin holds `code` pressed.
    virtual bool holds(unsigned code) const = 0;
    // Writes `events` to the twin as one frame (nothing when empty).
    virtual void writeFrame(std::span<const input_event> events) = 0;
    virtual bool hasPosts() const = 0;
    virtual void drainPosts() = 0;
};

// Whether a key event is handed to the guard. Modifiers and pointer buttons
// only change flags or move the pointer; they go out as they are.
bool reachesGuard(const input_event& event);

// Forwards one frame read from a keyboard (SYN_REPORT included) to its twin:
// - SYN_REPORT is dropped (writeFrame ends each frame itself), and so are LED
//   and sound events, which are echoes of what the desktop set;
// - a scan code leaves together with the key event after it, or not at all;
// - a repeat of a key the twin does not hold goes out as a press;
// - a release the guard drops still goes out when the twin holds the key;
// - posts the guard made while deciding a key go out before that key when it
//   passes (the key decided a Return press that belongs before it), and after
//   the point where it was dropped otherwise.
void forwardFrame(std::span<const input_event> frame, FrameSink& sink);

// Posted modifier presses the user already holds are left out, press and
// release alike: the kernel ignores a second press, and the synthesized
// release would let go of the user's key for every application. The desktop
// merges the modifiers of all keyboards, so "held" means held on any twin.
class PostedModifiers {
  public:
    // Whether a posted event of modifier `code` is written.
    bool shouldWrite(unsigned code, bool keyDown, bool heldByUser);
    void clear() { skipped_.clear(); }

  private:
    std::set<unsigned> skipped_;
};

}  // namespace sendhold
