#pragma once
// For the programs in the test guest: uinput keyboards, readers of nodes, sendhold.
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vmtest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Keys = std::vector<std::pair<int, int>>;

constexpr int kProbeKey = KEY_F20;  // typed to find where input goes; no layout uses it

inline void check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

struct Frame {  // the events before one SYN_REPORT
    std::vector<input_event> events;
    Clock::time_point readAt;
};

// Key events, unless `all` without autorepeats and probes.
inline Keys keyEvents(const std::vector<Frame>& frames, bool all = false) {
    Keys keys;
    for (const Frame& frame : frames)
        for (const input_event& e : frame.events)
            if (e.type == EV_KEY && (all || (e.value != 2 && e.code != kProbeKey)))
                keys.emplace_back(e.code, e.value);
    return keys;
}

// Reads a node as an application does: read-only, never grabbed.
class Reader {
  public:
    explicit Reader(const std::string& node)
        : fd_(open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {
        check(fd_ >= 0, "open " + node);
    }
    ~Reader() { close(fd_); }

    int fd() const { return fd_; }

    // Frames until the key event (included), the timeout, or the device's end.
    std::vector<Frame> until(int code, int value, milliseconds timeout) {
        std::vector<Frame> frames;
        const auto deadline = Clock::now() + timeout;
        for (input_event e; !gone_;) {
            if (read(fd_, &e, sizeof e) != static_cast<ssize_t>(sizeof e)) {
                gone_ = errno == ENODEV;
                const int left = (deadline - Clock::now()) / 1ms;
                pollfd p{fd_, POLLIN, 0};
                if (left <= 0 || gone_ || poll(&p, 1, left) < 0) break;
            } else if (e.type != EV_SYN || e.code != SYN_REPORT) {
                partial_.push_back(e);
            } else {
                frames.push_back({std::exchange(partial_, {}), Clock::now()});
                if (std::ranges::count(keyEvents({frames.back()}, true), std::pair{code, value}))
                    break;
            }
        }
        return frames;
    }
    std::vector<Frame> collect(milliseconds duration) { return until(-1, -1, duration); }
    // The keys the device reports held (EVIOCGKEY); evdev drops the key events
    // this reader has not read yet.
    std::set<int> keysDown() const {
        unsigned char bits[KEY_MAX / 8 + 1] = {};
        ioctl(fd_, EVIOCGKEY(sizeof bits), bits);
        std::set<int> held;
        for (int code = 0; code <= KEY_MAX; ++code)
            if (bits[code / 8] & (1 << (code % 8))) held.insert(code);
        return held;
    }
    bool canGrab() const { return ioctl(fd_, EVIOCGRAB, 1) == 0 && ioctl(fd_, EVIOCGRAB, 0) == 0; }

  private:
    int fd_;
    bool gone_ = false;
    std::vector<input_event> partial_;
};

inline std::set<std::string> eventNodes() {
    std::set<std::string> nodes;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/input"))
        if (entry.path().filename().string().starts_with("event")) nodes.insert(entry.path());
    return nodes;
}

inline std::string nameOf(const std::string& node) {
    char name[256] = {};
    const int fd = open(node.c_str(), O_RDONLY | O_CLOEXEC);
    ioctl(fd, EVIOCGNAME(sizeof name - 1), name);
    close(fd);
    return name;
}

// The node named `name` once there is one, or "" after the timeout.
inline std::string waitForNode(const std::string& name, milliseconds timeout) {
    for (const auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
        for (const std::string& node : eventNodes())
            if (nameOf(node) == name) return node;
        std::this_thread::sleep_for(100ms);
    }
    return {};
}

// A USB keyboard+touchpad receiver: MSC_SCAN 0x70000 | key, one key event per frame. No
// autorepeat: a key held through a stall would overflow sendhold's buffer (PS/2 repeats).
class Keyboard {
  public:
    explicit Keyboard(const std::string& name) : name_(name) {
        std::unique_ptr<libevdev, void (*)(libevdev*)> device(libevdev_new(), libevdev_free);
        libevdev_set_name(device.get(), name.c_str());
        libevdev_set_id_bustype(device.get(), BUS_USB);
        for (auto [type, code] :
             {std::pair{EV_KEY, BTN_LEFT}, {EV_MSC, MSC_SCAN}, {EV_REL, REL_X}, {EV_REL, REL_Y}})
            libevdev_enable_event_code(device.get(), type, code, nullptr);
        for (unsigned code = KEY_ESC; code <= KEY_MICMUTE; ++code)
            libevdev_enable_event_code(device.get(), EV_KEY, code, nullptr);
        errno = -libevdev_uinput_create_from_device(device.get(), LIBEVDEV_UINPUT_OPEN_MANAGED,
                                                    &uinput_);
        check(errno == 0, "uinput " + name);
        node_ = waitForNode(name, 2s);  // devtmpfs makes it a little after the device
    }
    ~Keyboard() { unplug(); }

