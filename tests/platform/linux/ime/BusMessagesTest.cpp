// The watchers' message handling, fed with messages built in memory the way
// the daemons and their clients send them, and with malformed ones.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <functional>
#include <memory>

#include "FcitxMessages.h"
#include "IBusMessages.h"

namespace sendhold::ime {
namespace {

struct Unref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Message = std::unique_ptr<sd_bus_message, Unref>;

const char* const kClient = ":1.4";
const char* const kIBusText = "(sa{sv}sv)";
const char* const kIBusAttrs = "(sa{sv}av)";
const char* const kFirstJamo = "\xe3\x84\xb1";

// A fixture that builds messages on an sd-bus connection (sd-bus builds them
// only for a started bus: this one sits on a socket pair and never talks) and
// feeds them to the handler under test.
template <typename Handler>
class BusMessagesTest : public ::testing::Test {
  protected:
    BusMessagesTest() {
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_);
        sd_bus_new(&bus_);
        sd_bus_set_fd(bus_, fds_[0], fds_[0]);
        sd_bus_start(bus_);
    }
    ~BusMessagesTest() override {
        sd_bus_close_unref(bus_);
        close(fds_[1]);
    }
    Message signal(const char* path, const char* iface, const char* member) {
        sd_bus_message* m = nullptr;
        EXPECT_GE(sd_bus_message_new_signal(bus_, &m, path, iface, member), 0);
        sd_bus_message_set_destination(m, kClient);
        sd_bus_message_set_sender(m, ":1.1");
        return Message(m);
    }
    Message call(const char* path, const char* iface, const char* member,
                 const char* sender = kClient) {
        sd_bus_message* m = nullptr;
        EXPECT_GE(sd_bus_message_new_method_call(bus_, &m, "org.example", path, iface, member), 0);
        sd_bus_message_set_sender(m, sender);
        return Message(m);
    }
    // The answer to a call already sent, addressed back to its sender.
    Message reply(const Message& call, bool error = false) {
        sd_bus_message* m = nullptr;
        EXPECT_GE(error ? sd_bus_message_new_method_errorf(call.get(), &m, "org.example.E", "no")
                        : sd_bus_message_new_method_return(call.get(), &m),
                  0);
        return Message(m);
    }
    const Message& send(const Message& m) {
        EXPECT_GE(sd_bus_message_seal(m.get(), ++cookie_, 0), 0);
        handler.handle(m.get(), SteadyTime{});
        return m;
    }
    bool composing() { return tracker.composing(); }
    bool keyOutstanding() { return tracker.keyOutstanding(SteadyTime{}); }

    ContextTracker tracker;
    Handler handler{tracker};

