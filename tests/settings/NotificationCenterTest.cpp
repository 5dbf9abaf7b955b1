#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NotificationCenter.h"

namespace sendhold {
namespace {

TEST(NotificationCenter, DeliversSynchronouslyByExactNameAndObserversMayLeaveWhileCalled) {
    NotificationCenter center;
    std::vector<std::string> calls;
    NotificationCenter::Token once = 0;
    center.addObserver("UpdateIcon", [&] { calls.push_back("a"); });
    center.addObserver("Other", [&] { calls.push_back("other"); });
    once = center.addObserver("UpdateIcon", [&] {
        calls.push_back("once");
        center.removeObserver(once);
    });
    center.post("UpdateIcon");
    center.post("updateicon");
    center.post("UpdateIcon");
    EXPECT_EQ(calls, (std::vector<std::string>{"a", "once", "a"}));
}

}  // namespace
}  // namespace sendhold
