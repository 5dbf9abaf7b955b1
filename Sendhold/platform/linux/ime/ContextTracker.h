#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace sendhold::ime {

using SteadyTime = std::chrono::steady_clock::time_point;

// The calls whose answers matter: a key handed to the framework, a key whose
// answer carries its effects (preedit included), and a client's follow-up call
// that collects the effects of its last key.
enum class CallKind : std::uint8_t { Key, KeyWithEffects, EffectsOfKey };

// Where a context's preedit is drawn: in the client, or in the framework's
// panel for clients that cannot draw it. A context composes when either holds
// text.
enum class PreeditSource : std::uint8_t { Client, Panel };

struct AnsweredCall {
    std::string path;
    CallKind kind;
    // The tracker's count of preedit reports when the call went out.
    std::uint64_t reportsBefore = 0;
};

// What one input-method framework has said about its input contexts, kept so
// that "does the focused context hold preedit text?" is a plain read.
// Everything unknown counts as "no composition": a context whose preedit was
// never reported, a focus that was never reported, a framework just (re)joined.
// Contexts are named by their object path, clients by their unique bus name.
// Nothing here ever holds the preedit text itself, only whether there is some.
class ContextTracker {
  public:
    // A key handed to the framework is "fresh" for this long: a Return within
    // it may wait for the key's outcome. Older unanswered keys are given up.
    static constexpr std::chrono::milliseconds kFreshKeyWindow{50};
    // Some engines (ibus-anthy) answer a key before they report its preedit:
    // after a handled key's answer, the report is waited for this long.
    static constexpr std::chrono::milliseconds kReportAfterAnswer{8};

    bool composing() const { return composing_; }

    // The preedit of `path` now has (or lacks) text; `visible` as reported,
    // or unchanged when the message does not say.
    void preeditChanged(const std::string& path, const std::string& owner, bool hasText,
                        std::optional<bool> visible = std::nullopt,
                        PreeditSource source = PreeditSource::Client);
    void preeditShown(const std::string& path, const std::string& owner, bool shown);
    // The context's preedit can no longer be told (e.g. a message that did not
    // parse): back to unknown.
    void preeditUnknown(const std::string& path);

    void focusIn(const std::string& path, const std::string& owner);
    // The context lost the focus. Engines commit or drop the preedit then,
    // often without reporting it (Fcitx5 with anthy sends only the commit),
    // so its preedit is cleared. Focus moving elsewhere without a FocusOut
    // keeps it.
    void focusOut(const std::string& path);
    // Focus as reported by a query at start; the preedit stays unknown.
    void seedFocus(const std::string& path);

    // A client handed a key to context `path` in call `serial`. Only the
    // focused context receives keys, so this also moves the focus there.
    void keySent(const std::string& path, const std::string& caller, std::uint32_t serial,
                 SteadyTime at, CallKind kind = CallKind::Key);
    // After a key, a client that collects the key's effects with a second call
    // (IBus's PostProcessKeyEvent) has one more answer to wait for.
    void followUpSent(const std::string& path, const std::string& caller, std::uint32_t serial,
                      SteadyTime at);
    // The answer (or error) to call `replySerial` of `destination` arrived.
    // Returns what the call was, when it was one we track.
    std::optional<AnsweredCall> replyArrived(const std::string& destination,
                                             std::uint32_t replySerial);
    // The framework answered that it handled `call` (a Key) at `at`: when no
    // preedit report came since the key went out, one may still follow.
    void keyHandled(const AnsweredCall& call, SteadyTime at);
    // Whether a fresh key still waits for its outcome at `now`.
    bool keyOutstanding(SteadyTime now) const;

    void contextGone(const std::string& path);
    void ownerGone(const std::string& owner);
    // The framework went away or restarted: forget everything.
    void clear();

    std::size_t contextCount() const { return contexts_.size(); }

  private:
    struct Context {
        std::string owner;
        bool known = false;
        bool hasText[2] = {false, false};
        bool visible = true;
        // Set once the client is seen collecting key effects with a follow-up
        // call; its keys then stay outstanding until that call is answered.
        bool collectsAfterKey = false;
        std::optional<SteadyTime> followUpDue;
        // A handled key's answer came before the preedit report; since when.
        std::optional<SteadyTime> reportDue;
        std::uint64_t lastReport = 0;
    };
    struct PendingCall {
        std::string path;
        SteadyTime at;
        CallKind kind;
        std::uint64_t reportsBefore;
    };
    Context& context(const std::string& path, const std::string& owner);
    void prune(SteadyTime now);
    void recompute();
    void reported(Context& c);

    std::map<std::string, Context> contexts_;
    std::optional<std::string> focused_;
    std::map<std::pair<std::string, std::uint32_t>, PendingCall> pending_;
    bool composing_ = false;
    std::uint64_t reports_ = 0;
};

}  // namespace sendhold::ime
