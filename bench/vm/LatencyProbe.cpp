// Guest side of the latency benchmark (bench/vm/latency): times key events
// from the write on a uinput keyboard to the moment an application reading
// the resulting node gets them, one event in flight at a time.
//
//   sendhold_vm_latency floor|relay|sendhold|service|interception <events>
//   sendhold_vm_latency longpress|timer|qtimer <presses>
//
// Prints "SENDHOLD-VM: latency <path> n=<count> p50=<us> p99=<us> lost=<count>"; the
// service path also "SENDHOLD-VM: rss service kb=<VmRSS>" of sendholdd while it guards.
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Guest.h"

using namespace vmtest;
using namespace std::chrono_literals;

namespace {

constexpr auto kThreshold = 400ms;

void report(const char* path, std::vector<double> micros, int lost, int direct = 0) {
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) {
        return micros.empty() ? 0.0 : micros[static_cast<size_t>(q * (micros.size() - 1))];
    };
    std::printf("SENDHOLD-VM: latency %s n=%zu p50=%.1f p99=%.1f lost=%d direct=%d\n", path,
                micros.size(), at(0.50), at(0.99), lost, direct);
    std::fflush(stdout);
}

double microsSince(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double, std::micro>(end - start).count();
}

// Key-downs and key-ups of one key, alternately; waits for each to come out.
// With `own`, the keyboard's own node is read too, as the desktop reads every
// device: an event that comes there (while sendhold's watchdog has let go of
// the keyboard) is counted as direct, not lost, and not timed.
int passThrough(const char* path, Keyboard& keyboard, Reader& reader, int events,
                Reader* own = nullptr) {
    std::vector<double> micros;
    micros.reserve(events);
    int lost = 0;
    int direct = 0;
    Frame frame;
    std::vector<Reader*> readers{&reader};
    if (own) readers.push_back(own);
    for (int i = 0; i < events; ++i) {
        const int value = i % 2 == 0 ? 1 : 0;
        const auto written = Clock::now();
        value ? keyboard.press(KEY_A) : keyboard.release(KEY_A);
        Reader* arrived = nullptr;
        for (const auto deadline = written + 1s; !arrived && Clock::now() < deadline;) {
            pollfd polled[2] = {{reader.fd(), POLLIN, 0}, {own ? own->fd() : -1, POLLIN, 0}};
            poll(polled, 2, 100);
            for (Reader* r : readers) {
                for (const Frame& got : r->collect(0ms)) {
                    if (!arrived && keyEvents({got}, true) == Keys{{KEY_A, value}}) {
                        arrived = r;
                        frame = got;
                    }
                }
            }
        }
        if (arrived == &reader) {
            micros.push_back(microsSince(written, frame.readAt));
        } else {
            ++(arrived ? direct : lost);
        }
    }
    report(path, micros, lost, direct);
    return lost + direct;
}

// How late the long-press Return comes after the threshold.
void longPress(Keyboard& keyboard, Reader& reader, int presses) {
    std::vector<double> micros;
    int lost = 0;
    for (int i = 0; i < presses; ++i) {
        const auto pressed = Clock::now();
        keyboard.press(KEY_ENTER);
        std::vector<Frame> frames = reader.until(KEY_ENTER, 1, 2s);
        bool arrived = !frames.empty() && !keyEvents({frames.back()}).empty();
        if (arrived) {
            micros.push_back(microsSince(pressed + kThreshold, frames.back().readAt));
        } else {
            ++lost;
        }
        reader.until(KEY_ENTER, 0, 1s);
        keyboard.release(KEY_ENTER);
        reader.collect(50ms);
    }
    report("longpress-late", micros, lost);
}

// The least any separate re-emitting process costs: grab the keyboard, read
// each frame and write it to a uinput clone, nothing else (run in a child).
[[noreturn]] void relay(const std::string& node) {
    int fd = open(node.c_str(), O_RDONLY | O_CLOEXEC);
    libevdev* source = nullptr;
    libevdev_uinput* clone = nullptr;
    if (fd < 0 || libevdev_new_from_fd(fd, &source) != 0 || ioctl(fd, EVIOCGRAB, 1) != 0 ||
        libevdev_uinput_create_from_device(source, LIBEVDEV_UINPUT_OPEN_MANAGED, &clone) != 0) {
        _exit(1);
    }
    const int out = libevdev_uinput_get_fd(clone);
    input_event events[64];
    for (;;) {
        ssize_t n = read(fd, events, sizeof events);
        if (n <= 0) _exit(0);
        if (write(out, events, n) != n) _exit(1);
    }
}

pid_t startRelay(const std::string& node) {
    pid_t pid = fork();
    if (pid == 0) relay(node);
    return pid;
}

