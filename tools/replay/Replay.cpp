#include "Replay.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "KeyboardManager/KeyboardManager.h"
#include "VirtualTime.h"

namespace sendhold {
namespace {

std::string formatTime(double t) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3f", t);
    return buffer;
}

class PrintingPoster final : public EventPoster {
  public:
    PrintingPoster(std::ostream& out, VirtualClock& clock) : out_(out), clock_(clock) {}
    void post(const PostedKeyEvent& e) override {
        out_ << formatTime(clock_.now()) << " post " << (e.keyDown ? "down " : "up ") << e.keyCode;
        if (e.flags) {
            char hex[32];
            std::snprintf(hex, sizeof hex, "%" PRIx64, *e.flags);
            out_ << " flags=0x" << hex;
        }
        out_ << " data=" << e.userData << '\n';
    }

  private:
    std::ostream& out_;
    VirtualClock& clock_;
};

class SettableProbe final : public CompositionProbe {
  public:
    bool marked = false;
    bool hasMarkedText() override { return marked; }
};

class SettableDuration final : public DurationReader {
  public:
    double stored = 0;
    double storedLongPressDuration() override { return stored; }
};

struct ParseError {
    std::string message;
};

std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream stream(line.substr(0, line.find('#')));
    for (std::string word; stream >> word;) words.push_back(word);
    return words;
}

// Every numeric field is parsed strictly: the whole word must be the number,
// with no sign where none fits, no leading space and nothing after it (an
// embedded NUL included).
template <typename T>
T parseWhole(const std::string& text, const char* what, int base = 10) {
    T value{};
    const char* const last = text.data() + text.size();
    std::from_chars_result result;
    if constexpr (std::is_floating_point_v<T>) {
        result = std::from_chars(text.data(), last, value);
    } else {
        result = std::from_chars(text.data(), last, value, base);
    }
    if (text.empty() || result.ec != std::errc() || result.ptr != last)
        throw ParseError{std::string("bad ") + what + " '" + text + "'"};
    return value;
}

bool parseOnOff(const std::vector<std::string>& words) {
    if (words.size() != 3 || (words[2] != "on" && words[2] != "off"))
        throw ParseError{"expected on or off"};
    return words[2] == "on";
}

struct KeyLine {
    std::int64_t code = 0;
    std::uint64_t flags = 0;
    std::int64_t data = 0;
};

KeyLine parseKeyLine(const std::vector<std::string>& words) {
    if (words.size() < 3) throw ParseError{"missing key code"};
    KeyLine key;
    key.code = parseWhole<std::int64_t>(words[2], "key code");
    for (std::size_t i = 3; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.rfind("flags=0x", 0) == 0) {
            key.flags = parseWhole<std::uint64_t>(word.substr(8), "flags", 16);
        } else if (word.rfind("data=", 0) == 0) {
            key.data = parseWhole<std::int64_t>(word.substr(5), "data");
        } else {
            throw ParseError{"unknown field '" + word + "'"};
        }
    }
    return key;
}

}  // namespace

int runReplay(std::istream& in, std::ostream& out, std::ostream& err) {
    auto clock = std::make_shared<VirtualClock>();
    auto timers = std::make_shared<VirtualTimerScheduler>(clock);
    auto probe = std::make_shared<SettableProbe>();
    auto duration = std::make_shared<SettableDuration>();
    KeyboardManagerSeams seams;
    seams.clock = clock;
    seams.timers = timers;
    seams.poster = std::make_shared<PrintingPoster>(out, *clock);
    seams.probe = probe;
    seams.durations = duration;
    KeyboardManager manager(seams);

    std::string line;
    int lineNumber = 0;
    double lastTime = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        try {
            const std::vector<std::string> words = splitWords(line);
            if (words.empty()) continue;
            if (words.size() < 2) throw ParseError{"missing command"};
            const double t = parseWhole<double>(words[0], "time");
            if (!(t >= lastTime)) throw ParseError{"time goes backwards or is not a number"};
            const std::string& command = words[1];
            const bool isEnd = command == "end";
            if (isEnd && words.size() != 2) throw ParseError{"'end' takes no arguments"};
            lastTime = t;
            timers->advanceTo(t, isEnd);
            if (isEnd) break;

            if (command == "down" || command == "up") {
                const KeyLine key = parseKeyLine(words);
                KeyEvent event{key.code, key.flags, key.data};
                const std::uint32_t type = command == "down" ? kEventTypeKeyDown : kEventTypeKeyUp;
                const bool passed = manager.handleEvent(type, &event) != nullptr;
                out << formatTime(t) << (passed ? " pass " : " drop ") << command << ' ' << key.code
                    << '\n';
            } else if (command == "other") {
                if (words.size() != 4) throw ParseError{"expected: other <type> <code>"};
                const auto wide = parseWhole<std::uint64_t>(words[2], "event type");
                if (wide > 0xFFFFFFFFu) throw ParseError{"event type does not fit in 32 bits"};
                const auto type = static_cast<std::uint32_t>(wide);
                KeyEvent event{parseWhole<std::int64_t>(words[3], "key code"), 0, 0};
                const bool passed = manager.handleEvent(type, &event) != nullptr;
                out << formatTime(t) << (passed ? " pass" : " drop") << " other " << type << '\n';
            } else if (command == "duration") {
                if (words.size() != 3) throw ParseError{"expected: duration <seconds>|none"};
                duration->stored =
                    words[2] == "none" ? 0 : parseWhole<double>(words[2], "duration");
            } else if (command == "enabled") {
                manager.isEnabled = parseOnOff(words);
            } else if (command == "off-in-front-app") {
                manager.isOffInFrontApplication = parseOnOff(words);
            } else if (command == "marked") {
                probe->marked = parseOnOff(words);
            } else {
                throw ParseError{"unknown command '" + command + "'"};
            }
        } catch (const ParseError& e) {
            out.flush();
            err << "sendhold-replay: line " << lineNumber << ": " << e.message << '\n';
            return 2;
        }
    }
    out.flush();
    return 0;
}

}  // namespace sendhold
