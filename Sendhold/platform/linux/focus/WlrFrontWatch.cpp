// The application in front on wlroots compositors (sway and others): their
// foreign-toplevel list tells every client each window's app_id and whether
// it is the activated one.
#include <poll.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <utility>

#include "FrontWatches.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

namespace sendhold {
namespace {

// The newest version of the protocol this file knows; version 3 only adds the
// parent event, ignored here.
constexpr std::uint32_t kManagerVersion = 3;
// Longest wait for the compositor's list of globals at start-up. A compositor
// that takes longer is treated as one without the protocol.
constexpr std::chrono::milliseconds kStartupWait{500};

class WlrFrontWatch final : public focus::FrontWatch {
  public:
    WlrFrontWatch(wl_display* display, focus::FrontSink sink)
        : display_(display), sink_(std::move(sink)) {}
    ~WlrFrontWatch() override;
    WlrFrontWatch(const WlrFrontWatch&) = delete;
    WlrFrontWatch& operator=(const WlrFrontWatch&) = delete;

    // Binds the toplevel manager; false when the compositor offers none in time.
    bool bindManager();
    void watchOn(MainLoop& loop);

  private:
    // One window as the compositor describes it. Its changes count from the
    // window's `done`: a change can arrive as several events. An app_id is at
    // most one Wayland message (4 KiB); the sink's cleaning drops long ones.
    struct Toplevel {
        WlrFrontWatch* watch;
        zwlr_foreign_toplevel_handle_v1* handle;
        std::string appId, pendingAppId;
        bool activated = false;
    };

    static const wl_registry_listener kRegistryListener;
    static const zwlr_foreign_toplevel_manager_v1_listener kManagerListener;
    static const zwlr_foreign_toplevel_handle_v1_listener kToplevelListener;

    void onReadable();
    void addToplevel(zwlr_foreign_toplevel_handle_v1* handle);
    void commit(Toplevel& toplevel);
    void close(Toplevel& toplevel);
    void reportFront();
    void stop();

