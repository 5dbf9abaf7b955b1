#include "FramePolicy.h"

#include <optional>
#include <vector>

#include "KeyTranslation.h"

namespace sendhold {

bool reachesGuard(const input_event& event) {
    return event.type == EV_KEY && !isPointerButton(event.code) && !isModifierKey(event.code);
}

void forwardFrame(std::span<const input_event> frame, FrameSink& sink) {
    std::vector<input_event> out;
    out.reserve(frame.size());
    std::optional<input_event> scan;
    auto flushScan = [&] {
        if (scan) out.push_back(*scan);
        scan.reset();
    };
    auto writePosts = [&] {
        sink.writeFrame(out);
        out.clear();
        sink.drainPosts();
    };
    for (const input_event& event : frame) {
        if (event.type == EV_SYN && event.code == SYN_REPORT) continue;
        if (event.type == EV_LED || event.type == EV_SND) continue;
        if (event.type == EV_MSC && event.code == MSC_SCAN) {
            flushScan();
            scan = event;
            continue;
        }
        if (!reachesGuard(event)) {
            if (event.type == EV_KEY) flushScan();
            out.push_back(event);
            continue;
        }
        input_event key = event;
        const bool passes = sink.dispatchKey(key);
        if (passes) {
            if (sink.hasPosts()) writePosts();
            if (key.value == 2 && !sink.holds(key.code)) key.value = 1;
            flushScan();
            out.push_back(key);
            continue;
        }
        if (key.value == 0 && sink.holds(key.code)) {
            flushScan();
            out.push_back(key);
        } else {
            scan.reset();
        }
        if (sink.hasPosts()) writePosts();
    }
    flushScan();
    sink.writeFrame(out);
}

bool PostedModifiers::shouldWrite(unsigned code, bool keyDown, bool heldByUser) {
    if (keyDown && heldByUser) {
        skipped_.insert(code);
        return false;
    }
    return keyDown || !skipped_.erase(code);
}

}  // namespace sendhold
