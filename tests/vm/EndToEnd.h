#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "guest/EventReader.h"
#include "guest/InputNodes.h"
#include "guest/SendholdProcess.h"
#include "guest/VirtualKeyboard.h"

namespace vmtest {

using namespace std::chrono_literals;
using Keys = std::vector<std::pair<int, int>>;

// The guard's default long-press threshold; nothing in the guest changes it.
constexpr auto kThreshold = 400ms;
constexpr auto kShortHold = 60ms;
// Generous because everything runs under software emulation on a shared machine.
constexpr auto kSettle = 15s;

// What applications must see for one short press of Return.
inline const Keys kShiftReturn = {
    {KEY_LEFTSHIFT, 1}, {KEY_ENTER, 1}, {KEY_ENTER, 0}, {KEY_LEFTSHIFT, 0}};

// Runs the real sendhold binary against keyboards made in the guest and reads
// its output devices as applications would.
class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!SendholdProcess::available()) {
            GTEST_SKIP() << "SENDHOLD_BIN is not set to the sendhold binary";
        }
        present_ = eventNodes();
    }

    void TearDown() override {
        if (HasFailure() && sendhold_) std::cout << sendhold_->output() << std::endl;
        sendhold_.reset();
        keyboards_.clear();
    }

    VirtualKeyboard& addKeyboard(const std::string& name, bool withPointer = false) {
        keyboards_.push_back(std::make_unique<VirtualKeyboard>(name, withPointer));
        return *keyboards_.back();
    }

    // Starts sendhold; true once it says its keyboard hook runs.
    bool start(const std::vector<std::string>& environment = {}) {
        sendhold_ = std::make_unique<SendholdProcess>(environment);
        if (sendhold_->waitUntilMonitoring(kSettle)) return true;
        ADD_FAILURE() << "sendhold did not start monitoring\n" << sendhold_->output();
        return false;
    }

    // Nodes that are not sendhold's output: those present before the test and
    // the test's own keyboards.
    std::set<std::string> sources() const {
        std::set<std::string> nodes = present_;
        for (const auto& keyboard : keyboards_) nodes.insert(keyboard->node());
        return nodes;
    }

    // sendhold's output node for the keyboard, once it has taken it; empty
    // (and a failure) if it does not take it in time.
    std::string takenOutput(VirtualKeyboard& keyboard) {
        std::string output = waitUntilTaken(keyboard, sources(), kSettle);
        if (output.empty()) ADD_FAILURE() << "sendhold did not take " << keyboard.name();
        return output;
    }

    std::set<std::string> present_;
    std::vector<std::unique_ptr<VirtualKeyboard>> keyboards_;
    std::unique_ptr<SendholdProcess> sendhold_;
};

// Checks that each key event came in a frame of its own.
inline void expectOneKeyPerFrame(const std::vector<Frame>& frames) {
    for (const Frame& frame : frames) {
        if (frame.onlyRepeats()) continue;
        EXPECT_LE(frame.keys().size(), 1u)
            << "several keys in one frame: " << describe(frame.keys());
    }
}

}  // namespace vmtest
