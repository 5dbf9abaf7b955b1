#include "ContextTracker.h"

namespace sendhold::ime {

namespace {
// Clients that vanish without their bus name being reported gone would
// otherwise pile up; past this many contexts the unfocused ones are forgotten
// (which only makes them "unknown", the safe answer).
constexpr std::size_t kMaxContexts = 1024;
}  // namespace

ContextTracker::Context& ContextTracker::context(const std::string& path,
                                                 const std::string& owner) {
    auto it = contexts_.find(path);
    if (it == contexts_.end()) {
        if (contexts_.size() >= kMaxContexts) {
            std::erase_if(contexts_, [&](const auto& entry) { return entry.first != focused_; });
        }
        it = contexts_.emplace(path, Context{}).first;
    }
    if (!owner.empty()) it->second.owner = owner;
    return it->second;
}

void ContextTracker::preeditChanged(const std::string& path, const std::string& owner, bool hasText,
                                    std::optional<bool> visible, PreeditSource source) {
    Context& c = context(path, owner);
    reported(c);
    c.known = true;
    c.hasText[static_cast<int>(source)] = hasText;
    if (visible) c.visible = *visible;
    recompute();
}

void ContextTracker::preeditShown(const std::string& path, const std::string& owner, bool shown) {
    Context& c = context(path, owner);
    reported(c);
    c.visible = shown;
    recompute();
}

void ContextTracker::preeditUnknown(const std::string& path) {
    if (auto it = contexts_.find(path); it != contexts_.end()) {
        reported(it->second);
        it->second.known = false;
    }
    recompute();
}

void ContextTracker::focusIn(const std::string& path, const std::string& owner) {
    context(path, owner);
    focused_ = path;
    recompute();
}

void ContextTracker::focusOut(const std::string& path) {
    if (focused_ == path) focused_.reset();
    if (auto it = contexts_.find(path); it != contexts_.end()) {
        it->second.hasText[0] = it->second.hasText[1] = false;
    }
    recompute();
}

void ContextTracker::seedFocus(const std::string& path) {
    if (!focused_) focused_ = path;
    recompute();
}

void ContextTracker::keySent(const std::string& path, const std::string& caller,
                             std::uint32_t serial, SteadyTime at, CallKind kind) {
    prune(at);
    Context& c = context(path, caller);
    focused_ = path;
    if (c.collectsAfterKey) c.followUpDue = at;
    pending_[{caller, serial}] = PendingCall{path, at, kind, reports_};
    recompute();
}

void ContextTracker::followUpSent(const std::string& path, const std::string& caller,
                                  std::uint32_t serial, SteadyTime at) {
    prune(at);
    Context& c = context(path, caller);
    c.collectsAfterKey = true;
    c.followUpDue.reset();
    c.reportDue.reset();
    pending_[{caller, serial}] = PendingCall{path, at, CallKind::EffectsOfKey, reports_};
}

std::optional<AnsweredCall> ContextTracker::replyArrived(const std::string& destination,
                                                         std::uint32_t replySerial) {
    auto it = pending_.find({destination, replySerial});
    if (it == pending_.end()) return std::nullopt;
    AnsweredCall answered{std::move(it->second.path), it->second.kind, it->second.reportsBefore};
    pending_.erase(it);
    return answered;
}

void ContextTracker::keyHandled(const AnsweredCall& call, SteadyTime at) {
    auto it = contexts_.find(call.path);
    if (call.kind != CallKind::Key || it == contexts_.end()) return;
    Context& c = it->second;
    // Clients that collect the key's effects get the preedit in that answer.
    if (!c.collectsAfterKey && c.lastReport <= call.reportsBefore) c.reportDue = at;
}

bool ContextTracker::keyOutstanding(SteadyTime now) const {
    const SteadyTime since = now - kFreshKeyWindow;
    for (const auto& [key, call] : pending_) {
        if (call.at >= since) return true;
    }
    for (const auto& [path, c] : contexts_) {
        if (c.followUpDue && *c.followUpDue >= since) return true;
        if (c.reportDue && *c.reportDue >= now - kReportAfterAnswer) return true;
    }
    return false;
}

void ContextTracker::contextGone(const std::string& path) {
    contexts_.erase(path);
    if (focused_ == path) focused_.reset();
    recompute();
}

void ContextTracker::ownerGone(const std::string& owner) {
    for (auto it = contexts_.begin(); it != contexts_.end();) {
        if (it->second.owner == owner) {
            if (focused_ == it->first) focused_.reset();
            it = contexts_.erase(it);
        } else {
            ++it;
        }
    }
    std::erase_if(pending_, [&](const auto& entry) { return entry.first.first == owner; });
    recompute();
}

void ContextTracker::clear() {
    contexts_.clear();
    pending_.clear();
    focused_.reset();
    composing_ = false;
}

void ContextTracker::prune(SteadyTime now) {
    const SteadyTime since = now - kFreshKeyWindow;
    std::erase_if(pending_, [&](const auto& entry) { return entry.second.at < since; });
}

void ContextTracker::reported(Context& c) {
    c.lastReport = ++reports_;
    c.reportDue.reset();
}

void ContextTracker::recompute() {
    composing_ = false;
    if (!focused_) return;
    auto it = contexts_.find(*focused_);
    if (it == contexts_.end()) return;
    const Context& c = it->second;
    composing_ = c.known && (c.hasText[0] || c.hasText[1]) && c.visible;
}

}  // namespace sendhold::ime
