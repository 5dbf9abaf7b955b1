// Runs a frame trace from standard input through the frame policy with a
// scripted guard and prints what the guard was handed and what the twin got.
//   frame EV...           a frame read from the keyboard, e.g. MSC_SCAN=30 KEY_A=1
//   drop CODE... / pass CODE...   the guard drops (or passes again) these keys
//   on KEY=V post EV...   while deciding KEY=V (once), the guard posts these
//   other KEY=V           another keyboard's twin presses or releases KEY
#include <libevdev/libevdev.h>

#include <bitset>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "FramePolicy.h"
#include "KeyTranslation.h"

namespace sendhold {
namespace {

input_event parse(const std::string& text) {
    const std::size_t equals = text.find('=');
    const std::string name = text.substr(0, equals);
    input_event event{};
    event.type = static_cast<__u16>(libevdev_event_type_from_code_name(name.c_str()));
    event.code = static_cast<__u16>(libevdev_event_code_from_code_name(name.c_str()));
    event.value = equals == std::string::npos ? 0 : std::stoi(text.substr(equals + 1));
    return event;
}

std::string show(const input_event& event) {
    return std::string(libevdev_event_code_get_name(event.type, event.code)) + "=" +
           std::to_string(event.value);
}

struct ScriptedGuard final : FrameSink {
    std::set<unsigned> dropped;
    std::map<std::string, std::vector<input_event>> postsOn;
    std::vector<input_event> posts;
    std::bitset<KEY_CNT> twin, other;
    PostedModifiers modifiers;

    bool dispatchKey(const input_event& key) override {
        const bool passes = !dropped.count(key.code);
        std::cout << "guard " << guardKeyCode(key.code) << " " << show(key)
                  << (passes ? " pass\n" : " drop\n");
        if (auto found = postsOn.find(show(key)); found != postsOn.end()) {
            posts = found->second;
            postsOn.erase(found);
        }
        return passes;
    }
    bool holds(unsigned code) const override { return twin.test(code); }
    void writeFrame(std::span<const input_event> events) override {
        if (events.empty()) return;
        std::cout << "out";
        for (const input_event& event : events) {
            if (event.type == EV_KEY) twin.set(event.code, event.value != 0);
            std::cout << ' ' << show(event);
        }
        std::cout << '\n';
    }
    bool hasPosts() const override { return !posts.empty(); }
    void drainPosts() override {
        for (const input_event& post : std::exchange(posts, {})) {
            // Posted keys leave as the guard's numbers and come back as evdev codes.
            input_event event = post;
            event.code = static_cast<__u16>(evdevKeyCode(guardKeyCode(post.code)).value_or(0));
            const bool held = twin.test(event.code) || other.test(event.code);
            if (!isModifierKey(event.code) || modifiers.shouldWrite(event.code, event.value, held))
                writeFrame({&event, 1});
        }
    }
};

}  // namespace
}  // namespace sendhold

int main() {
    sendhold::ScriptedGuard guard;
    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream words(line);
        std::string verb, word;
        words >> verb;
        std::vector<input_event> events;
        if (verb == "on") {
            std::string key;
            words >> key >> word;
            while (words >> word) guard.postsOn[key].push_back(sendhold::parse(word));
            continue;
        }
        while (words >> word) events.push_back(sendhold::parse(word));
        for (const input_event& event : events) {
            if (verb == "drop") guard.dropped.insert(event.code);
            if (verb == "pass") guard.dropped.erase(event.code);
            if (verb == "other") guard.other.set(event.code, event.value != 0);
        }
        if (verb != "frame") continue;
        events.push_back(sendhold::parse("SYN_REPORT"));
        std::cout << line << '\n';
        sendhold::forwardFrame(events, guard);
    }
}
