#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <systemd/sd-event.h>
#include <xcb/xcb.h>

#include <functional>
#include <string>

#include "FrontWatches.h"
#include "X11WmClass.h"
#include "platform/linux/SdEventMainLoop.h"

using namespace std::literals;

namespace sendhold {
namespace {

TEST(WmClass, TakesTheClassElseTheInstanceAndNothingCutShort) {
    const struct {
        std::string_view value;
        bool complete;
        std::string id;
    } cases[] = {
        {"calc\0org.example.Calc\0"sv, true, "org.example.Calc"},
        {"calc\0\0"sv, true, "calc"},
        {"calc\0Calc"sv, true, "Calc"},
        {"calc"sv, true, "calc"},
        {"calc\0Cal"sv, false, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(x11::applicationIdFromWmClass(c.value, c.complete), c.id)
            << std::string(c.value) << " complete " << c.complete;
}

// A client in the window manager's place sets _NET_ACTIVE_WINDOW and the
// windows' WM_CLASS, well-formed or not; the watch reports each change.
TEST(X11FrontWatch, FollowsTheActiveWindowUntilTheServerGoes) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X server";
    xcb_connection_t* wm = xcb_connect(nullptr, nullptr);
    ASSERT_EQ(xcb_connection_has_error(wm), 0);
    ucred server{};
    socklen_t size = sizeof server;
    getsockopt(xcb_get_file_descriptor(wm), SOL_SOCKET, SO_PEERCRED, &server, &size);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(wm)).data->root;
    auto* atomReply =
        xcb_intern_atom_reply(wm, xcb_intern_atom(wm, 0, 18, "_NET_ACTIVE_WINDOW"), nullptr);
    const xcb_atom_t active = atomReply->atom;
    free(atomReply);
    auto set = [&](xcb_window_t window, xcb_atom_t property, xcb_atom_t type, uint8_t format,
                   std::string_view bytes) {
        xcb_change_property(wm, XCB_PROP_MODE_REPLACE, window, property, type, format,
                            bytes.size() / (format / 8), bytes.data());
        xcb_flush(wm);
    };
    auto setClass = [&](xcb_window_t id, std::string_view value, uint8_t format = 8) {
        set(id, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, format, value);
    };
    auto window = [&](std::string_view wmClass) {
        const xcb_window_t id = xcb_generate_id(wm);
        xcb_create_window(wm, 0, id, root, 0, 0, 8, 8, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                          XCB_COPY_FROM_PARENT, 0, nullptr);
        setClass(id, wmClass);
        return id;
    };
    auto activate = [&](xcb_window_t id) {
        set(root, active, XCB_ATOM_WINDOW, 32, {reinterpret_cast<const char*>(&id), 4});
    };
    const xcb_window_t calc = window("calc\0org.example.Calc\0"sv), chat = window("chat\0\0"sv);
    activate(calc);

    SdEventMainLoop loop;
    std::vector<std::string> reports;
    auto watch = watchX11Front(loop, [&](const std::string& id) { reports.push_back(id); });
    ASSERT_TRUE(watch);
    // Runs the loop until the next report, 5 s at most.
    auto next = [&](int rounds = 50) {
        const auto before = reports.size();
        while (reports.size() == before && rounds-- > 0) sd_event_run(loop.event(), 100000);
        return reports.size() > before ? reports[before] : "(nothing)"s;
    };
    const std::string longTail = "chat\0Huge\0"s + std::string(4000, 'x');
    const std::string longInstance = std::string(252, 'i') + "\0Chat\0"s;
    const std::pair<std::function<void()>, std::string> steps[] = {
        {[] {}, "org.example.Calc"},
        {[&] { activate(chat); }, "chat"},
        {[&] { setClass(chat, longTail); }, "Huge"},
        {[&] { setClass(chat, longInstance); }, ""},
        {[&] { setClass(chat, "chat\0Chat\0"sv, 32); }, ""},
        {[&] { activate(calc); }, "org.example.Calc"},
        {[&] { setClass(chat, "chat\0Chat\0"sv), setClass(calc, "calc\0Calc2\0"sv); }, "Calc2"},
        {[&] { xcb_delete_property(wm, root, active), xcb_flush(wm); }, ""},
        {[&] { activate(chat); }, "Chat"},
        {[&] { activate(root); }, ""},
        // Named after it was destroyed: no reply can still find it (destroyed just
        // after being named, a busy server might answer for it first).
        {[&] { xcb_destroy_window(wm, calc), activate(calc); }, ""},
        {[&] { activate(chat); }, "Chat"},
        {[&] { kill(server.pid, SIGTERM); }, ""},
    };
    for (const auto& [act, id] : steps) {
        const auto before = reports.size();
        act();
        EXPECT_EQ(next(), id) << "report " << before + 1;
    }
    // Gone for good: the dead connection wakes nothing, reports nothing more.
    EXPECT_EQ(next(5), "(nothing)");
    xcb_disconnect(wm);
}

}  // namespace
}  // namespace sendhold