    wl_display* display_;
    focus::FrontSink sink_;
    wl_registry* registry_ = nullptr;
    zwlr_foreign_toplevel_manager_v1* manager_ = nullptr;
    wl_callback* listed_ = nullptr;
    std::list<Toplevel> toplevels_;
    // The toplevel that last said it is activated, until it says otherwise.
    Toplevel* front_ = nullptr;
    // Set by a `done` or `closed`; the report waits until every event read
    // so far is handled, so that a switch is one report, never "" between.
    bool changed_ = false;
    bool reportedOnce_ = false;
    std::string reported_;
    std::unique_ptr<MainLoop::Watch> watch_;
};

const wl_registry_listener WlrFrontWatch::kRegistryListener = {
    .global =
        [](void* data, wl_registry* registry, std::uint32_t name, const char* interface,
           std::uint32_t version) {
            auto* self = static_cast<WlrFrontWatch*>(data);
            if (self->manager_ || std::strcmp(interface, "zwlr_foreign_toplevel_manager_v1") != 0)
                return;
            self->manager_ = static_cast<zwlr_foreign_toplevel_manager_v1*>(
                wl_registry_bind(registry, name, &zwlr_foreign_toplevel_manager_v1_interface,
                                 std::min(version, kManagerVersion)));
            zwlr_foreign_toplevel_manager_v1_add_listener(self->manager_, &kManagerListener, self);
        },
    .global_remove = [](void*, wl_registry*, std::uint32_t) {},
};

const zwlr_foreign_toplevel_manager_v1_listener WlrFrontWatch::kManagerListener = {
    .toplevel =
        [](void* data, zwlr_foreign_toplevel_manager_v1*, zwlr_foreign_toplevel_handle_v1* handle) {
            static_cast<WlrFrontWatch*>(data)->addToplevel(handle);
        },
    // The compositor no longer tells about windows: as good as gone.
    .finished =
        [](void* data, zwlr_foreign_toplevel_manager_v1* manager) {
            auto* self = static_cast<WlrFrontWatch*>(data);
            zwlr_foreign_toplevel_manager_v1_destroy(manager);
            self->manager_ = nullptr;
            self->stop();
        },
};

const zwlr_foreign_toplevel_handle_v1_listener WlrFrontWatch::kToplevelListener = {
    .title = [](void*, zwlr_foreign_toplevel_handle_v1*, const char*) {},
    .app_id =
        [](void* data, zwlr_foreign_toplevel_handle_v1*, const char* appId) {
            static_cast<Toplevel*>(data)->pendingAppId = appId ? appId : "";
        },
    .output_enter = [](void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {},
    .output_leave = [](void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {},
    .state =
        [](void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states) {
            const auto* values = static_cast<const std::uint32_t*>(states->data);
            const std::size_t count = states->size / sizeof(std::uint32_t);
            static_cast<Toplevel*>(data)->activated =
                std::find(values, values + count,
                          ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED) != values + count;
        },
    .done =
        [](void* data, zwlr_foreign_toplevel_handle_v1*) {
            auto* toplevel = static_cast<Toplevel*>(data);
            toplevel->watch->commit(*toplevel);
        },
    .closed =
        [](void* data, zwlr_foreign_toplevel_handle_v1*) {
            auto* toplevel = static_cast<Toplevel*>(data);
            toplevel->watch->close(*toplevel);
        },
    .parent = [](void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {},
};

WlrFrontWatch::~WlrFrontWatch() {
    watch_.reset();
    for (Toplevel& toplevel : toplevels_) zwlr_foreign_toplevel_handle_v1_destroy(toplevel.handle);
    if (manager_) {
        zwlr_foreign_toplevel_manager_v1_stop(manager_);
        zwlr_foreign_toplevel_manager_v1_destroy(manager_);
    }
    if (listed_) wl_callback_destroy(listed_);
    if (registry_) wl_registry_destroy(registry_);
    wl_display_flush(display_);
    wl_display_disconnect(display_);
}

// A round trip with a deadline: the compositor answers a sync request after
// it has sent every global. Nothing else runs on the connection yet.
bool WlrFrontWatch::bindManager() {
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &kRegistryListener, this);
    bool synced = false;
    wl_callback* sync = wl_display_sync(display_);
    static const wl_callback_listener kSyncListener = {
        .done = [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; },
    };
    wl_callback_add_listener(sync, &kSyncListener, &synced);
    const auto deadline = std::chrono::steady_clock::now() + kStartupWait;
    while (!synced) {
        if (wl_display_dispatch_pending(display_) < 0) break;
        if (synced) break;
        if (wl_display_flush(display_) < 0 && errno != EAGAIN) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (wl_display_prepare_read(display_) != 0) continue;
        pollfd readable = {wl_display_get_fd(display_), POLLIN, 0};
        const int ready = poll(&readable, 1, static_cast<int>(left.count()));
        if (ready <= 0) {
            wl_display_cancel_read(display_);
            if (ready < 0 && errno == EINTR) continue;
            break;
        }
        if (wl_display_read_events(display_) < 0) break;
    }
    wl_callback_destroy(sync);
    return synced && manager_ && wl_display_flush(display_) >= 0;
}

// The compositor lists the windows it has right after the bind; the answer to
// a sync request comes after that list, and brings the first report, also
// when there is no window at all.
void WlrFrontWatch::watchOn(MainLoop& loop) {
    static const wl_callback_listener kListedListener = {
        .done =
            [](void* data, wl_callback* callback, std::uint32_t) {
                auto* self = static_cast<WlrFrontWatch*>(data);
                self->changed_ = true;
                self->listed_ = nullptr;
                wl_callback_destroy(callback);
            },
    };
    listed_ = wl_display_sync(display_);
    wl_callback_add_listener(listed_, &kListedListener, this);
    wl_display_flush(display_);
    watch_ = loop.watchReadable(wl_display_get_fd(display_), [this] { onReadable(); });
}

// Reads what the compositor sent without ever waiting for more: the socket
// is readable, so read_events does not block.
void WlrFrontWatch::onReadable() {
    while (wl_display_prepare_read(display_) != 0) {
        if (wl_display_dispatch_pending(display_) < 0) return stop();
    }
    if (wl_display_read_events(display_) < 0 || wl_display_dispatch_pending(display_) < 0)
        return stop();
    // Requests (a closed window's destroy) go out now; a full socket keeps
    // them for the next round, anything else is a broken connection.
    if (wl_display_flush(display_) < 0 && errno != EAGAIN) return stop();
    if (watch_ && changed_) reportFront();
}

void WlrFrontWatch::addToplevel(zwlr_foreign_toplevel_handle_v1* handle) {
    Toplevel& toplevel = toplevels_.emplace_back(Toplevel{this, handle, {}, {}});
    zwlr_foreign_toplevel_handle_v1_add_listener(handle, &kToplevelListener, &toplevel);
}

void WlrFrontWatch::commit(Toplevel& toplevel) {
    toplevel.appId = toplevel.pendingAppId;
    if (toplevel.activated) {
        front_ = &toplevel;
    } else if (front_ == &toplevel) {
        front_ = nullptr;
    }
    changed_ = true;
}

void WlrFrontWatch::close(Toplevel& toplevel) {
    if (front_ == &toplevel) front_ = nullptr;
    changed_ = true;
    zwlr_foreign_toplevel_handle_v1_destroy(toplevel.handle);
    toplevels_.remove_if([&](const Toplevel& each) { return &each == &toplevel; });
}

void WlrFrontWatch::reportFront() {
    changed_ = false;
    std::string front = front_ ? front_->appId : std::string();
    if (reportedOnce_ && front == reported_) return;
    reportedOnce_ = true;
    reported_ = std::move(front);
    sink_(reported_);
}

// The compositor went away or broke the connection: one last "" and silence.
// Dropping the watch leaves no readable descriptor spinning the loop.
void WlrFrontWatch::stop() {
    if (!watch_) return;
    watch_.reset();
    front_ = nullptr;
    if (!reportedOnce_ || !reported_.empty()) {
        reportedOnce_ = true;
        reported_.clear();
        sink_(reported_);
    }
}

}  // namespace

std::unique_ptr<focus::FrontWatch> watchWlrFront(MainLoop& loop, focus::FrontSink sink) {
    // Without WAYLAND_DISPLAY libwayland would try "wayland-0": a session that
    // is not Wayland must not end up watching some other one.
    const char* name = std::getenv("WAYLAND_DISPLAY");
    if (!name || !*name) return nullptr;
    wl_display* display = wl_display_connect(nullptr);
    if (!display) return nullptr;
    auto watch = std::make_unique<WlrFrontWatch>(display, std::move(sink));
    if (!watch->bindManager()) return nullptr;
    watch->watchOn(loop);
    return watch;
}

}  // namespace sendhold
