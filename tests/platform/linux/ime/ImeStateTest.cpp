// The watchers' message handling and kept state, driven by scripts of bus
// messages built the way the daemons, their clients and an impostor client
// send them; one table of cases runs over IBus and Fcitx5. Then addresses.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/linux/ime/FcitxMessages.h"
#include "platform/linux/ime/IBusAddress.h"
#include "platform/linux/ime/IBusMessages.h"

namespace sendhold::ime {
namespace {

using namespace std::literals;

// ibus-daemon signals under its own name and answers under the bus's; Fcitx5
// uses its unique name for both.
struct Wire {
    const char *service, *iface, *signals, *answers, *path, *preedit;
};
const Wire kIBus(kIBusService, kIBusInputContext, kIBusService, kBusName,
                 "/org/freedesktop/IBus/InputContext_", "UpdatePreeditText");
const Wire kFcitx(kFcitxService, kFcitxInputContext, ":1.2", ":1.2",
                  "/org/freedesktop/portal/inputcontext/", "UpdateFormattedPreedit");

// Script steps "op:context:text"; '!' first: the impostor ":1.66" sends it
// (signals and answers from it, calls addressed to it). Each op names its kind
// and member: 'c'all from the context's client (get: Properties.Get of
// PostProcessKeyEvent), 's'ignal to it (pre: the framework's preedit report,
// text may be empty; bad: garbage; inv: invisible; ui: Fcitx5's panel
// preedit), 'p'anel call from ibus-daemon, 'r'eply to the last call (ok, no:
// key handled or not; fx, bx: a key's effects, batched key's answer; *bad:
// garbage), 'b'us: the client (gone) or the framework (stop) left the bus.
const std::string kSteps =
    " in=c/FocusIn out=c/FocusOut key=c/ProcessKeyEvent batch=c/ProcessKeyEventBatch get=c/Get"
    " pre=s bad=s hide=s/HidePreeditText show=s/ShowPreeditText inv=s/UpdatePreeditTextWithMode"
    " ui=s/UpdateClientSideUI nout=s/NotifyFocusOut pin=p/FocusIn pout=p/FocusOut"
    " ppre=p/UpdatePreeditText ok=r no=r fx=r fxbad=r bx=r bxbad=r gone=b stop=b ";

void fill(sd_bus_message* m, const std::string& op, const Wire& w, const std::string& path,
          const std::string& client, const char* t) {
    if ((op == "pre" && &w == &kIBus) || op == "inv" || op == "ppre") {
        sd_bus_message_append(m, "v", "(sa{sv}sv)", "IBusText", 0, t, "(sa{sv}av)", "IBusAttrList",
                              0, 0);
        sd_bus_message_append(m, op == "inv" ? "ubu" : "ub", 0u, op != "inv", 0u);
    }
    if ((op == "pre" && &w == &kFcitx) || op == "ui")
        sd_bus_message_append(m, "a(si)i", 1, t, 8, 0);
    if (op == "ui") sd_bus_message_append(m, "a(si)a(si)a(ss)iibb", 0, 0, 0, 0, 0, 0, 0);
    if (op == "bad") sd_bus_message_append(m, "s", "?");
    if (op == "pin" || op == "pout") sd_bus_message_append(m, "o", path.c_str());
    if (op == "get") sd_bus_message_append(m, "ss", kIBusInputContext, "PostProcessKeyEvent");
    if (op == "ok" || op == "no") sd_bus_message_append(m, "b", op == "ok");
    if (op == "fx")
        sd_bus_message_append(m, "v", "a(yv)", 1, 'm', "(vubu)", "(sa{sv}sv)", "IBusText", 0, t,
                              "(sa{sv}av)", "IBusAttrList", 0, 0, 0u, 1, 0u);
    if (op == "fxbad") sd_bus_message_append(m, "v", "a(yv)", 1, 'm', "s", "?");
    if (op == "bx")
        sd_bus_message_append(m, "a(uv)b", 2, 0u, "s", "k", 1u, "(a(si)i)", 1, t, 8, 0, 1);
    if (op == "bxbad") sd_bus_message_append(m, "a(uv)b", 1, 1u, "s", "?", 1);
    if (op == "gone") sd_bus_message_append(m, "sss", client.c_str(), ":1.2", "");
    if (op == "stop") sd_bus_message_append(m, "sss", w.service, ":1.2", "");
}

// Runs the steps over one wire; "=1" "=0" expect composing, "~1" "~0" a key
// outstanding, "late~0" none past the wait for a report.
void run(const Wire& w, const std::string& script) {
    ContextTracker tracker;
    IBusMessageHandler ibus{tracker};
    FcitxMessageHandler fcitx{tracker};
    &w == &kIBus ? ibus.daemonIs(kIBusService) : fcitx.fcitxIs(":1.2");
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    sd_bus* bus = nullptr;
    sd_bus_new(&bus);
    sd_bus_set_fd(bus, fds[0], fds[0]);
    sd_bus_start(bus);
    sd_bus_message *call = nullptr, *m = nullptr;
    std::uint64_t cookie = 100;
    std::istringstream steps(script);
    for (std::string step, op, ctx, text; steps >> step; ctx.clear(), text.clear()) {
        SCOPED_TRACE(script + "  at " + step);
        const bool impostor = step[0] == '!';
        std::istringstream parts(step.substr(impostor));
        std::getline(std::getline(std::getline(parts, op, ':'), ctx, ':'), text);
        const auto at = kSteps.find(" " + op + "=");
        if (op[0] == '=' || op.find('~') != std::string::npos) {
            const auto at = SteadyTime{} + (op[0] == 'l') * 9ms;
            EXPECT_EQ(op[0] == '=' ? tracker.composing() : tracker.keyOutstanding(at),
                      op.back() == '1');
            continue;
        }
        ASSERT_NE(at, std::string::npos) << "unknown step";
        const char kind = kSteps[at + op.size() + 2], c = ctx.empty() ? 'a' : ctx[0];
        std::string member = kSteps.substr(at + op.size() + 3);
        member = member[0] == '/' ? member.substr(1, member.find(' ') - 1) : w.preedit;
        const std::string path = w.path + std::string(1, c), client = ":1.1"s + c;
        const char* iface = op == "get" ? "org.freedesktop.DBus.Properties" : w.iface;
        const char* from = kind == 'c'   ? client.c_str()
                           : kind == 's' ? w.signals
                           : kind == 'r' ? w.answers
                                         : kBusName;
        if (kind == 'c')
            sd_bus_message_new_method_call(bus, &m, impostor ? ":1.66" : w.service, path.c_str(),
                                           iface, member.c_str());
        else if (kind == 'p')
            sd_bus_message_new_method_call(bus, &m, nullptr, "/p", kIBusPanel, member.c_str());
        else if (kind == 's')
            sd_bus_message_new_signal(bus, &m, path.c_str(), iface, member.c_str());
        else if (kind == 'r')
            sd_bus_message_new_method_return(call, &m);
        else
            sd_bus_message_new_signal(bus, &m, "/", kBusName, "NameOwnerChanged");
        if (kind == 's') sd_bus_message_set_destination(m, client.c_str());
        sd_bus_message_set_sender(m, impostor ? ":1.66" : from);
        fill(m, op, w, path, client, text.c_str());
        sd_bus_message_seal(m, ++cookie, 0);
        &w == &kIBus ? ibus.handle(m, SteadyTime{}) : fcitx.handle(m, SteadyTime{});
        if (kind == 'c') std::swap(call, m);
        m = sd_bus_message_unref(m);
    }
    sd_bus_message_unref(call);
    sd_bus_close_unref(bus);
    close(fds[1]);
}

// Each case runs over IBus (I), Fcitx5 (F) or both.
const std::pair<const char*, const char*> kCases[] = {
    {"IF", "in:a =0 pre:a:x =1 pre:a: =0 pre:a:x =1 bad:a =0"},
    // Losing the focus ends the context's composition (engines commit it
    // silently); the focus moving elsewhere without FocusOut does not.
    {"IF", "in:a pre:a:x out:a =0 in:a =0"},
    {"IF", "pre:a:x =0 in:a =1 in:b =0 in:a =1 out:b =1 gone:b =1 gone:a =0"},
    // Nobody but the framework speaks for it.
    {"IF", "!in:a !pre:a:x =0 in:a !pre:a:x =0 pre:a:x =1 !out:a !gone:a =1"},
    {"IF", "in:a pre:a:x stop =0 in:a pre:a:x =0"},
    // A handled key answered before its report waits for the report.
    {"IF", "in:a key:a ~1 ok ~1 late~0 key:a ok pre:a:x ~0 =1 key:a pre:a: ok ~0 key:a no ~0"},
    {"IF", "in:a key:a !ok ~1 ok ~1 !pre:a:x ~1 =0"},
    {"I", "in:a pre:a:x hide:a =0 show:a =1 inv:a:x =0 !show:a =0"},
    {"I", "pin:a ppre::x =1 pre:a: =1 ppre:: =0 ppre::x pout:a =0 pin:a =0 !ppre::x =0"},
    {"I", "in:a key:a ok get:a ~1 fx::x ~0 =1 key:a ok get:a fx:: =0 get:a fx::x get:a fxbad =0"},
    {"F", "in:a batch:a ~1 bx::x ~0 =1 batch:a bx:: =0 batch:a bx::x batch:a bxbad =0"},
    {"F", "in:a batch:a !bx::x ~1 =0"},
    {"F", "in:a ui:a:x =1 pre:a: =1 ui:a: =0 ui:a:x !nout:a =1 nout:a =0 in:a =0"},
};

TEST(ImeState, CompositionCases) {
    for (const auto& [wires, script] : kCases) {
        if (std::strchr(wires, 'I')) run(kIBus, script);
        if (std::strchr(wires, 'F')) run(kFcitx, script);
    }
}

TEST(ImeState, OnlyUnixSocketAddressesFromSmallRegularFilesAreJoined) {
    for (const char* accepted :
         {"unix:path=/run/user/1000/bus", "unix:guid=0f18,path=/tmp/i%2c1",
          "unix:abstract=/tmp/dbus-A1b2,guid=0f18a3", "unix:path=/a;unix:abstract=b;"})
        EXPECT_TRUE(isUnixSocketAddress(accepted)) << accepted;
    for (const char* refused :
         {"unixexec:path=/bin/sh,argv1=-c", "unix:path=/a;unixexec:path=/bin/sh", "UNIX:path=/a",
          "tcp:host=127.0.0.1,port=4000", "x-machine-unix:pid=1", "unix:tmpdir=/tmp", "unix:path",
          "unix:path=/a,abstract=b", "unix:path=", ";"})
        EXPECT_FALSE(isUnixSocketAddress(refused)) << refused;
    // The address file is read only when small and regular.
    const std::string dir = testing::TempDir();
    std::ofstream(dir + "/small") << "# c\nIBUS_ADDRESS=unix:path=/a\r\nIBUS_DAEMON_PID=8x\n";
    std::ofstream(dir + "/huge") << "IBUS_ADDRESS=unix:path=/a\n" << std::string(5000, '#');
    mkfifo((dir + "/fifo").c_str(), 0600);
    EXPECT_EQ(readIBusAddressFile(dir + "/small")->address, "unix:path=/a");
    EXPECT_EQ(readIBusAddressFile(dir + "/small")->daemonPid, 0);
    for (const std::string& refused : {dir + "/huge", dir + "/fifo", dir + "/none", "/dev/zero"s})
        EXPECT_FALSE(readIBusAddressFile(refused)) << refused;
    unlink((dir + "/fifo").c_str());
}

}  // namespace
}  // namespace sendhold::ime
