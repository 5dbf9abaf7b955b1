// The watchers' message handling, fed with messages built in memory the way
// the daemons and their clients send them, and with malformed ones.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <memory>

#include "FcitxMessages.h"
#include "IBusMessages.h"

namespace sendhold::ime {
namespace {

struct Unref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Message = std::unique_ptr<sd_bus_message, Unref>;

const char* const kCtx = "/org/freedesktop/IBus/InputContext_2";
const char* const kClient = ":1.4";
const SteadyTime kNow{};

// sd-bus builds messages only for a bus that has been started; this one is
// started on one end of a socket pair and never talks.
class MessageFactory {
  public:
    MessageFactory() {
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_);
        sd_bus_new(&bus_);
        sd_bus_set_fd(bus_, fds_[0], fds_[0]);
        sd_bus_start(bus_);
    }
    ~MessageFactory() {
        sd_bus_close_unref(bus_);
        close(fds_[1]);
    }

    Message signal(const char* path, const char* iface, const char* member,
                   const char* destination) {
        sd_bus_message* m = nullptr;
        EXPECT_GE(sd_bus_message_new_signal(bus_, &m, path, iface, member), 0);
        sd_bus_message_set_destination(m, destination);
        sd_bus_message_set_sender(m, ":1.1");
        return Message(m);
    }
    Message call(const char* path, const char* iface, const char* member, const char* sender) {
        sd_bus_message* m = nullptr;
        EXPECT_GE(sd_bus_message_new_method_call(bus_, &m, "org.example", path, iface, member), 0);
        sd_bus_message_set_sender(m, sender);
        return Message(m);
    }
    // The answer to a sealed call, addressed back to its sender.
    Message reply(sd_bus_message* call) {
        sd_bus_message* m = nullptr;
        EXPECT_GE(sd_bus_message_new_method_return(call, &m), 0);
        return Message(m);
    }
    Message error(sd_bus_message* call) {
        sd_bus_message* m = nullptr;
        EXPECT_GE(sd_bus_message_new_method_errorf(call, &m, "org.example.Error", "no"), 0);
        return Message(m);
    }
    sd_bus_message* sealed(const Message& m) {
        EXPECT_GE(sd_bus_message_seal(m.get(), ++cookie_, 0), 0);
        return m.get();
    }

  private:
    int fds_[2] = {-1, -1};
    sd_bus* bus_ = nullptr;
    std::uint64_t cookie_ = 100;
};

void appendIBusText(sd_bus_message* m, const char* text, const char* name = "IBusText") {
    sd_bus_message_open_container(m, 'v', "(sa{sv}sv)");
    sd_bus_message_open_container(m, 'r', "sa{sv}sv");
    sd_bus_message_append(m, "sa{sv}s", name, 0, text);
    sd_bus_message_append(m, "v", "(sa{sv}av)", "IBusAttrList", 0, 0);
    sd_bus_message_close_container(m);
    sd_bus_message_close_container(m);
}

class IBusMessagesTest : public ::testing::Test {
  protected:
    void preedit(const char* member, const char* text, bool visible = true) {
        auto m = f.signal(kCtx, kIBusInputContext, member, kClient);
        appendIBusText(m.get(), text);
        sd_bus_message_append(m.get(), "ub", 1u, visible);
        if (std::string_view(member) == "UpdatePreeditTextWithMode") {
            sd_bus_message_append(m.get(), "u", 0u);
        }
        handler.handle(f.sealed(m), kNow);
    }
    void contextCall(const char* member) {
        auto m = f.call(kCtx, kIBusInputContext, member, kClient);
        handler.handle(f.sealed(m), kNow);
    }

