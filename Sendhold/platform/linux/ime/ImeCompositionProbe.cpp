#include "ImeCompositionProbe.h"

#include <poll.h>

#include <cerrno>
#include <ctime>

#include "FcitxWatcher.h"
#include "IBusWatcher.h"

namespace sendhold::ime {

namespace {
// Bounds the reading done inside one question, whatever floods the buses.
constexpr int kDrainLimit = 64;

// Fills `fds` with the open connections' descriptors; returns how many.
nfds_t pollSet(std::initializer_list<BusConnection*> connections, pollfd (&fds)[2]) {
    nfds_t count = 0;
    for (BusConnection* c : connections) {
        if (c && c->isOpen() && c->fd() >= 0 && count < 2)
            fds[count++] = pollfd{c->fd(), POLLIN, 0};
    }
    return count;
}
}  // namespace

ImeCompositionProbe::ImeCompositionProbe()
    : ibus_(std::make_unique<IBusWatcher>()), fcitx_(std::make_unique<FcitxWatcher>()) {}

ImeCompositionProbe::~ImeCompositionProbe() = default;

bool ImeCompositionProbe::composing() const {
    return ibus_->tracker().composing() || fcitx_->tracker().composing();
}

bool ImeCompositionProbe::keyOutstanding() const {
    const auto now = std::chrono::steady_clock::now();
    return ibus_->tracker().keyOutstanding(now) || fcitx_->tracker().keyOutstanding(now);
}

bool ImeCompositionProbe::ibusWatching() const {
    return ibus_->isWatching();
}
bool ImeCompositionProbe::fcitxWatching() const {
    return fcitx_->isWatching();
}
ContextTracker& ImeCompositionProbe::ibusTracker() {
    return ibus_->tracker();
}
ContextTracker& ImeCompositionProbe::fcitxTracker() {
    return fcitx_->tracker();
}

void ImeCompositionProbe::drain(int limit) {
    // One zero-timeout poll is far cheaper than letting sd-bus try to read
    // each connection; most questions find nothing new. Messages sd-bus
    // already read but a drain left unprocessed no longer show on the fd.
    const auto connections = {ibus_->connection(), fcitx_->connection()};
    pollfd fds[2];
    const nfds_t count = pollSet(connections, fds);
    const timespec now{0, 0};
    if (count == 0) return;
    ppoll(fds, count, &now, nullptr);  // when it fails, revents stay 0
    for (nfds_t i = 0; i < count; ++i) {
        for (BusConnection* c : connections) {
            if (c && c->fd() == fds[i].fd && (fds[i].revents || c->holdsUnprocessed())) {
                c->drain(limit);
            }
        }
    }
}

bool ImeCompositionProbe::hasMarkedText() {
    // Never re-entered from a bus callback; if it were, the kept answer is all
    // there is.
    if (asking_) return composing();
    asking_ = true;
    drain();
    if (keyOutstanding()) waitForKeys(std::chrono::steady_clock::now() + kMaxWait);
    asking_ = false;
    return composing();
}

void ImeCompositionProbe::waitForKeys(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return;
        pollfd fds[2];
        const nfds_t count = pollSet({ibus_->connection(), fcitx_->connection()}, fds);
        if (count == 0) return;
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now);
        const timespec timeout{0, static_cast<long>(left.count())};
        if (ppoll(fds, count, &timeout, nullptr) < 0 && errno != EINTR) return;
        for (BusConnection* c : {ibus_->connection(), fcitx_->connection()}) {
            if (c) c->drain(kDrainLimit);
        }
        if (!keyOutstanding()) return;
    }
}

}  // namespace sendhold::ime