// How late a one-shot Qt::PreciseTimer of the threshold fires in a Qt event
// loop, the timer sendhold's long press runs on.
void qtTimerLateness(int count) {
    int argc = 1;
    char name[] = "sendhold_vm_latency";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    std::vector<double> micros;
    Clock::time_point due;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        micros.push_back(microsSince(due, Clock::now()));
        if (static_cast<int>(micros.size()) == count) {
            app.quit();
            return;
        }
        due = Clock::now() + kThreshold;
        timer.start(kThreshold);
    });
    due = Clock::now() + kThreshold;
    timer.start(kThreshold);
    app.exec();
    report("qtimer-late", micros, 0);
}

// How late a plain sleep of the threshold wakes in this machine.
void timerLateness(int count) {
    std::vector<double> micros;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        std::this_thread::sleep_until(start + kThreshold);
        micros.push_back(microsSince(start + kThreshold, Clock::now()));
    }
    report("sleep-late", micros, 0);
}

pid_t startPeer(const std::string& node) {
    const std::string command = "exec interception -g " + node + " | uinput -d " + node;
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// The node other than the keyboard's own and those present before that its
// input reaches once a re-emitter has taken it, or "" after the timeout.
std::string takenOutput(Keyboard& keyboard, const std::set<std::string>& present) {
    for (const auto deadline = Clock::now() + 15s; Clock::now() < deadline;) {
        std::set<std::string> nodes = eventNodes();
        for (const std::string& node : present) nodes.erase(node);
        const std::vector<std::string> reached = probe(keyboard, nodes);
        if (reached.size() == 1 && reached[0] != keyboard.node()) return reached[0];
        std::this_thread::sleep_for(100ms);
    }
    return {};
}

// Says why events went elsewhere: the watchdog, for one, says so.
void note(const Sendhold& program) {
    std::istringstream lines(program.output());
    for (std::string line; std::getline(lines, line);)
        std::printf("SENDHOLD-VM: note: %s\n", line.c_str());
}

// The resident memory of a process, in kB, from /proc/<pid>/status.
long residentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:")) return std::atol(line.c_str() + 6);
    return -1;
}

// sendholdd ($SENDHOLDD_BIN) as root, steered by a client of the user whose
// session is the active one, as the app would steer it.
std::unique_ptr<ControlClient> steerService(const std::string& socket) {
    activateSession(1000);
    waitForSocket(socket, 15s);
    auto client = std::make_unique<ControlClient>(socket, 1000);
    client->send("HELLO 1\nGUARD on\nDURATION absent\nCOMPOSITION none\n");
    return client;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(
            stderr,
            "usage: %s floor|relay|sendhold|service|interception|longpress|timer|qtimer <count>\n",
            argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    const int count = std::atoi(argv[2]);
    try {
        const std::set<std::string> present = eventNodes();
        Keyboard keyboard("sendhold-latency keyboard");
        if (path == "floor") {
            Reader reader(keyboard.node());
            passThrough("floor", keyboard, reader, count);
            return 0;
        }
        if (path == "timer") {
            timerLateness(count);
            return 0;
        }
        if (path == "qtimer") {
            qtTimerLateness(count);
            return 0;
        }
        if (path == "relay" || path == "interception") {
            pid_t peer = path == "relay" ? startRelay(keyboard.node()) : startPeer(keyboard.node());
            std::string output = takenOutput(keyboard, present);
            if (output.empty()) throw std::runtime_error(path + " did not take the keyboard");
            Reader reader(output);
            passThrough(path.c_str(), keyboard, reader, count);
            kill(path == "relay" ? peer : -peer, SIGTERM);
            return 0;
        }
        if (path == "service") {
            const std::string socket = "/tmp/sendhold-latency.sock";
            unlink(socket.c_str());  // left by the last round's service, which was killed
            // No logind in this guest: the seat comes from the files activateSession() wrote.
            Sendhold service({"SENDHOLD_SOCKET=" + socket, "SENDHOLD_TEST_SEAT_DIR=/run/systemd"},
                             0, "SENDHOLDD_BIN");
            auto client = steerService(socket);
            std::string output = takenOutput(keyboard, present);
            if (output.empty()) throw std::runtime_error("sendholdd did not take the keyboard");
            Reader reader(output);
            Reader own(keyboard.node());
            if (passThrough("service", keyboard, reader, count, &own) > 0) note(service);
            std::printf("SENDHOLD-VM: rss service kb=%ld\n", residentKb(service.pid()));
            return 0;
        }
        Sendhold sendhold;
        if (waitForNode("Sendhold AT Translated Set 2 keyboard", 15s).empty()) {
            throw std::runtime_error(sendhold.output());
        }
        std::string output = takenOutput(keyboard, present);
        if (output.empty()) throw std::runtime_error("sendhold did not take the keyboard");
        Reader reader(output);
        Reader own(keyboard.node());
        if (path == "sendhold") {
            if (passThrough("sendhold", keyboard, reader, count, &own) > 0) note(sendhold);
        } else {
            longPress(keyboard, reader, count);
        }
        return 0;
    } catch (const std::exception& e) {
        std::printf("SENDHOLD-VM: latency %s failed: %s\n", path.c_str(), e.what());
        return 1;
    }
}