    MessageFactory f;
    ContextTracker tracker;
    IBusMessageHandler handler{tracker};
};

TEST_F(IBusMessagesTest, PreeditSignalsOfTheFocusedContext) {
    contextCall("FocusIn");
    preedit("UpdatePreeditText", "\xe3\x84\xb1");
    EXPECT_TRUE(tracker.composing());
    auto hide = f.signal(kCtx, kIBusInputContext, "HidePreeditText", kClient);
    handler.handle(f.sealed(hide), kNow);
    EXPECT_FALSE(tracker.composing());
    auto show = f.signal(kCtx, kIBusInputContext, "ShowPreeditText", kClient);
    handler.handle(f.sealed(show), kNow);
    EXPECT_TRUE(tracker.composing());
    preedit("UpdatePreeditTextWithMode", "");
    EXPECT_FALSE(tracker.composing());
    preedit("UpdatePreeditTextWithMode", "ni", false);
    EXPECT_FALSE(tracker.composing()) << "invisible";
    preedit("UpdatePreeditText", "ni", true);
    contextCall("FocusOut");
    EXPECT_FALSE(tracker.composing());
}

TEST_F(IBusMessagesTest, MalformedUpdatesAnswerFalse) {
    contextCall("FocusIn");
    preedit("UpdatePreeditText", "a");
    auto wrongSignature = f.signal(kCtx, kIBusInputContext, "UpdatePreeditText", kClient);
    sd_bus_message_append(wrongSignature.get(), "sub", "a", 1u, 1);
    handler.handle(f.sealed(wrongSignature), kNow);
    EXPECT_FALSE(tracker.composing());

    preedit("UpdatePreeditText", "a");
    auto wrongName = f.signal(kCtx, kIBusInputContext, "UpdatePreeditText", kClient);
    appendIBusText(wrongName.get(), "a", "IBusAttribute");
    sd_bus_message_append(wrongName.get(), "ub", 1u, 1);
    handler.handle(f.sealed(wrongName), kNow);
    EXPECT_FALSE(tracker.composing());

    preedit("UpdatePreeditText", "a");
    auto truncated = f.signal(kCtx, kIBusInputContext, "UpdatePreeditText", kClient);
    appendIBusText(truncated.get(), "a");
    handler.handle(f.sealed(truncated), kNow);
    EXPECT_FALSE(tracker.composing());

    // Broken messages about other things leave the answer alone.
    preedit("UpdatePreeditText", "a");
    auto badOwner =
        f.signal("/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged", nullptr);
    sd_bus_message_append(badOwner.get(), "s", ":1.4");
    handler.handle(f.sealed(badOwner), kNow);
    auto badFocus = f.call("/org/freedesktop/IBus/Panel", kIBusPanel, "FocusIn", ":1.0");
    handler.handle(f.sealed(badFocus), kNow);
    EXPECT_TRUE(tracker.composing());
}

TEST_F(IBusMessagesTest, ClientLeavingTheBusForgetsItsContexts) {
    contextCall("FocusIn");
    preedit("UpdatePreeditText", "a");
    auto gone =
        f.signal("/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged", nullptr);
    sd_bus_message_append(gone.get(), "sss", kClient, kClient, "");
    handler.handle(f.sealed(gone), kNow);
    EXPECT_FALSE(tracker.composing());
}

TEST_F(IBusMessagesTest, KeyEffectsCollectedThroughPostProcessKeyEvent) {
    contextCall("FocusIn");
    auto key = f.call(kCtx, kIBusInputContext, "ProcessKeyEvent", kClient);
    sd_bus_message_append(key.get(), "uuu", 0x72u, 19u, 0u);
    handler.handle(f.sealed(key), kNow);
    EXPECT_TRUE(tracker.keyOutstanding(kNow));
    auto keyAnswer = f.reply(key.get());
    sd_bus_message_append(keyAnswer.get(), "b", 1);
    handler.handle(f.sealed(keyAnswer), kNow);

    auto get = [&](auto fill) {
        auto call = f.call(kCtx, "org.freedesktop.DBus.Properties", "Get", kClient);
        sd_bus_message_append(call.get(), "ss", kIBusInputContext, "PostProcessKeyEvent");
        handler.handle(f.sealed(call), kNow);
        EXPECT_TRUE(tracker.keyOutstanding(kNow));
        auto answer = f.reply(call.get());
        fill(answer.get());
        handler.handle(f.sealed(answer), kNow);
        EXPECT_FALSE(tracker.keyOutstanding(kNow));
    };
    auto effects = [](sd_bus_message* m, const char* commit, const char* preeditText) {
        sd_bus_message_open_container(m, 'v', "a(yv)");
        sd_bus_message_open_container(m, 'a', "(yv)");
        if (commit) {
            sd_bus_message_open_container(m, 'r', "yv");
            sd_bus_message_append(m, "y", 'c');
            appendIBusText(m, commit);
            sd_bus_message_close_container(m);
        }
        sd_bus_message_open_container(m, 'r', "yv");
        sd_bus_message_append(m, "y", 'm');
        sd_bus_message_open_container(m, 'v', "(vubu)");
        sd_bus_message_open_container(m, 'r', "vubu");
        appendIBusText(m, preeditText);
        sd_bus_message_append(m, "ubu", 1u, 1, 0u);
        sd_bus_message_close_container(m);
        sd_bus_message_close_container(m);
        sd_bus_message_close_container(m);
        sd_bus_message_close_container(m);
        sd_bus_message_close_container(m);
    };
    get([&](sd_bus_message* m) { effects(m, nullptr, "\xe3\x84\xb1"); });
    EXPECT_TRUE(tracker.composing());
    get([&](sd_bus_message* m) { effects(m, "\xea\xb0\x80", ""); });
    EXPECT_FALSE(tracker.composing());
    get([&](sd_bus_message* m) { effects(m, nullptr, "\xe3\x84\xb1"); });
    get([](sd_bus_message* m) {
        sd_bus_message_open_container(m, 'v', "a(yv)");
        sd_bus_message_open_container(m, 'a', "(yv)");
        sd_bus_message_append(m, "(yv)", 'm', "s", "not a preedit");
        sd_bus_message_close_container(m);
        sd_bus_message_close_container(m);
    });
    EXPECT_FALSE(tracker.composing()) << "unparsable effects";
    get([&](sd_bus_message* m) { effects(m, nullptr, "\xe3\x84\xb1"); });
    get([](sd_bus_message* m) { sd_bus_message_append(m, "v", "s", "nothing like it"); });
    EXPECT_FALSE(tracker.composing());
}

TEST_F(IBusMessagesTest, AnErrorAlsoEndsTheWaitForAKey) {
    auto key = f.call(kCtx, kIBusInputContext, "ProcessKeyEvent", kClient);
    sd_bus_message_append(key.get(), "uuu", 0x72u, 19u, 0u);
    handler.handle(f.sealed(key), kNow);
    auto failed = f.error(key.get());
    handler.handle(f.sealed(failed), kNow);
    EXPECT_FALSE(tracker.keyOutstanding(kNow));
}

class FcitxMessagesTest : public ::testing::Test {
  protected:
    static constexpr const char* kIc = "/org/freedesktop/portal/inputcontext/3";

