#pragma once
// What the programs in the test guest use: uinput keyboards, readers that see
// a node as applications do, and the real sendhold process.
#include <linux/input.h>
#include <sys/types.h>

#include <chrono>
#include <set>
#include <string>
#include <utility>
#include <vector>

struct libevdev;
struct libevdev_uinput;

namespace vmtest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Keys = std::vector<std::pair<int, int>>;

// The key typed to find out where a keyboard's input goes; no layout uses it.
constexpr int kProbeKey = KEY_F20;

// The events before one SYN_REPORT, as an application reads them.
struct Frame {
    std::vector<input_event> events;
    Clock::time_point readAt;
    Keys keys() const;     // EV_KEY events as (code, value)
    int scanCode() const;  // the MSC_SCAN value, or -1
};

// Key events without autorepeats and probes; readable form for failures.
Keys keyEvents(const std::vector<Frame>& frames);
std::string describe(const Keys& keys);

// Reads a node as an application does: read-only, never grabbed.
class Reader {
  public:
    explicit Reader(const std::string& node);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    int fd() const { return fd_; }
    const std::string& node() const { return node_; }
    // The next frame; false after the timeout or once the device is gone.
    bool next(Frame& frame, milliseconds timeout);
    // Frames until the key event (included) or the timeout.
    std::vector<Frame> until(int code, int value, milliseconds timeout);
    std::vector<Frame> collect(milliseconds duration) { return until(-1, -1, duration); }
    std::set<int> keysDown() const;  // EVIOCGKEY, whatever was read
    bool gone() const { return gone_; }
    bool canGrab() const;  // nobody holds the device exclusively

  private:
    std::string node_;
    int fd_;
    bool gone_ = false;
    std::vector<input_event> partial_;
};

// A uinput keyboard as a USB one appears: every key, MSC_SCAN, kernel
// autorepeat, optionally a pointer; one key event per frame.
class Keyboard {
  public:
    explicit Keyboard(const std::string& name, bool withPointer = false);
    ~Keyboard();
    Keyboard(const Keyboard&) = delete;
    Keyboard& operator=(const Keyboard&) = delete;

    const std::string& name() const { return name_; }
    const std::string& node() const { return node_; }
    void press(int code) { key(code, 1); }
    void release(int code) { key(code, 0); }
    void tap(int code, milliseconds hold = 30ms);
    void move(int dx, int dy);
    void unplug();
    // The kernel's autorepeat delay for this keyboard (EVIOCSREP).
    void setRepeatDelay(milliseconds delay);
    static int scanCode(int code) { return 0x70000 | code; }

  private:
    void key(int code, int value);
    void write(unsigned type, unsigned code, int value);

    std::string name_;
    std::string node_;
    libevdev* device_;
    libevdev_uinput* uinput_ = nullptr;
};

std::set<std::string> eventNodes();
std::string deviceName(const std::string& node);
bool isKeyboard(const std::string& node);  // letter keys and Return

// Types probe keys until they reach exactly one node outside `notOutputs` and
// no longer the keyboard's own: that node, or "" after the timeout.
std::string waitUntilTaken(Keyboard& keyboard, const std::set<std::string>& notOutputs,
                           milliseconds timeout);
// Whether a probe key typed now reaches applications reading the keyboard itself.
bool reachesOwnNode(Keyboard& keyboard);

// The real sendhold binary ($SENDHOLD_BIN) with no display; its output goes to
// files that a failing test shows.
class Sendhold {
  public:
    explicit Sendhold(const std::vector<std::string>& environment = {});
    ~Sendhold();
    Sendhold(const Sendhold&) = delete;
    Sendhold& operator=(const Sendhold&) = delete;

    static bool available();
    bool waitUntilMonitoring(milliseconds timeout);
    void signal(int number);
    // Until it exits (or, with `stopped`, stops); false after the timeout.
    bool wait(milliseconds timeout, bool stopped = false);
    std::string output() const;

  private:
    pid_t pid_ = -1;
    std::string log_;
};

}  // namespace vmtest