  private:
    int fds_[2] = {-1, -1};
    sd_bus* bus_ = nullptr;
    std::uint64_t cookie_ = 100;
};

class IBusMessagesTest : public BusMessagesTest<IBusMessageHandler> {
  protected:
    static constexpr const char* kCtx = "/org/freedesktop/IBus/InputContext_2";
    Message preeditSignal(const char* member = "UpdatePreeditText") {
        return signal(kCtx, kIBusInputContext, member);
    }
    void preedit(const char* text, bool visible = true, const char* member = "UpdatePreeditText") {
        auto m = preeditSignal(member);
        sd_bus_message_append(m.get(), "v", kIBusText, "IBusText", 0, text, kIBusAttrs,
                              "IBusAttrList", 0, 0);
        sd_bus_message_append(m.get(), "ub", 1u, visible);
        if (std::string_view(member) == "UpdatePreeditTextWithMode") {
            sd_bus_message_append(m.get(), "u", 0u);
        }
        send(m);
    }
    void contextCall(const char* member) { send(call(kCtx, kIBusInputContext, member)); }
    // A key, then the client collecting its effects, answered by `fill`.
    template <typename Fill>
    void keyWithEffects(Fill fill) {
        auto key = call(kCtx, kIBusInputContext, "ProcessKeyEvent");
        sd_bus_message_append(key.get(), "uuu", 0x72u, 19u, 0u);
        send(key);
        EXPECT_TRUE(keyOutstanding());
        auto handled = reply(key);
        sd_bus_message_append(handled.get(), "b", 1);
        send(handled);
        auto get = call(kCtx, "org.freedesktop.DBus.Properties", "Get");
        sd_bus_message_append(get.get(), "ss", kIBusInputContext, "PostProcessKeyEvent");
        send(get);
        EXPECT_TRUE(keyOutstanding()) << "the effects are still to come";
        auto effects = reply(get);
        fill(effects.get());
        send(effects);
        EXPECT_FALSE(keyOutstanding());
    }
};

TEST_F(IBusMessagesTest, PreeditSignalsOfTheFocusedContextUntilItsClientLeaves) {
    contextCall("FocusIn");
    preedit(kFirstJamo);
    EXPECT_TRUE(composing());
    send(preeditSignal("HidePreeditText"));
    EXPECT_FALSE(composing());
    send(preeditSignal("ShowPreeditText"));
    EXPECT_TRUE(composing());
    preedit("", true, "UpdatePreeditTextWithMode");
    EXPECT_FALSE(composing());
    preedit("ni", false, "UpdatePreeditTextWithMode");
    EXPECT_FALSE(composing()) << "invisible";
    preedit("ni");
    contextCall("FocusOut");
    EXPECT_FALSE(composing());

    contextCall("FocusIn");
    EXPECT_TRUE(composing());
    auto gone = signal("/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged");
    sd_bus_message_append(gone.get(), "sss", kClient, kClient, "");
    send(gone);
    EXPECT_FALSE(composing()) << "the client left the bus";
}

TEST_F(IBusMessagesTest, MalformedUpdatesAnswerFalse) {
    contextCall("FocusIn");
    const std::function<void(sd_bus_message*)> malformed[] = {
        [](sd_bus_message* m) { sd_bus_message_append(m, "sub", "a", 1u, 1); },
        [](sd_bus_message* m) {
            sd_bus_message_append(m, "v", kIBusText, "IBusAttribute", 0, "a", kIBusAttrs,
                                  "IBusAttrList", 0, 0);
            sd_bus_message_append(m, "ub", 1u, 1);
        },
        [](sd_bus_message* m) {  // truncated
            sd_bus_message_append(m, "v", kIBusText, "IBusText", 0, "a", kIBusAttrs, "IBusAttrList",
                                  0, 0);
        }};
    for (const auto& fill : malformed) {
        preedit("a");
        auto m = preeditSignal();
        fill(m.get());
        send(m);
        EXPECT_FALSE(composing());
    }
    // Broken messages about other things leave the answer alone.
    preedit("a");
    auto badOwner = signal("/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged");
    sd_bus_message_append(badOwner.get(), "s", kClient);
    send(badOwner);
    send(call("/org/freedesktop/IBus/Panel", kIBusPanel, "FocusIn", ":1.0"));
    EXPECT_TRUE(composing());
}

TEST_F(IBusMessagesTest, KeyEffectsCollectedThroughPostProcessKeyEvent) {
    // An error ends the wait for a key (of a client not yet seen collecting effects).
    auto key = call(kCtx, kIBusInputContext, "ProcessKeyEvent");
    sd_bus_message_append(key.get(), "uuu", 0x72u, 19u, 0u);
    send(reply(send(key), true));
    EXPECT_FALSE(keyOutstanding());

    contextCall("FocusIn");
    auto preeditEffect = [](sd_bus_message* m) {
        sd_bus_message_append(m, "v", "a(yv)", 1, 'm', "(vubu)", kIBusText, "IBusText", 0,
                              kFirstJamo, kIBusAttrs, "IBusAttrList", 0, 0, 1u, 1, 0u);
    };
    keyWithEffects(preeditEffect);
    EXPECT_TRUE(composing());
    keyWithEffects([](sd_bus_message* m) {
        sd_bus_message_append(m, "v", "a(yv)", 2, 'c', kIBusText, "IBusText", 0, "\xea\xb0\x80",
                              kIBusAttrs, "IBusAttrList", 0, 0, 'm', "(vubu)", kIBusText,
                              "IBusText", 0, "", kIBusAttrs, "IBusAttrList", 0, 0, 1u, 1, 0u);
    });
    EXPECT_FALSE(composing()) << "committed";
    keyWithEffects(preeditEffect);
    keyWithEffects(
        [](sd_bus_message* m) { sd_bus_message_append(m, "v", "a(yv)", 1, 'm', "s", "no"); });
    EXPECT_FALSE(composing()) << "unparsable effects";
    keyWithEffects(preeditEffect);
    keyWithEffects(
        [](sd_bus_message* m) { sd_bus_message_append(m, "v", "s", "nothing like it"); });
    EXPECT_FALSE(composing());
}

class FcitxMessagesTest : public BusMessagesTest<FcitxMessageHandler> {
  protected:
    static constexpr const char* kIc = "/org/freedesktop/portal/inputcontext/3";