    void formatted(sd_bus_message* m, std::initializer_list<const char*> pieces) {
        sd_bus_message_open_container(m, 'a', "(si)");
        for (const char* p : pieces) sd_bus_message_append(m, "(si)", p, 16);
        sd_bus_message_close_container(m);
        sd_bus_message_append(m, "i", 3);
    }
    void update(std::initializer_list<const char*> pieces) {
        auto m = f.signal(kIc, kFcitxInputContext, "UpdateFormattedPreedit", kClient);
        formatted(m.get(), pieces);
        handler.handle(f.sealed(m), kNow);
    }
    void call(const char* member) {
        auto m = f.call(kIc, kFcitxInputContext, member, kClient);
        handler.handle(f.sealed(m), kNow);
    }
    // One ProcessKeyEventBatch and its answer, filled by `fill` (a(uv) then b).
    template <typename Fill>
    void batchKey(Fill fill) {
        auto key = f.call(kIc, kFcitxInputContext, "ProcessKeyEventBatch", kClient);
        sd_bus_message_append(key.get(), "uuubu", 0x72u, 19u, 0u, 0, 0u);
        handler.handle(f.sealed(key), kNow);
        EXPECT_TRUE(tracker.keyOutstanding(kNow));
        auto answer = f.reply(key.get());
        fill(answer.get());
        handler.handle(f.sealed(answer), kNow);
        EXPECT_FALSE(tracker.keyOutstanding(kNow));
    }

