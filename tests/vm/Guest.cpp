#include "Guest.h"

#include <dirent.h>
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vmtest {
namespace {

std::runtime_error failure(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

Keys Frame::keys() const {
    Keys result;
    for (const input_event& e : events) {
        if (e.type == EV_KEY) result.emplace_back(e.code, e.value);
    }
    return result;
}

int Frame::scanCode() const {
    for (const input_event& e : events) {
        if (e.type == EV_MSC && e.code == MSC_SCAN) return e.value;
    }
    return -1;
}

Keys keyEvents(const std::vector<Frame>& frames) {
    Keys result;
    for (const Frame& frame : frames) {
        for (auto key : frame.keys()) {
            if (key.second != 2 && key.first != kProbeKey) result.push_back(key);
        }
    }
    return result;
}

std::string describe(const Keys& keys) {
    std::string text;
    for (auto [code, value] : keys) {
        text += (text.empty() ? "" : ", ") + std::to_string(code) + (value ? " down" : " up");
    }
    return text.empty() ? "nothing" : text;
}

Reader::Reader(const std::string& node)
    : node_(node), fd_(open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {
    if (fd_ < 0) throw failure("open " + node);
}

Reader::~Reader() {
    close(fd_);
}

bool Reader::next(Frame& frame, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    input_event e;
    while (!gone_) {
        ssize_t n = read(fd_, &e, sizeof e);
        if (n == static_cast<ssize_t>(sizeof e) && e.type == EV_SYN && e.code == SYN_REPORT) {
            frame = {std::move(partial_), Clock::now()};
            partial_.clear();
            return true;
        }
        if (n == static_cast<ssize_t>(sizeof e)) {
            partial_.push_back(e);
            continue;
        }
        gone_ = n < 0 && errno == ENODEV;
        if (n < 0 && errno != EAGAIN && errno != EINTR && !gone_) throw failure("read " + node_);
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd_, POLLIN, 0};
        if (left <= 0 || gone_) break;
        if (poll(&p, 1, static_cast<int>(left)) > 0 && (p.revents & (POLLHUP | POLLERR))) {
            gone_ = true;
        }
    }
    return false;
}

std::vector<Frame> Reader::until(int code, int value, milliseconds timeout) {
    std::vector<Frame> frames;
    const auto deadline = Clock::now() + timeout;
    Frame frame;
    while (next(frame, std::chrono::duration_cast<milliseconds>(deadline - Clock::now()))) {
        frames.push_back(frame);
        for (auto key : frame.keys()) {
            if (key == std::make_pair(code, value)) return frames;
        }
    }
    return frames;
}

std::set<int> Reader::keysDown() const {
    unsigned char bits[KEY_MAX / 8 + 1] = {};
    std::set<int> held;
    ioctl(fd_, EVIOCGKEY(sizeof bits), bits);
    for (int code = 0; code <= KEY_MAX; ++code) {
        if (bits[code / 8] & (1 << (code % 8))) held.insert(code);
    }
    return held;
}

bool Reader::canGrab() const {
    if (ioctl(fd_, EVIOCGRAB, 1) != 0) return false;
    ioctl(fd_, EVIOCGRAB, 0);
    return true;
}

Keyboard::Keyboard(const std::string& name, bool withPointer)
    : name_(name), device_(libevdev_new()) {
    libevdev_set_name(device_, name.c_str());
    libevdev_set_id_bustype(device_, BUS_USB);
    libevdev_set_id_vendor(device_, 0x7e57);
    for (unsigned code = KEY_ESC; code <= KEY_MICMUTE; ++code) {
        libevdev_enable_event_code(device_, EV_KEY, code, nullptr);
    }
    libevdev_enable_event_code(device_, EV_MSC, MSC_SCAN, nullptr);
    // The input core then repeats held keys, as for real USB keyboards.
    int delay = 250, period = 33;
    libevdev_enable_event_code(device_, EV_REP, REP_DELAY, &delay);
    libevdev_enable_event_code(device_, EV_REP, REP_PERIOD, &period);
    if (withPointer) {
        libevdev_enable_event_code(device_, EV_REL, REL_X, nullptr);
        libevdev_enable_event_code(device_, EV_REL, REL_Y, nullptr);
        libevdev_enable_event_code(device_, EV_KEY, BTN_LEFT, nullptr);
    }
    errno = -libevdev_uinput_create_from_device(device_, LIBEVDEV_UINPUT_OPEN_MANAGED, &uinput_);
    if (errno != 0) throw failure("uinput keyboard " + name);
    // devtmpfs makes the node a few milliseconds after the device exists.
    for (int i = 0; i < 200 && node_.empty(); ++i) {
        const char* node = libevdev_uinput_get_devnode(uinput_);
        if (node != nullptr && access(node, R_OK) == 0) node_ = node;
        std::this_thread::sleep_for(5ms);
    }
    if (node_.empty()) throw std::runtime_error(name + " got no node");
}

Keyboard::~Keyboard() {
    unplug();
    libevdev_free(device_);
}

void Keyboard::write(unsigned type, unsigned code, int value) {
    if (uinput_ == nullptr) throw std::logic_error(name_ + " is unplugged");
    errno = -libevdev_uinput_write_event(uinput_, type, code, value);
    if (errno != 0) throw failure(name_ + ": write");
}

void Keyboard::key(int code, int value) {
    write(EV_MSC, MSC_SCAN, scanCode(code));
    write(EV_KEY, code, value);
    write(EV_SYN, SYN_REPORT, 0);
}

void Keyboard::tap(int code, milliseconds hold) {
    press(code);
    std::this_thread::sleep_for(hold);
    release(code);
}

void Keyboard::move(int dx, int dy) {
    write(EV_REL, REL_X, dx);
    write(EV_REL, REL_Y, dy);
    write(EV_SYN, SYN_REPORT, 0);
}

void Keyboard::unplug() {
    if (uinput_ != nullptr) libevdev_uinput_destroy(uinput_);
    uinput_ = nullptr;
}

void Keyboard::setRepeatDelay(milliseconds delay) {
    unsigned repeat[2] = {static_cast<unsigned>(delay.count()), 33};
    const int fd = open(node_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 || ioctl(fd, EVIOCSREP, repeat) != 0) throw failure(name_ + ": EVIOCSREP");
    close(fd);
}

std::set<std::string> eventNodes() {
    std::set<std::string> nodes;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/dev/input"), closedir);
    while (dirent* entry = dir ? readdir(dir.get()) : nullptr) {
        if (std::strncmp(entry->d_name, "event", 5) == 0) {
            nodes.insert(std::string("/dev/input/") + entry->d_name);
        }
    }
    return nodes;
}

std::string deviceName(const std::string& node) {
    char name[256] = {};
    ioctl(Reader(node).fd(), EVIOCGNAME(sizeof name - 1), name);
    return name;
}

bool isKeyboard(const std::string& node) {
    unsigned char bits[KEY_MAX / 8 + 1] = {};
    ioctl(Reader(node).fd(), EVIOCGBIT(EV_KEY, sizeof bits), bits);
    auto has = [&](int code) { return (bits[code / 8] >> (code % 8)) & 1; };
    return has(KEY_A) && has(KEY_Z) && has(KEY_ENTER);
}

namespace {

// The nodes among `readers` where a probe key typed now shows up.
std::vector<std::string> probe(Keyboard& keyboard, const std::set<std::string>& nodes) {
    std::vector<std::unique_ptr<Reader>> readers;
    for (const std::string& node : nodes) {
        try {
            readers.push_back(std::make_unique<Reader>(node));
        } catch (const std::exception&) {
            // Gone between the listing and the open.
        }
    }
    keyboard.tap(kProbeKey, 5ms);
    std::this_thread::sleep_for(150ms);
    std::vector<std::string> reached;
    for (auto& reader : readers) {
        for (const Frame& frame : reader->collect(5ms)) {
            if (frame.keys() == Keys{{kProbeKey, 0}}) reached.push_back(reader->node());
        }
    }
    return reached;
}

}  // namespace

bool reachesOwnNode(Keyboard& keyboard) {
    return !probe(keyboard, {keyboard.node()}).empty();
}

std::string waitUntilTaken(Keyboard& keyboard, const std::set<std::string>& notOutputs,
                           milliseconds timeout) {
    for (const auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
        std::set<std::string> nodes = eventNodes();
        for (const std::string& node : notOutputs) {
            if (node != keyboard.node()) nodes.erase(node);
        }
        std::vector<std::string> reached = probe(keyboard, nodes);
        if (reached.size() == 1 && reached[0] != keyboard.node()) return reached[0];
        std::this_thread::sleep_for(100ms);
    }
    return {};
}

bool Sendhold::available() {
    const char* binary = std::getenv("SENDHOLD_BIN");
    return binary != nullptr && access(binary, X_OK) == 0;
}

Sendhold::Sendhold(const std::vector<std::string>& environment) {
    static int count = 0;
    log_ = "/tmp/sendhold-" + std::to_string(++count) + ".log";
    const std::string binary = std::getenv("SENDHOLD_BIN");
    std::vector<std::string> variables{"QT_QPA_PLATFORM=offscreen"};
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "SENDHOLD_", 9) != 0) variables.emplace_back(*e);
    }
    variables.insert(variables.end(), environment.begin(), environment.end());
    // As under a shell with job control: a session of ours, sendhold in a process
    // group of its own in it, so that SIGTSTP stops it (a group without a parent
    // in the session, like everything under the guest's init, is never stopped).
    setsid();
    pid_ = fork();
    if (pid_ < 0) throw failure("fork");
    if (pid_ > 0) return;
    setpgid(0, 0);
    int out = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    std::vector<char*> envp;
    for (std::string& v : variables) envp.push_back(v.data());
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(binary.c_str()), nullptr};
    execve(argv[0], argv, envp.data());
    _exit(127);
}

Sendhold::~Sendhold() {
    signal(SIGCONT);
    signal(SIGTERM);
    if (!wait(5s)) {
        signal(SIGKILL);
        wait(5s);
    }
}

bool Sendhold::waitUntilMonitoring(milliseconds timeout) {
    for (const auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
        if (output().find("監視スタート") != std::string::npos) return true;
        if (wait(20ms)) return false;
    }
    return false;
}

void Sendhold::signal(int number) {
    if (pid_ > 0) kill(pid_, number);
}

bool Sendhold::wait(milliseconds timeout, bool stopped) {
    for (const auto deadline = Clock::now() + timeout; pid_ > 0;) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG | (stopped ? WUNTRACED : 0)) == pid_) {
            if (WIFSTOPPED(status)) return true;
            pid_ = -1;
            return !stopped;
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return !stopped;
}

std::string Sendhold::output() const {
    std::stringstream text;
    text << std::ifstream(log_).rdbuf();
    return text.str();
}

}  // namespace vmtest
