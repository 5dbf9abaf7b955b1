// Runs a keyboard-hook scenario from standard input on the fake kernel and
// prints each line, then what it caused: twin output, grabs, notices. Lines:
//   keyboard N [noshift] [pointer] [own]   /dev/input/eventN (hot-plugged after start)
//   mouse N | held N KEY | errors UINPUT NODES DIR | start | shutdown | pump MS
//   N key KEY=V | N frame EV... | N partial EV... | N quiet KEY=V | N gone | unplug N
//   N grab-elsewhere | led N LED=V (set on twin N) | status | twin N (its id, repeat)
//   drop KEY... | pass KEY...   the scripted guard drops these keys (or not)
//   on KEY=V post EV...         ...and posts these while deciding KEY=V, once
//   guard real                  the guard itself decides, every press short
//   in-guard KEY=V: CMD; ...    commands run inside the guard (once), with
//   on-grab N: CMD; ...         ...inside the next grab of N; and wait-let-go N
#include <sys/ioctl.h>
#include <systemd/sd-event.h>

#include <iostream>
#include <iterator>
#include <sstream>
#include <thread>

#include "Diagnostics.h"
#include "FakeKernel.h"
#include "KeyboardManager/KeyboardManager.h"
#include "platform/linux/KeyTranslation.h"
#include "platform/linux/LinuxKeyboardTap.h"
#include "platform/linux/OwnDeviceId.h"
#include "platform/linux/SdEventMainLoop.h"

using namespace sendhold;

struct StoppedClock final : Clock {
    double now() override { return 1000; }
};

input_event parse(const std::string& text) {  // NAME=VALUE
    const std::string name = text.substr(0, text.find('='));
    const int value = name.size() < text.size() ? std::stoi(text.substr(name.size() + 1)) : 0;
    return fake::event(libevdev_event_type_from_code_name(name.c_str()),
                       libevdev_event_code_from_code_name(name.c_str()), value);
}

struct Scenario {
    std::shared_ptr<SdEventMainLoop> loop = std::make_shared<SdEventMainLoop>();
    std::shared_ptr<fake::System> system = std::make_shared<fake::System>();
    std::map<int, std::shared_ptr<fake::Device>> devices;
    KeyboardManager guard{{.clock = std::make_shared<StoppedClock>()}};
    std::shared_ptr<LinuxKeyboardTap> tap;
    bool realGuard = false;
    std::set<unsigned> dropped;
    std::map<std::string, std::vector<input_event>> postsOn;
    std::map<std::string, std::string> inGuard;