    MessageFactory f;
    ContextTracker tracker;
    FcitxMessageHandler handler{tracker};
};

TEST_F(FcitxMessagesTest, FormattedPreeditSignals) {
    call("FocusIn");
    update({"", "\xea\xb0\x80"});
    EXPECT_TRUE(tracker.composing());
    update({});
    EXPECT_FALSE(tracker.composing());
    update({"", ""});
    EXPECT_FALSE(tracker.composing());
    update({"a"});
    auto lost = f.signal(kIc, kFcitxInputContext, "NotifyFocusOut", kClient);
    handler.handle(f.sealed(lost), kNow);
    EXPECT_FALSE(tracker.composing());
    call("FocusIn");
    EXPECT_TRUE(tracker.composing());
    call("DestroyIC");
    EXPECT_FALSE(tracker.composing());
}

TEST_F(FcitxMessagesTest, PanelPreeditOfClientsThatDrawThePanel) {
    auto clientSideUi = [&](std::initializer_list<const char*> preedit) {
        auto m = f.signal(kIc, kFcitxInputContext, "UpdateClientSideUI", kClient);
        formatted(m.get(), preedit);
        sd_bus_message_append(m.get(), "a(si)a(si)a(ss)iibb", 1, "\xed\x95\x9c", 0, 0, 0, 0, 0, 0,
                              0, 0);
        handler.handle(f.sealed(m), kNow);
    };
    call("FocusIn");
    clientSideUi({"", "\xe3\x84\xb1"});
    EXPECT_TRUE(tracker.composing());
    update({});
    EXPECT_TRUE(tracker.composing()) << "the client's own preedit is a separate thing";
    clientSideUi({});
    EXPECT_FALSE(tracker.composing());
    update({"a"});
    EXPECT_TRUE(tracker.composing());
    update({});
    auto wrong = f.signal(kIc, kFcitxInputContext, "UpdateClientSideUI", kClient);
    sd_bus_message_append(wrong.get(), "s", "a");
    clientSideUi({"a"});
    handler.handle(f.sealed(wrong), kNow);
    EXPECT_FALSE(tracker.composing());
}

TEST_F(FcitxMessagesTest, MalformedMessagesAnswerFalse) {
    call("FocusIn");
    update({"a"});
    auto wrong = f.signal(kIc, kFcitxInputContext, "UpdateFormattedPreedit", kClient);
    sd_bus_message_append(wrong.get(), "si", "a", 3);
    handler.handle(f.sealed(wrong), kNow);
    EXPECT_FALSE(tracker.composing());

    update({"a"});
    batchKey([](sd_bus_message* m) {
        sd_bus_message_open_container(m, 'a', "(uv)");
        sd_bus_message_append(m, "(uv)", 1u, "s", "not formatted text");
        sd_bus_message_close_container(m);
        sd_bus_message_append(m, "b", 1);
    });
    EXPECT_FALSE(tracker.composing());

    update({"a"});
    batchKey([](sd_bus_message* m) { sd_bus_message_append(m, "b", 1); });
    EXPECT_FALSE(tracker.composing());
}

}  // namespace
}  // namespace sendhold::ime
