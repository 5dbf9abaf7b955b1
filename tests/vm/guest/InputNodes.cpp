#include "InputNodes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "EventReader.h"

namespace vmtest {

std::set<std::string> eventNodes() {
    std::set<std::string> nodes;
    DIR* dir = opendir("/dev/input");
    if (dir == nullptr) return nodes;
    while (dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, "event", 5) == 0) {
            nodes.insert(std::string("/dev/input/") + entry->d_name);
        }
    }
    closedir(dir);
    return nodes;
}

std::string deviceName(const std::string& node) {
    char name[256] = {};
    int fd = open(node.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    ioctl(fd, EVIOCGNAME(sizeof name - 1), name);
    close(fd);
    return name;
}

bool isKeyboard(const std::string& node) {
    unsigned char bits[KEY_MAX / 8 + 1] = {};
    int fd = open(node.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ioctl(fd, EVIOCGBIT(EV_KEY, sizeof bits), bits) >= 0;
    close(fd);
    auto has = [&](int code) { return (bits[code / 8] >> (code % 8)) & 1; };
    return ok && has(KEY_A) && has(KEY_Z) && has(KEY_ENTER);
}

ProbeResult probe(VirtualKeyboard& keyboard, const std::set<std::string>& notOutputs) {
    ProbeResult result;
    EventReader own(keyboard.node());
    std::vector<std::unique_ptr<EventReader>> others;
    for (const std::string& node : eventNodes()) {
        if (node == keyboard.node() || notOutputs.count(node)) continue;
        try {
            others.push_back(std::make_unique<EventReader>(node));
        } catch (const std::exception&) {
            // Gone between the listing and the open.
        }
    }
    keyboard.tap(kProbeKey, std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    auto sawProbe = [](EventReader& reader) {
        for (auto [code, value] : keyEvents(reader.collect(std::chrono::milliseconds(5)))) {
            if (code == kProbeKey && value == 0) return true;
        }
        return false;
    };
    result.onOwnNode = sawProbe(own);
    int found = 0;
    for (auto& reader : others) {
        if (sawProbe(*reader)) {
            result.output = reader->node();
            ++found;
        }
    }
    if (found > 1) result.output = "(several nodes)";
    return result;
}

std::string waitUntilTaken(VirtualKeyboard& keyboard, const std::set<std::string>& notOutputs,
                           std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        ProbeResult result = probe(keyboard, notOutputs);
        if (!result.onOwnNode && !result.output.empty() && result.output[0] == '/') {
            return result.output;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return {};
}

}  // namespace vmtest