    static void formatted(sd_bus_message* m, std::initializer_list<const char*> pieces) {
        sd_bus_message_open_container(m, 'a', "(si)");
        for (const char* p : pieces) sd_bus_message_append(m, "(si)", p, 16);
        sd_bus_message_close_container(m);
        sd_bus_message_append(m, "i", 3);
    }
    void update(std::initializer_list<const char*> pieces) {
        auto m = signal(kIc, kFcitxInputContext, "UpdateFormattedPreedit");
        formatted(m.get(), pieces);
        send(m);
    }
    void clientSideUi(std::initializer_list<const char*> preedit) {
        auto m = signal(kIc, kFcitxInputContext, "UpdateClientSideUI");
        formatted(m.get(), preedit);
        sd_bus_message_append(m.get(), "a(si)a(si)a(ss)iibb", 1, "\xed\x95\x9c", 0, 0, 0, 0, 0, 0,
                              0, 0);
        send(m);
    }
    void icCall(const char* member) { send(call(kIc, kFcitxInputContext, member)); }
    // One ProcessKeyEventBatch and its answer, filled by `fill` (a(uv) then b).
    template <typename Fill>
    void batchKey(Fill fill) {
        auto key = call(kIc, kFcitxInputContext, "ProcessKeyEventBatch");
        sd_bus_message_append(key.get(), "uuubu", 0x72u, 19u, 0u, 0, 0u);
        send(key);
        EXPECT_TRUE(keyOutstanding());
        auto answer = reply(key);
        fill(answer.get());
        send(answer);
        EXPECT_FALSE(keyOutstanding());
    }
};

TEST_F(FcitxMessagesTest, FormattedPreeditSignalsAndTheFocus) {
    icCall("FocusIn");
    update({"", "\xea\xb0\x80"});
    EXPECT_TRUE(composing());
    update({});
    EXPECT_FALSE(composing());
    update({"", ""});
    EXPECT_FALSE(composing());
    update({"a"});
    send(signal(kIc, kFcitxInputContext, "NotifyFocusOut"));
    EXPECT_FALSE(composing());
    icCall("FocusIn");
    EXPECT_TRUE(composing());
    icCall("DestroyIC");
    EXPECT_FALSE(composing());
}

TEST_F(FcitxMessagesTest, PanelPreeditOfClientsThatDrawThePanel) {
    icCall("FocusIn");
    clientSideUi({"", kFirstJamo});
    EXPECT_TRUE(composing());
    update({});
    EXPECT_TRUE(composing()) << "the client's own preedit is a separate thing";
    clientSideUi({});
    EXPECT_FALSE(composing());
    update({"a"});
    EXPECT_TRUE(composing());
}

TEST_F(FcitxMessagesTest, MalformedMessagesAnswerFalse) {
    icCall("FocusIn");
    update({"a"});
    auto wrong = signal(kIc, kFcitxInputContext, "UpdateFormattedPreedit");
    sd_bus_message_append(wrong.get(), "si", "a", 3);
    send(wrong);
    EXPECT_FALSE(composing());

    clientSideUi({"a"});
    auto wrongUi = signal(kIc, kFcitxInputContext, "UpdateClientSideUI");
    sd_bus_message_append(wrongUi.get(), "s", "a");
    send(wrongUi);
    EXPECT_FALSE(composing());

    update({"a"});
    batchKey([](sd_bus_message* m) {
        sd_bus_message_append(m, "a(uv)b", 1, 1u, "s", "not formatted text", 1);
    });
    EXPECT_FALSE(composing());

    update({"a"});
    batchKey([](sd_bus_message* m) { sd_bus_message_append(m, "b", 1); });
    EXPECT_FALSE(composing());
}

}  // namespace
}  // namespace sendhold::ime
