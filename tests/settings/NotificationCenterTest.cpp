#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NotificationCenter.h"

namespace sendhold {
namespace {

TEST(NotificationCenter, DeliversByExactNameAndObserversMayLeaveWhileCalled) {
    NotificationCenter center;
    std::vector<std::string> calls;
    center.addObserver("UpdateIcon", [&] { calls.push_back("a"); });
    NotificationCenter::Token once = center.addObserver("UpdateIcon", [&] {
        calls.push_back("once");
        center.removeObserver(once);
    });
    for (const char* name : {"UpdateIcon", "updateicon", "UpdateIcon"}) center.post(name);
    EXPECT_EQ(calls, (std::vector<std::string>{"a", "once", "a"}));
}

}  // namespace
}  // namespace sendhold
