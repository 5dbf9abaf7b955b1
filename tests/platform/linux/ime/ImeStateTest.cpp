// The watchers' message handling and kept state, driven by scripts of bus
// messages built in memory the way the daemons, their clients and an impostor
// client send them. One script table runs against IBus and Fcitx5.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "FcitxMessages.h"
#include "IBusAddress.h"
#include "IBusMessages.h"

namespace sendhold::ime {
namespace {

using namespace std::chrono_literals;
struct Unref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Message = std::unique_ptr<sd_bus_message, Unref>;
const char* const kImpostor = ":1.66";
const char* const kText = "(sa{sv}sv)";
const char* const kAttrs = "(sa{sv}av)";

void ibusText(sd_bus_message* m, const char* text) {
    sd_bus_message_append(m, "v", kText, "IBusText", 0, text, kAttrs, "IBusAttrList", 0, 0);
}

struct IBusWire {
    using Handler = IBusMessageHandler;
    static constexpr const char* kService = kIBusService;
    static constexpr const char* kIface = kIBusInputContext;
    // ibus-daemon signals under its own name and answers under the bus's.
    static constexpr const char* kSignalSender = kIBusService;
    static constexpr const char* kReplySender = kBusName;
    static constexpr const char* kPath = "/org/freedesktop/IBus/InputContext_";
    static constexpr const char* kPreedit = "UpdatePreeditText";
    static void start(Handler& h) { h.daemonIs(kIBusService); }
    static void preedit(sd_bus_message* m, const char* text, bool visible = true) {
        ibusText(m, text);
        sd_bus_message_append(m, "ub", 0u, visible);
    }
    static void key(sd_bus_message* m) { sd_bus_message_append(m, "uuu", 0x72u, 19u, 0u); }
};

struct FcitxWire {
    using Handler = FcitxMessageHandler;
    static constexpr const char* kService = kFcitxService;
    static constexpr const char* kIface = kFcitxInputContext;
    static constexpr const char* kSignalSender = ":1.2";
    static constexpr const char* kReplySender = ":1.2";
    static constexpr const char* kPath = "/org/freedesktop/portal/inputcontext/";
    static constexpr const char* kPreedit = "UpdateFormattedPreedit";
    static void start(Handler& h) { h.fcitxIs(":1.2"); }
    static void preedit(sd_bus_message* m, const char* text) {
        sd_bus_message_append(m, "a(si)i", 2, "", 0, text, 8, 0);
    }
    static void key(sd_bus_message* m) { sd_bus_message_append(m, "uuubu", 0x72u, 0u, 0u, 0, 0u); }
};

// Runs scripts of space-separated steps "op:context:text"; a leading '!' has
// the impostor send it (signals and answers from it, calls addressed to it).
//   in out key          the context's client calls FocusIn, FocusOut, a key
//   pre bad             the framework reports a preedit (text may be empty),
//                       an unreadable one
//   ok no               the framework answers the last key: handled or not
//   gone stop           the context's client, the framework leaves the bus
//   =1 =0 ~1 ~0 late~0  expect composing, a key outstanding (at the answer's
//                       time or past the wait for a report)
template <typename Wire>
class Script {
  public:
    Script() {
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_);
        sd_bus_new(&bus);
        sd_bus_set_fd(bus, fds_[0], fds_[0]);
        sd_bus_start(bus);
        Wire::start(handler);
    }
    ~Script() {
        sd_bus_close_unref(bus);
        close(fds_[1]);
    }
    static std::string client(char c) { return std::string(":1.1") + c; }
    Message signal(char c, const char* member, bool impostor, const char* iface = Wire::kIface) {
        sd_bus_message* m = nullptr;
        sd_bus_message_new_signal(bus, &m, (Wire::kPath + std::string(1, c)).c_str(), iface,
                                  member);
        sd_bus_message_set_destination(m, client(c).c_str());
        sd_bus_message_set_sender(m, impostor ? kImpostor : Wire::kSignalSender);
        return Message(m);
    }
    Message call(char c, const char* member, bool impostor, const char* iface = Wire::kIface) {
        sd_bus_message* m = nullptr;
        sd_bus_message_new_method_call(bus, &m, impostor ? kImpostor : Wire::kService,
                                       (Wire::kPath + std::string(1, c)).c_str(), iface, member);
        sd_bus_message_set_sender(m, impostor ? kImpostor : client(c).c_str());
        return Message(m);
    }
    // The answer to the last key (or other call kept in `key_`).
    Message reply(bool impostor) {
        sd_bus_message* m = nullptr;
        sd_bus_message_new_method_return(key_.get(), &m);
        sd_bus_message_set_sender(m, impostor ? kImpostor : Wire::kReplySender);
        return Message(m);
    }
    void nameLost(const std::string& name, bool impostor) {
        sd_bus_message* m = nullptr;
        sd_bus_message_new_signal(bus, &m, "/org/freedesktop/DBus", kBusName, "NameOwnerChanged");
        sd_bus_message_set_sender(m, impostor ? kImpostor : kBusName);
        sd_bus_message_append(m, "sss", name.c_str(), ":1.2", "");
        send(Message(m));
    }
    // Sends `m`; a call is kept for the answers.
    void send(Message m) {
        sd_bus_message_seal(m.get(), ++cookie_, 0);
        handler.handle(m.get(), SteadyTime{});
        if (sd_bus_message_is_method_call(m.get(), nullptr, nullptr)) key_ = std::move(m);
    }
    template <typename Extra>
    void run(const std::string& script, Extra extra) {
        std::istringstream steps(script);
        for (std::string step; steps >> step;) {
            SCOPED_TRACE(script + "  at " + step);
            const bool impostor = step[0] == '!';
            std::istringstream parts(step.substr(impostor));
            std::string op, ctx, text;
            std::getline(parts, op, ':');
            std::getline(parts, ctx, ':');
            std::getline(parts, text);
            const char c = ctx.empty() ? 'a' : ctx[0];
            if (op == "in" || op == "out") {
                send(call(c, op == "in" ? "FocusIn" : "FocusOut", impostor));
            } else if (op == "key") {
                auto m = call(c, "ProcessKeyEvent", impostor);
                Wire::key(m.get());
                send(std::move(m));
            } else if (op == "pre" || op == "bad") {
                auto m = signal(c, Wire::kPreedit, impostor);
                op == "pre" ? Wire::preedit(m.get(), text.c_str())
                            : (void)sd_bus_message_append(m.get(), "s", "?");
                send(std::move(m));
            } else if (op == "ok" || op == "no") {
                auto m = reply(impostor);
                sd_bus_message_append(m.get(), "b", op == "ok");
                send(std::move(m));
            } else if (op == "gone" || op == "stop") {
                nameLost(op == "gone" ? client(c) : Wire::kService, impostor);
            } else if (op[0] == '=' || op[0] == '~' || op == "late~0") {
                const bool want = op.back() == '1';
                const auto at = op[0] == 'l' ? SteadyTime{} + 9ms : SteadyTime{};
                EXPECT_EQ(op[0] == '=' ? tracker.composing() : tracker.keyOutstanding(at), want);
            } else {
                extra(*this, op, c, text, impostor);
            }
        }
    }
    void run(const std::string& script) {
        run(script, [](auto&...) { FAIL() << "unknown step"; });
    }