    const std::string& name() const { return name_; }
    const std::string& node() const { return node_; }

    void press(int code) { write({{EV_MSC, MSC_SCAN, 0x70000 | code}, {EV_KEY, code, 1}}); }
    void release(int code) { write({{EV_MSC, MSC_SCAN, 0x70000 | code}, {EV_KEY, code, 0}}); }
    void tap(int code, milliseconds hold = 30ms) {
        press(code);
        std::this_thread::sleep_for(hold);
        release(code);
    }
    void move(int dx, int dy) { write({{EV_REL, REL_X, dx}, {EV_REL, REL_Y, dy}}); }
    void unplug() {
        if (uinput_ != nullptr) libevdev_uinput_destroy(std::exchange(uinput_, nullptr));
    }

  private:
    // One frame: the (type, code, value) events, then SYN_REPORT.
    void write(std::vector<std::array<int, 3>> events) {
        events.push_back({EV_SYN, SYN_REPORT, 0});
        for (auto [type, code, value] : events) {
            errno = uinput_ ? -libevdev_uinput_write_event(uinput_, type, code, value) : ENODEV;
            check(errno == 0, name_ + ": write");
        }
    }

    std::string name_;
    std::string node_;
    libevdev_uinput* uinput_ = nullptr;
};

// Types a probe key: the nodes among `nodes` where it shows up.
inline std::vector<std::string> probe(Keyboard& keyboard, const std::set<std::string>& nodes) {
    std::map<std::string, Reader> readers;
    for (const std::string& node : nodes)
        if (access(node.c_str(), R_OK) == 0) readers.try_emplace(node, node);
    keyboard.tap(kProbeKey, 5ms);
    std::this_thread::sleep_for(150ms);
    std::vector<std::string> reached;
    for (auto& [node, reader] : readers)
        for (const Frame& frame : reader.collect(5ms))
            if (keyEvents({frame}, true) == Keys{{kProbeKey, 0}}) reached.push_back(node);
    return reached;
}

// sendhold's twin of the keyboard once it has taken it (the twin may come and go
// meanwhile): input reaches only the twin.
inline std::string taken(Keyboard& keyboard, milliseconds timeout = 15s) {
    for (const auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
        const std::string twin = waitForNode("Sendhold " + keyboard.name(), 1s);
        if (!twin.empty() && probe(keyboard, {keyboard.node(), twin}) == std::vector{twin})
            return twin;
    }
    throw std::runtime_error("sendhold did not take " + keyboard.name());
}

// A real program: sendhold ($SENDHOLD_BIN; guest-init has Qt draw offscreen) unless another
// variable names it, run as root or as a user (setpriv, with that user's home and runtime
// directory); output() is what it printed.
class Sendhold {
  public:
    explicit Sendhold(const std::vector<std::string>& environment = {}, uid_t uid = 0,
                      const char* binaryVariable = "SENDHOLD_BIN") {
        // As under a shell with job control, so that SIGTSTP stops it: a group
        // with no parent in its session, as under the guest's init, never stops.
        setsid();
        pid_ = fork();
        check(pid_ >= 0, "fork");
        if (pid_ > 0) return;
        setpgid(0, 0);
        const int out = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (int fd : {STDOUT_FILENO, STDERR_FILENO}) dup2(out, fd);
        for (const std::string& variable : environment) putenv(strdup(variable.c_str()));
        const char* binary = getenv(binaryVariable);
        if (uid == 0) execl(binary, binary, nullptr);
        const std::string id = std::to_string(uid);
        setenv("HOME", getpwuid(uid)->pw_dir, 1);
        setenv("XDG_RUNTIME_DIR", ("/run/user/" + id).c_str(), 1);
        execl("/usr/bin/setpriv", "setpriv", "--reuid", id.c_str(), "--regid", id.c_str(),
              "--clear-groups", binary, nullptr);
        _exit(127);
    }
    ~Sendhold() {  // the kernel lets go of what it held, even when stopped
        signal(SIGKILL);
        wait(5s);
    }

