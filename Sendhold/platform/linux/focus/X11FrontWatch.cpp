#include <xcb/xcb.h>
#include <xcb/xcbext.h>  // xcb_poll_for_reply

#include <cstdlib>
#include <cstring>
#include <deque>

#include "FrontWatches.h"
#include "X11WmClass.h"

namespace sendhold {

namespace x11 {

std::string applicationIdFromWmClass(std::string_view value, bool complete) {
    constexpr auto npos = std::string_view::npos;
    const auto instanceEnd = value.find('\0');
    if (instanceEnd == npos) return complete ? std::string(value) : std::string();
    const auto rest = value.substr(instanceEnd + 1);
    const auto classEnd = rest.find('\0');
    if (classEnd == npos && !complete) return "";
    const auto applicationClass = rest.substr(0, classEnd);
    return std::string(applicationClass.empty() ? value.substr(0, instanceEnd) : applicationClass);
}

}  // namespace x11

namespace {

// Longest property value read, in 32-bit units (256 bytes): enough for any
// real WM_CLASS, and a hostile client's huge value costs nothing.
constexpr uint32_t kMaxPropertyUnits = 64;

// Follows _NET_ACTIVE_WINDOW on the root window, as the window manager keeps
// it, and the WM_CLASS of the window it names. Every request is asynchronous:
// replies are picked up when the connection turns readable, so the loop never
// waits on the X server.
class X11FrontWatch final : public focus::FrontWatch {
  public:
    X11FrontWatch(MainLoop& loop, xcb_connection_t* connection, xcb_window_t root,
                  focus::FrontSink sink)
        : connection_(connection), root_(root), sink_(std::move(sink)) {
        const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(connection_, root_, XCB_CW_EVENT_MASK, &mask);
        static constexpr char kName[] = "_NET_ACTIVE_WINDOW";
        expect(Reply::ActiveAtom,
               xcb_intern_atom(connection_, 0, sizeof kName - 1, kName).sequence);
        watch_ = loop.watchReadable(xcb_get_file_descriptor(connection_), [this] { drain(); });
        xcb_flush(connection_);
    }

    ~X11FrontWatch() override {
        watch_.reset();  // before the descriptor closes
        xcb_disconnect(connection_);
    }

  private:
    enum class Reply { ActiveAtom, ActiveWindow, WmClass };
    struct Pending {
        Reply kind;
        unsigned int sequence;
        xcb_window_t window;
    };

    void expect(Reply kind, unsigned int sequence, xcb_window_t window = XCB_NONE) {
        pending_.push_back({kind, sequence, window});
    }

    // Handles everything that has come in. Replies come in request order, so
    // only the oldest pending one can be ready. Reading for a reply may queue
    // events, and handling may send requests: this stops only after a round
    // that found nothing at all.
    void drain() {
        if (auto* event = xcb_poll_for_event(connection_)) handle(event);
        for (bool progress = true; progress && !xcb_connection_has_error(connection_);) {
            xcb_flush(connection_);
            progress = takeReply();
            while (auto* event = xcb_poll_for_queued_event(connection_)) {
                handle(event);
                progress = true;
            }
        }
        if (xcb_connection_has_error(connection_)) lost();
    }

    void handle(xcb_generic_event_t* event) {
        // Errors (response type 0) come only from requests on windows that may
        // be gone by now, and need nothing.
        if ((event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY) {
            const auto* change = reinterpret_cast<xcb_property_notify_event_t*>(event);
            if (change->window == root_ && activeAtom_ != XCB_NONE && change->atom == activeAtom_)
                askActiveWindow();
            else if (change->window == active_ && change->atom == XCB_ATOM_WM_CLASS)
                askClass(active_);
        }
        std::free(event);
    }

    bool takeReply() {
        if (pending_.empty()) return false;
        void* reply = nullptr;
        xcb_generic_error_t* error = nullptr;
        if (!xcb_poll_for_reply(connection_, pending_.front().sequence, &reply, &error))
            return false;
        const Pending taken = pending_.front();
        pending_.pop_front();
        std::free(error);
        if (taken.kind == Reply::ActiveAtom) {
            if (reply) activeAtom_ = static_cast<xcb_intern_atom_reply_t*>(reply)->atom;
            if (activeAtom_ != XCB_NONE) askActiveWindow();
        } else if (taken.kind == Reply::ActiveWindow) {
            follow(activeWindowIn(static_cast<xcb_get_property_reply_t*>(reply)));
        } else if (taken.window == active_) {
            sink_(classIn(static_cast<xcb_get_property_reply_t*>(reply)));
        }
        std::free(reply);
        return true;
    }

    void askActiveWindow() {
        expect(
            Reply::ActiveWindow,
            xcb_get_property(connection_, 0, root_, activeAtom_, XCB_ATOM_WINDOW, 0, 1).sequence);
    }

    void askClass(xcb_window_t window) {
        expect(Reply::WmClass,
               xcb_get_property(connection_, 0, window, XCB_ATOM_WM_CLASS,
                                XCB_GET_PROPERTY_TYPE_ANY, 0, kMaxPropertyUnits)
                   .sequence,
               window);
    }

    // Moves the WM_CLASS watch to the new active window and asks for its class.
    void follow(xcb_window_t window) {
        if (window == active_ && window != XCB_NONE) return;
        if (active_ != XCB_NONE) selectProperties(active_, false);
        active_ = window;
        if (window == XCB_NONE) {
            sink_("");
            return;
        }
        selectProperties(window, true);
        askClass(window);
    }

    // Never the root window: its selection is the watch itself.
    void selectProperties(xcb_window_t window, bool on) {
        if (window == root_) return;
        const uint32_t mask = on ? XCB_EVENT_MASK_PROPERTY_CHANGE : XCB_EVENT_MASK_NO_EVENT;
        xcb_change_window_attributes(connection_, window, XCB_CW_EVENT_MASK, &mask);
    }

    static xcb_window_t activeWindowIn(xcb_get_property_reply_t* reply) {
        if (!reply || reply->type != XCB_ATOM_WINDOW || reply->format != 32 ||
            xcb_get_property_value_length(reply) < 4)
            return XCB_NONE;
        xcb_window_t window;
        std::memcpy(&window, xcb_get_property_value(reply), sizeof window);
        return window;
    }

    static std::string classIn(xcb_get_property_reply_t* reply) {
        if (!reply || reply->format != 8) return "";
        const std::string_view value(static_cast<const char*>(xcb_get_property_value(reply)),
                                     xcb_get_property_value_length(reply));
        return x11::applicationIdFromWmClass(value, reply->bytes_after == 0);
    }

    // The X server is gone: nothing is known in front any more, and the dead
    // descriptor must not wake the loop again.
    void lost() {
        watch_.reset();
        sink_("");
    }

    xcb_connection_t* connection_;
    xcb_window_t root_;
    focus::FrontSink sink_;
    std::unique_ptr<MainLoop::Watch> watch_;
    std::deque<Pending> pending_;
    xcb_atom_t activeAtom_ = XCB_NONE;
    xcb_window_t active_ = XCB_NONE;
};

}  // namespace

std::unique_ptr<focus::FrontWatch> watchX11Front(MainLoop& loop, focus::FrontSink sink) {
    if (!std::getenv("DISPLAY")) return nullptr;
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return nullptr;
    }
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
    if (screens.rem == 0) {
        xcb_disconnect(connection);
        return nullptr;
    }
    return std::make_unique<X11FrontWatch>(loop, connection, screens.data->root, std::move(sink));
}

}  // namespace sendhold