    KeyEvent* decide(std::uint32_t type, KeyEvent* event) {
        const unsigned code = evdevKeyCode(event->keyCode).value_or(0);
        const std::string key = type != kEventTypeKeyDown && type != kEventTypeKeyUp
                                    ? "notice " + std::to_string(type)
                                    : libevdev_event_code_get_name(EV_KEY, code) +
                                          std::string(type == kEventTypeKeyUp ? "=0" : "=1");
        if (auto found = inGuard.find(key); found != inGuard.end())
            run(inGuard.extract(found).mapped());
        std::cout << "  guard " << key << (event->userData ? " posted" : "") << " flags=0x"
                  << std::hex << event->flags << std::dec << std::endl;
        if (!realGuard && !event->userData) {  // the scripted guard
            for (const input_event& post : std::exchange(postsOn[key], {}))
                tap->post({guardKeyCode(post.code), post.value != 0, std::nullopt, 1});
            if (dropped.count(code)) event = nullptr;
        }
        KeyEvent* result = realGuard ? guard.handleEvent(type, event) : event;
        if (!result) std::cout << "  guard drops it" << std::endl;
        return result;
    }
    void run(const std::string& commands) {
        std::istringstream list(commands);
        for (std::string command; std::getline(list, command, ';');) execute(command);
    }
    void report() {
        for (int i = 0; i < 1000 && sd_event_run(loop->event(), 0) > 0; ++i) continue;
        for (std::size_t i = 0; system->uinput(i); ++i)
            if (const std::string out = system->uinput(i)->take(); !out.empty())
                std::cout << "  twin" << i << ": " << out << '\n';
    }
    void execute(const std::string& line) {
        std::istringstream stream(line);
        const std::vector<std::string> words{std::istream_iterator<std::string>(stream), {}};
        const std::size_t first = !words.empty() && std::isdigit(words[0][0]) ? 1 : 0;
        const std::string verb = words.size() > first ? words[first] : "";
        const std::vector<std::string> a(words.begin() + std::min(first + 1, words.size()),
                                         words.end());
        std::vector<input_event> events;
        for (const std::string& word : a) events.push_back(parse(word));
        auto device = [&](const std::string& name) { return devices.at(std::stoi(name)); };
        auto has = [&](const char* flag) { return std::count(a.begin(), a.end(), flag) > 0; };
        const std::string commands = line.substr(line.find(':') + 1);
        if (verb == "held") return void(device(a[0])->keys.set(parse(a[1]).code));
        if (verb == "shutdown") return tap->shutdown();
        if (verb == "unplug") return system->unplug("/dev/input/event" + a[0]);
        if (verb == "on") return postsOn[a[0]].assign(events.begin() + 2, events.end());
        if (verb == "guard") return void(realGuard = true);
        if (verb == "in-guard") return void(inGuard[a[0].substr(0, a[0].size() - 1)] = commands);
        if (verb == "key") return device(words[0])->key(events.at(0).code, events.at(0).value);
        if (verb == "frame" || verb == "partial")
            return device(words[0])->send(events, verb == "frame");
        if (verb == "quiet")
            return void(device(words[0])->keys.set(events.at(0).code, events.at(0).value));
        if (verb == "errors")
            return void((system->uinputError = std::stoi(a[0]), system->nodeError = std::stoi(a[1]),
                         system->inputDirectory = a[2] == "1"));
        if (verb == "gone") return void(device(words[0])->gone = true);
        if (verb == "keyboard" || verb == "mouse") {
            fake::Shape shape = fake::keyboard("Keyboard " + a[0], !has("noshift"));
            if (verb == "mouse") shape = {};
            if (has("pointer") || verb == "mouse")
                shape.codes.insert({{EV_REL, REL_X}, {EV_KEY, BTN_LEFT}});
            if (has("own")) shape.id = input_id{kOwnBusType, kOwnVendorId, kOwnProductId, 1};
            devices[std::stoi(a[0])] =
                system->add("/dev/input/event" + a[0], shape, tap != nullptr);
        } else if (verb == "start") {
            GuardHooks hooks{
                [this](std::uint32_t type, KeyEvent* event) { return decide(type, event); },
                [this] { return guard.enterPressStartTime.has_value(); },
                [this] { guard.resetEnterPress(); }};
            tap = std::make_shared<LinuxKeyboardTap>(system, hooks, loop, TapOptions{0.3, 0.05});
            guard.bindSeams({.poster = tap, .tap = tap});
            guard.startMonitoring();
        } else if (verb == "status") {
            std::cout << "  grabbed:";
            for (auto& [index, each] : devices)
                std::cout << (each->grabbed() && !each->gone ? " " + std::to_string(index) : "");
            std::cout << "; taken " << tap->takenKeyboardCount() << "; twins:";
            for (std::size_t i = 0; system->uinput(i); ++i)
                std::cout << (system->uinput(i)->destroyed ? "" : " " + std::to_string(i));
            std::cout << "; press " << (guard.enterPressStartTime ? "open" : "none") << '\n';
            for (auto& [index, each] : devices)
                if (const std::string lights = each->lights(); !lights.empty())
                    std::cout << "  lights on " << index << ": " << lights << '\n';
        } else if (verb == "pump") {
            const auto until =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(std::stoi(a[0]));
            while (std::chrono::steady_clock::now() < until) sd_event_run(loop->event(), 1000);
        } else if (verb == "led") {
            ::send(system->uinput(std::stoi(a[0]))->testFd, &events.at(1), sizeof events[0], 0);
        } else if (verb == "twin") {  // how twin N was made
            const fake::Uinput& made = *system->uinput(std::stoi(a[0]));
            std::cout << "  id " << std::hex << made.setup.id.vendor << ":" << made.setup.id.product
                      << std::dec << ", autorepeat "
                      << (made.declared.count({0, EV_REP}) ? "on" : "off") << '\n';
        } else if (verb == "drop" || verb == "pass") {
            for (const input_event& e : events)
                verb == "drop" ? void(dropped.insert(e.code)) : void(dropped.erase(e.code));
        } else if (verb == "on-grab") {
            device(a[0])->onGrab = [this, commands, d = device(a[0])] {
                d->onGrab = nullptr, run(commands);
            };
        } else if (verb == "wait-let-go") {
            for (int i = 0; i < 300 && device(a[0])->grabbed(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } else if (verb == "grab-elsewhere") {
            std::cout << "  other program's grab: " << ioctl(device(words[0])->open(), EVIOCGRAB, 1)
                      << '\n';
        } else {
            std::cout << "  unknown command\n";
        }
    }
};

int main() {
    // Notices interleave with the output in the order they happen.
    diagnosticStreams().problems = &std::cout;
    Scenario scenario;
    for (std::string line; std::getline(std::cin, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::cout << line << std::endl;
        scenario.execute(line);
        scenario.report();
    }
    if (scenario.tap) scenario.tap->shutdown();
}