    void signal(int number) {
        if (pid_ > 0) kill(pid_, number);
    }
    // Until it exits (or, with `stopped`, stops); false after the timeout.
    bool wait(milliseconds timeout, bool stopped = false) {
        for (const auto deadline = Clock::now() + timeout; pid_ > 0 && Clock::now() < deadline;
             std::this_thread::sleep_for(10ms)) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG | (stopped ? WUNTRACED : 0)) != pid_) continue;
            if (WIFSTOPPED(status)) return true;
            pid_ = -1;
        }
        return pid_ < 0 && !stopped;
    }
    pid_t pid() const { return pid_; }
    std::string output() const {
        std::ifstream log(log_);
        return {std::istreambuf_iterator<char>(log), {}};
    }
    // Whether it has printed `text`, waiting up to the timeout.
    bool printed(const std::string& text, milliseconds timeout) const {
        for (const auto deadline = Clock::now() + timeout;; std::this_thread::sleep_for(20ms)) {
            if (output().find(text) != std::string::npos) return true;
            if (Clock::now() > deadline) return false;
        }
    }

  private:
    static inline int started_ = 0;
    pid_t pid_ = -1;
    std::string log_ = "/tmp/sendhold-" + std::to_string(++started_) + ".log";
};

// Seat0's sessions as logind presents them to sd-login: files under /run/systemd,
// each replaced by a rename (sd-login's monitor watches for files moved in).
inline void putRunFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path + ".new") << text;
    std::filesystem::rename(path + ".new", path);
}

// A session of `uid` on seat0 that is not (yet) in front.
inline void openSession(uid_t uid, bool remote = false) {
    const std::string id = std::to_string(uid);
    putRunFile("/run/systemd/users/" + id, "STATE=active\n");
    putRunFile("/run/systemd/sessions/c" + id, "UID=" + id + "\nACTIVE=1\nSTATE=active\nREMOTE=" +
                                                   (remote ? "1\nTYPE=tty" : "0\nTYPE=x11") +
                                                   "\nCLASS=user\nSEAT=seat0\n");
}

// Brings `uid`'s session to the front, the session's file last, as logind rewrites
// it on a switch.
inline void activateSession(uid_t uid, bool remote = false) {
    const std::string id = std::to_string(uid);
    putRunFile("/run/systemd/seats/seat0",
               "IS_SEAT0=1\nACTIVE=c" + id + "\nACTIVE_UID=" + id + "\n");
    openSession(uid, remote);
}

// A raw connection to the keyboard service, made as `uid`: the service goes by the
// credentials the kernel saw at connect().
class ControlClient {
  public:
    ControlClient(const std::string& path, uid_t uid)
        : fd_(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
        sockaddr_un address{AF_UNIX, {}};
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        const bool connected =
            seteuid(uid) == 0 &&
            connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        check(seteuid(0) == 0 && connected, "connect " + path);
    }
    ~ControlClient() { close(fd_); }

    void send(const std::string& text) { check(write(fd_, text.data(), text.size()) >= 0, "send"); }
    // What the service wrote within the timeout; `closed` once it has closed the connection.
    std::string receive(milliseconds timeout) {
        std::string text;
        char buffer[512];
        for (const auto deadline = Clock::now() + timeout; !closed && Clock::now() < deadline;) {
            if (pollfd p{fd_, POLLIN, 0}; poll(&p, 1, 10) <= 0) continue;
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            closed = n <= 0;
            text.append(buffer, std::max<ssize_t>(n, 0));
        }
        return text;
    }
    bool closed = false;

  private:
    int fd_;
};

// The socket's path once it exists (the service binds it), or a throw after the timeout.
inline void waitForSocket(const std::string& path, milliseconds timeout) {
    for (const auto deadline = Clock::now() + timeout; !std::filesystem::exists(path);
         std::this_thread::sleep_for(20ms))
        check(Clock::now() < deadline, "no socket " + path);
}

const Keys kShiftReturn = {{KEY_LEFTSHIFT, 1}, {KEY_ENTER, 1}, {KEY_ENTER, 0}, {KEY_LEFTSHIFT, 0}};
const Keys kReturn = {{KEY_ENTER, 1}, {KEY_ENTER, 0}};

}  // namespace vmtest
