#include <gtest/gtest.h>

#include "ContextTracker.h"

namespace sendhold::ime {
namespace {

using namespace std::chrono_literals;

const std::string kA = "/ctx/A";
const std::string kB = "/ctx/B";

TEST(ContextTracker, AnswersFromTheFocusedContextsPreedit) {
    ContextTracker t;
    EXPECT_FALSE(t.composing());
    t.focusIn(kA, ":1.5");
    EXPECT_FALSE(t.composing()) << "preedit never reported";
    t.preeditChanged(kA, ":1.5", true, true);
    EXPECT_TRUE(t.composing());
    t.preeditShown(kA, ":1.5", false);
    EXPECT_FALSE(t.composing()) << "hidden preedit";
    t.preeditShown(kA, ":1.5", true);
    EXPECT_TRUE(t.composing());
    t.preeditChanged(kA, ":1.5", false);
    EXPECT_FALSE(t.composing()) << "committed or cancelled";
}

TEST(ContextTracker, FollowsTheFocusBetweenContexts) {
    ContextTracker t;
    t.preeditChanged(kA, ":1.5", true, true);
    EXPECT_FALSE(t.composing()) << "focus unknown";
    t.focusIn(kA, ":1.5");
    EXPECT_TRUE(t.composing());
    t.focusIn(kB, ":1.6");
    EXPECT_FALSE(t.composing());
    t.focusOut(kA);
    t.focusIn(kA, ":1.5");
    EXPECT_TRUE(t.composing()) << "A kept its preedit while B had the focus";
    t.focusOut(kB);
    EXPECT_TRUE(t.composing()) << "losing focus elsewhere changes nothing";
    t.focusOut(kA);
    EXPECT_FALSE(t.composing());
}

TEST(ContextTracker, ForgetsWhatCannotBeToldAnymore) {
    ContextTracker t;
    t.focusIn(kA, ":1.5");
    t.preeditChanged(kA, ":1.5", true, true);
    t.preeditUnknown(kA);
    EXPECT_FALSE(t.composing()) << "unparsable update";

    t.preeditChanged(kA, ":1.5", true, true);
    t.ownerGone(":1.6");
    EXPECT_TRUE(t.composing());
    t.ownerGone(":1.5");
    EXPECT_FALSE(t.composing()) << "client left";
    EXPECT_EQ(t.contextCount(), 0u);

    t.focusIn(kA, ":1.5");
    t.preeditChanged(kA, ":1.5", true, true);
    t.contextGone(kA);
    EXPECT_FALSE(t.composing());

    t.focusIn(kA, ":1.5");
    t.preeditChanged(kA, ":1.5", true, true);
    t.clear();
    EXPECT_FALSE(t.composing()) << "daemon restarted";
    t.preeditChanged(kA, ":1.5", true, true);
    EXPECT_FALSE(t.composing()) << "focus must be learnt again";
}

TEST(ContextTracker, SeededFocusKeepsThePreeditUnknown) {
    ContextTracker t;
    t.seedFocus(kA);
    EXPECT_FALSE(t.composing());
    t.preeditChanged(kA, ":1.5", true, true);
    EXPECT_TRUE(t.composing());
    t.seedFocus(kB);
    EXPECT_TRUE(t.composing()) << "a late seed does not override reported focus";
}

TEST(ContextTracker, AKeyMovesTheFocusAndStaysOutstandingUntilAnswered) {
    ContextTracker t;
    const SteadyTime t0{};
    t.preeditChanged(kB, ":1.6", true, true);
    t.keySent(kB, ":1.6", 40, t0);
    EXPECT_TRUE(t.composing()) << "only the focused context gets keys";
    EXPECT_TRUE(t.keyOutstanding(t0 + 1ms));
    EXPECT_FALSE(t.replyArrived(":1.7", 40)) << "another client's answer";
    EXPECT_FALSE(t.replyArrived(":1.6", 41));
    EXPECT_TRUE(t.keyOutstanding(t0 + 1ms));
    const auto answered = t.replyArrived(":1.6", 40);
    ASSERT_TRUE(answered);
    EXPECT_EQ(answered->path, kB);
    EXPECT_EQ(answered->kind, CallKind::Key);
    EXPECT_FALSE(t.keyOutstanding(t0 + 1ms));
    EXPECT_FALSE(t.replyArrived(":1.6", 40)) << "answered once";

    t.keySent(kB, ":1.6", 41, t0);
    EXPECT_FALSE(t.keyOutstanding(t0 + ContextTracker::kFreshKeyWindow + 1ms))
        << "a key unanswered for long is not waited for";
}

TEST(ContextTracker, ClientsCollectingKeyEffectsStayOutstandingUntilTheFollowUp) {
    ContextTracker t;
    const SteadyTime t0{};
    t.keySent(kA, ":1.5", 10, t0);
    t.replyArrived(":1.5", 10);
    t.followUpSent(kA, ":1.5", 11, t0);
    EXPECT_TRUE(t.keyOutstanding(t0));
    EXPECT_EQ(t.replyArrived(":1.5", 11)->kind, CallKind::EffectsOfKey);

    // From now on a key's own answer is not the end: its follow-up is awaited.
    t.keySent(kA, ":1.5", 12, t0);
    t.replyArrived(":1.5", 12);
    EXPECT_TRUE(t.keyOutstanding(t0 + 1ms));
    t.followUpSent(kA, ":1.5", 13, t0 + 1ms);
    t.replyArrived(":1.5", 13);
    EXPECT_FALSE(t.keyOutstanding(t0 + 2ms));
}

TEST(ContextTracker, StaysBoundedWhenClientsVanishUnnoticed) {
    ContextTracker t;
    t.focusIn(kA, ":1.5");
    t.preeditChanged(kA, ":1.5", true, true);
    for (int i = 0; i < 5000; ++i) t.preeditChanged("/ctx/" + std::to_string(i), ":1.9", true);
    EXPECT_LE(t.contextCount(), 1024u);
    EXPECT_TRUE(t.composing()) << "the focused context is kept";
}

}  // namespace
}  // namespace sendhold::ime