    ContextTracker tracker;
    typename Wire::Handler handler{tracker};
    Message key_;
    sd_bus* bus = nullptr;

  private:
    int fds_[2] = {-1, -1};
    std::uint64_t cookie_ = 100;
};

const char* const kCompositionCases[] = {
    "in:a =0 pre:a:x =1 pre:a: =0 pre:a:x =1 bad:a =0",
    // Losing the focus ends the context's composition (engines commit it
    // silently); the focus moving elsewhere without FocusOut does not.
    "in:a pre:a:x out:a =0 in:a =0",
    "pre:a:x =0 in:a =1 in:b =0 in:a =1 out:b =1 gone:b =1 gone:a =0",
    // Nobody but the framework speaks for it.
    "!in:a !pre:a:x =0 in:a !pre:a:x =0 pre:a:x =1 !out:a !gone:a =1",
    "in:a pre:a:x stop =0 in:a pre:a:x =0",
    // A handled key whose answer comes before its report waits for the report.
    "in:a key:a ~1 ok ~1 late~0 key:a ok pre:a:x ~0 =1 key:a pre:a: ok ~0 key:a no ~0",
    "in:a key:a !ok ~1 ok ~1 !pre:a:x ~1 =0",
};

TEST(ImeState, CompositionCasesOverIBus) {
    for (const char* script : kCompositionCases) Script<IBusWire>().run(script);
}
TEST(ImeState, CompositionCasesOverFcitx) {
    for (const char* script : kCompositionCases) Script<FcitxWire>().run(script);
}

TEST(ImeState, IBusVisibilityPanelAndCollectedKeyEffects) {
    // hide show inv  the context's preedit hidden, shown, updated invisible
    // pin pout ppre  the daemon calls the panel: focus, preedit for it
    // get fx fxbad   the client collects a key's effects; their answer
    auto extra = [](Script<IBusWire>& s, const std::string& op, char c, const std::string& text,
                    bool impostor) {
        if (op == "hide" || op == "show") {
            s.send(s.signal(c, op == "hide" ? "HidePreeditText" : "ShowPreeditText", impostor));
        } else if (op == "inv") {
            auto m = s.signal(c, "UpdatePreeditTextWithMode", impostor);
            IBusWire::preedit(m.get(), text.c_str(), false);
            sd_bus_message_append(m.get(), "u", 0u);
            s.send(std::move(m));
        } else if (op[0] == 'p' && op != "pre") {
            sd_bus_message* m = nullptr;
            sd_bus_message_new_method_call(s.bus, &m, "org.freedesktop.IBus.Panel",
                                           "/org/freedesktop/IBus/Panel", kIBusPanel,
                                           op == "ppre"  ? "UpdatePreeditText"
                                           : op == "pin" ? "FocusIn"
                                                         : "FocusOut");
            sd_bus_message_set_sender(m, impostor ? kImpostor : kBusName);
            if (op == "ppre") IBusWire::preedit(m, text.c_str());
            if (op != "ppre")
                sd_bus_message_append(m, "o", (IBusWire::kPath + std::string(1, c)).c_str());
            s.send(Message(m));
        } else if (op == "get") {
            auto m = s.call(c, "Get", impostor, "org.freedesktop.DBus.Properties");
            sd_bus_message_append(m.get(), "ss", kIBusInputContext, "PostProcessKeyEvent");
            s.send(std::move(m));
        } else {
            auto m = s.reply(impostor);
            if (op == "fx") {
                sd_bus_message_append(m.get(), "v", "a(yv)", 2, 'c', kText, "IBusText", 0, "k",
                                      kAttrs, "IBusAttrList", 0, 0, 'm', "(vubu)", kText,
                                      "IBusText", 0, text.c_str(), kAttrs, "IBusAttrList", 0, 0, 0u,
                                      1, 0u);
            } else {
                sd_bus_message_append(m.get(), "v", "a(yv)", 1, 'm', "s", "?");
            }
            s.send(std::move(m));
        }
    };
    for (const char* script : {
             "in:a pre:a:x hide:a =0 show:a =1 inv:a:x =0 !show:a =0",
             "pin:a ppre::x =1 pre:a: =1 ppre:: =0 ppre::x pout:a =0 pin:a =0 !ppre::x =0",
             "in:a key:a ok get:a ~1 fx::x ~0 =1 key:a ok get:a fx:: =0 get:a fx::x get:a fxbad =0",
         }) {
        Script<IBusWire>().run(script, extra);
    }
}

TEST(ImeState, FcitxBatchedKeysPanelPreeditAndNotifiedFocusOut) {
    // batch bx bxbad  a batched key; its answer with a preedit, unreadable
    // ui nout         client-side panel preedit; Fcitx5 tells of a lost focus
    auto extra = [](Script<FcitxWire>& s, const std::string& op, char c, const std::string& text,
                    bool impostor) {
        if (op == "batch") {
            auto m = s.call(c, "ProcessKeyEventBatch", impostor);
            FcitxWire::key(m.get());
            s.send(std::move(m));
        } else if (op == "bx" || op == "bxbad") {
            auto m = s.reply(impostor);
            op == "bx" ? (void)sd_bus_message_append(m.get(), "a(uv)b", 2, 0u, "s", "k", 1u,
                                                     "(a(si)i)", 1, text.c_str(), 8, 0, 1)
                       : (void)sd_bus_message_append(m.get(), "a(uv)b", 1, 1u, "s", "?", 1);
            s.send(std::move(m));
        } else if (op == "ui") {
            auto m = s.signal(c, "UpdateClientSideUI", impostor);
            FcitxWire::preedit(m.get(), text.c_str());
            sd_bus_message_append(m.get(), "a(si)a(si)a(ss)iibb", 0, 0, 0, 0, 0, 0, 0);
            s.send(std::move(m));
        } else {
            s.send(s.signal(c, "NotifyFocusOut", impostor));
        }
    };
    for (const char* script : {
             "in:a batch:a ~1 bx::x ~0 =1 batch:a bx:: =0 batch:a bx::x batch:a bxbad =0",
             "in:a batch:a !bx::x ~1 =0",
             "in:a ui:a:x =1 pre:a: =1 ui:a: =0 ui:a:x !nout:a =1 nout:a =0 in:a =0",
         }) {
        Script<FcitxWire>().run(script, extra);
    }
}

TEST(ImeState, OnlyUnixSocketAddressesAreJoined) {
    const std::pair<const char*, bool> cases[] = {
        {"unix:path=/run/user/1000/bus", true},
        {"unix:abstract=/tmp/dbus-A1b2,guid=0f18a3", true},
        {"unix:guid=0f18,path=/tmp/ibus%2c1", true},
        {"unix:path=/a;unix:abstract=b;", true},
        {"unixexec:path=/bin/sh,argv1=-c", false},
        {"unix:path=/a;unixexec:path=/bin/sh", false},
        {"tcp:host=127.0.0.1,port=4000", false},
        {"x-machine-unix:pid=1", false},
        {"UNIX:path=/a", false},
        {"unix:tmpdir=/tmp", false},
        {"unix:path=/a,abstract=b", false},
        {"unix:path=", false},
        {"unix:path", false},
        {"", false},
        {";", false},
    };
    for (const auto& [address, accepted] : cases) {
        EXPECT_EQ(isUnixSocketAddress(address), accepted) << address;
    }
}

TEST(ImeState, AddressFileFoundAndReadLikeIBusClientsDo) {
    std::map<std::string, std::string> vars;
    auto path = [&](std::map<std::string, std::string> v) {
        vars = std::move(v);
        return ibusAddressFilePath(
            [&](const char* name) { return vars.count(name) ? vars[name].c_str() : nullptr; },
            "abc");
    };
    EXPECT_EQ(path({{"HOME", "/h"}, {"DISPLAY", "host:10.2"}}), "/h/.config/ibus/bus/abc-host-10");
    EXPECT_EQ(path({{"HOME", "/h"}, {"XDG_CONFIG_HOME", "/c"}, {"WAYLAND_DISPLAY", "wl-0"}}),
              "/c/ibus/bus/abc-wl-0-0");
    EXPECT_EQ(path({{"HOME", "/h"}, {"IBUS_ADDRESS_FILE", "/x/y"}}), "/x/y");
    EXPECT_EQ(path({{"DISPLAY", ":0"}}), std::nullopt);

    const auto parsed =
        parseIBusAddressFile("# c\nIBUS_ADDRESS=unix:path=/a\r\nIBUS_DAEMON_PID=88\n");
    EXPECT_EQ(parsed->address, "unix:path=/a");
    EXPECT_EQ(parsed->daemonPid, 88);
    EXPECT_EQ(parseIBusAddressFile("IBUS_ADDRESS=x\nIBUS_DAEMON_PID=12x\n")->daemonPid, 0);
    EXPECT_FALSE(parseIBusAddressFile("IBUS_ADDRESS=\n"));

    // Only a small regular file is read: never a FIFO (that would block) or a device.
    const std::string dir = testing::TempDir();
    std::ofstream(dir + "/small") << "IBUS_ADDRESS=unix:path=/a\n";
    std::ofstream(dir + "/huge") << "IBUS_ADDRESS=unix:path=/a\n" << std::string(5000, '#');
    mkfifo((dir + "/fifo").c_str(), 0600);
    EXPECT_EQ(readIBusAddressFile(dir + "/small")->address, "unix:path=/a");
    for (const char* refused : {"/huge", "/fifo", "/missing"}) {
        EXPECT_FALSE(readIBusAddressFile(dir + refused)) << refused;
    }
    EXPECT_FALSE(readIBusAddressFile("/dev/zero"));
    unlink((dir + "/fifo").c_str());
}

}  // namespace
}  // namespace sendhold::ime
