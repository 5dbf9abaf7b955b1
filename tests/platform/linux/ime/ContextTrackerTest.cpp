// The tracker's rules that the message tests do not reach: focus moving
// between contexts, what is forgotten, and keys waiting for their outcome.
#include <gtest/gtest.h>

#include "ContextTracker.h"

namespace sendhold::ime {
namespace {

using namespace std::chrono_literals;

const std::string kA = "/ctx/A";
const std::string kB = "/ctx/B";
const SteadyTime t0{};

TEST(ContextTracker, FollowsTheFocusAndForgetsWhatCannotBeToldAnymore) {
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
    t.ownerGone(":1.6");
    EXPECT_TRUE(t.composing()) << "another client left";

    t.clear();
    EXPECT_FALSE(t.composing()) << "daemon restarted";
    t.preeditChanged(kA, ":1.5", true, true);
    EXPECT_FALSE(t.composing()) << "focus must be learnt again";
    // A seeded focus (learnt after the fact) leaves the preedit unknown
    // until reported, and never overrides a reported focus.
    t.seedFocus(kB);
    EXPECT_FALSE(t.composing());
    t.preeditChanged(kB, ":1.6", true, true);
    EXPECT_TRUE(t.composing());
    t.seedFocus("/ctx/C");
    EXPECT_TRUE(t.composing());
}

TEST(ContextTracker, AKeyMovesTheFocusAndStaysOutstandingUntilItsOwnAnswer) {
    ContextTracker t;
    t.preeditChanged(kB, ":1.6", true, true);
    t.keySent(kB, ":1.6", 40, t0);
    EXPECT_TRUE(t.composing()) << "only the focused context gets keys";
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

    // A client seen collecting a key's effects: its key's own answer is not
    // the end, the follow-up's is.
    t.replyArrived(":1.6", 41);
    t.followUpSent(kB, ":1.6", 42, t0);
    EXPECT_EQ(t.replyArrived(":1.6", 42)->kind, CallKind::EffectsOfKey);
    t.keySent(kB, ":1.6", 43, t0);
    t.replyArrived(":1.6", 43);
    EXPECT_TRUE(t.keyOutstanding(t0 + 1ms));
    t.followUpSent(kB, ":1.6", 44, t0 + 1ms);
    t.replyArrived(":1.6", 44);
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
