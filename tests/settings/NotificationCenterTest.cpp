#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NotificationCenter.h"

namespace sendhold {
namespace {

TEST(NotificationCenter, DeliversSynchronouslyToEveryObserverOfTheNameOnly) {
    NotificationCenter center;
    std::vector<std::string> calls;
    center.addObserver("UpdateIcon", [&] { calls.push_back("a"); });
    center.addObserver("Other", [&] { calls.push_back("other"); });
    center.addObserver("UpdateIcon", [&] { calls.push_back("b"); });
    center.post("UpdateIcon");
    EXPECT_EQ(calls, (std::vector<std::string>{"a", "b"}));
    center.post("updateicon");
    EXPECT_EQ(calls.size(), 2u);
}

TEST(NotificationCenter, ObserversMayRemoveThemselvesWhileBeingCalled) {
    NotificationCenter center;
    int calls = 0;
    NotificationCenter::Token token = 0;
    token = center.addObserver("UpdateIcon", [&] {
        ++calls;
        center.removeObserver(token);
    });
    center.post("UpdateIcon");
    center.post("UpdateIcon");
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace sendhold
