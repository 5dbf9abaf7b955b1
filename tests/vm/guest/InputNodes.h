#pragma once

#include <linux/input.h>

#include <chrono>
#include <set>
#include <string>

#include "VirtualKeyboard.h"

namespace vmtest {

// The key used to find out where a keyboard's input goes; no layout uses it.
constexpr int kProbeKey = KEY_F20;

// Every evdev node present now.
std::set<std::string> eventNodes();
std::string deviceName(const std::string& node);
// A keyboard as the hook counts one: letter keys and Return.
bool isKeyboard(const std::string& node);

// Where a probe key typed on a keyboard shows up.
struct ProbeResult {
    bool onOwnNode = false;  // applications reading the keyboard itself saw it
    std::string output;      // the one other node that carried it, if any
};
ProbeResult probe(VirtualKeyboard& keyboard, const std::set<std::string>& notOutputs);

// Waits until the keyboard is taken: the probe reaches exactly one node that
// is not in `notOutputs` and no longer its own node. Returns that node, or an
// empty string after the timeout.
std::string waitUntilTaken(VirtualKeyboard& keyboard, const std::set<std::string>& notOutputs,
                           std::chrono::milliseconds timeout);

}  // namespace vmtest
