#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "service/ControlHub.h"

namespace sendhold {
namespace {

struct FakeSession : ActiveSession {
    std::optional<std::uint32_t> uid = 1000;
    std::optional<std::uint32_t> activeLocalUid() override { return uid; }
};

// Records everything the hub does as "; "-separated events.
struct Recorder : HubOutput {
    std::ostringstream events;
    std::set<ConnectionId> full;  // sockets that take nothing more
    std::optional<std::string> noKeyboards;
    void add(const std::string& event) { events << event << "; "; }
    bool send(ConnectionId id, std::string_view line) override {
        add(std::to_string(id) + "< " + std::string(line.substr(0, line.size() - 1)));
        return !full.count(id);
    }
    void close(ConnectionId id) override { add("close " + std::to_string(id)); }
    void log(std::string_view line) override { add("log " + std::string(line)); }
    std::optional<std::string> engage(const SteeringState& s) override {
        add("engage guard=" + std::to_string(s.guardOn));
        return noKeyboards;
    }
    void update(const SteeringState& s) override {
        std::ostringstream out;
        out << "update guard=" << s.guardOn << " duration=" << s.storedDuration.value_or(-1)
            << " composition=" << s.composition.active << s.composition.pending;
        add(out.str());
    }
    void disengage() override { add("disengage"); }
};

// Steps: "+ID UID" connects (pid 10*ID), "-ID" hangs up, "ID>bytes" sends,
// "session UID|none", "tick", "full ID", "@T" sets the time.
std::string run(const std::vector<std::string>& steps, std::string noKeyboards = "") {
    FakeSession session;
    Recorder out;
    if (!noKeyboards.empty()) out.noKeyboards = noKeyboards;
    ControlHub hub(session, out);
    double now = 0;
    for (const std::string& step : steps) {
        std::istringstream in(step);
        std::string word;
        in >> word;
        const auto id = [&](std::size_t from) { return std::stoull(step.substr(from)); };
        if (step[0] == '+') {
            std::uint32_t uid;
            in >> uid;
            hub.connected(id(1), Peer{uid, static_cast<std::int32_t>(10 * id(1))}, now);
        } else if (step[0] == '-') {
            hub.disconnected(id(1));
        } else if (step[0] == '@') {
            now = std::stod(step.substr(1));
        } else if (word == "session") {
            in >> word;
            session.uid = word == "none" ? std::nullopt : std::optional(std::stoul(word));
            hub.sessionChanged();
        } else if (word == "tick") {
            hub.tick(now);
        } else if (word == "full") {
            out.full.insert(id(5));
        } else {
            const std::size_t mark = step.find('>');
            hub.received(std::stoull(step.substr(0, mark)), step.substr(mark + 1), now);
        }
    }
    return out.events.str();
}

const std::string refusedBy1001 = "log refused uid 1001 (pid 10): ";

TEST(ControlHub, DecidesWhoSteersAndWhatEachClientIsTold) {
    const std::string many = [] {
        std::string lines;
        for (int i = 0; i < 63; ++i) lines += "GUARD on\n";
        return lines;
    }();
    const struct {
        const char* name;
        std::vector<std::string> steps;
        std::string expected;
    } cases[] = {
        {"authorized", {"+1 1000", "1>HEL", "1>LO 1\n"}, "engage guard=1; 1< STATUS guarding; "},
        {"other uid",
         {"+1 1001", "1>HELLO 1\n"},
         "1< REFUSED not the active session; " + refusedBy1001 +
             "not the active session; close 1; "},
        {"remote or no session",
         {"session none", "+1 1000", "1>HELLO 1\n"},
         "1< REFUSED not the active session; log refused uid 1000 (pid 10): not the active "
         "session; close 1; "},
        {"version",
         {"+1 1001", "1>HELLO 2\n"},
         "1< REFUSED protocol version 1 expected; " + refusedBy1001 +
             "protocol version 1 expected; close 1; "},
        {"state follows the steering client only",
         {"+1 1000", "1>HELLO 1\nGUARD off\nDURATION 0.7\nCOMPOSITION active pending\n",
          "session 1001", "1>GUARD on\n"},
         "engage guard=1; 1< STATUS guarding; update guard=0 duration=-1 composition=00; "
         "update guard=0 duration=0.7 composition=00; update guard=0 duration=0.7 "
         "composition=11; disengage; 1< STATUS standby not the active session; "},
        {"session switch hands over and back",
         {"+1 1000", "1>HELLO 1\nGUARD off\n", "session 1001", "+2 1001", "2>HELLO 1\n",
          "session 1000"},
         "engage guard=1; 1< STATUS guarding; update guard=0 duration=-1 composition=00; "
         "disengage; 1< STATUS standby not the active session; engage guard=1; 2< STATUS "
         "guarding; engage guard=0; 1< STATUS guarding; 2< STATUS standby not the active "
         "session; "},
        {"newest client of the user steers; hang-ups hand back",
         {"+1 1000", "+2 1000", "1>HELLO 1\n", "2>HELLO 1\n", "-2", "-1"},
         "engage guard=1; 1< STATUS guarding; engage guard=1; 2< STATUS guarding; 1< STATUS "
         "standby a newer client steers; log closed uid 1000 (pid 20): disconnected; close 2; "
         "engage guard=1; 1< STATUS guarding; log closed uid 1000 (pid 10): disconnected; close "
         "1; disengage; "},
        {"bad line closes only its connection",
         {"+1 1000", "+2 1000", "1>HELLO 1\n", "2>HELLO 1\nGUARD maybe\n", "1>GUARD off\n"},
         "engage guard=1; 1< STATUS guarding; engage guard=1; 2< STATUS guarding; 1< STATUS "
         "standby a newer client steers; 2< REFUSED malformed message; log refused uid 1000 "
         "(pid 20): malformed message; close 2; engage guard=1; 1< STATUS guarding; update "
         "guard=0 duration=-1 composition=00; "},
        {"before HELLO",
         {"+1 1000", "1>GUARD on\nHELLO 1\n"},
         "1< REFUSED malformed message; log refused uid 1000 (pid 10): malformed message; "
         "close 1; "},
        {"second HELLO",
         {"+1 1000", "1>HELLO 1\nHELLO 1\n"},
         "engage guard=1; 1< STATUS guarding; 1< REFUSED malformed message; log refused uid "
         "1000 (pid 10): malformed message; close 1; disengage; "},
        {"unknown word",
         {"+1 1000", "1>HELLO 1\n", "1>STATUS guarding\n"},
         "engage guard=1; 1< STATUS guarding; 1< REFUSED malformed message; log refused uid "
         "1000 (pid 10): malformed message; close 1; disengage; "},
        {"too long before its end",
         {"+1 1000", "1>" + std::string(64, 'A')},
         "1< REFUSED message too long; log refused uid 1000 (pid 10): message too long; close "
         "1; "},
        {"burst of 64, then 100 a second (on standby: no updates)",
         {"+1 1000", "1>HELLO 1\n", "session 1001", "1>" + many, "@0.02", "1>GUARD on\nGUARD on\n",
          "1>GUARD on\n"},
         "engage guard=1; 1< STATUS guarding; disengage; 1< STATUS standby not the active "
         "session; 1< REFUSED too many messages; log refused uid 1000 (pid 10): too many "
         "messages; close 1; "},
        {"HELLO timeout",
         {"+1 1000", "+2 1000", "@1.5", "2>HELLO 1\n", "@1.99", "tick", "@2", "tick"},
         "engage guard=1; 2< STATUS guarding; log closed uid 1000 (pid 10): no HELLO in time; "
         "close 1; "},
        {"client that does not read is dropped",
         {"+1 1000", "+2 1000", "1>HELLO 1\n", "full 1", "2>HELLO 1\n"},
         "engage guard=1; 1< STATUS guarding; engage guard=1; 2< STATUS guarding; 1< STATUS "
         "standby a newer client steers; log closed uid 1000 (pid 10): does not read what it is "
         "sent; close 1; "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(c.steps), c.expected) << c.name;
    }
}

TEST(ControlHub, TooManyClientsAndNoKeyboards) {
    std::vector<std::string> steps;
    for (int i = 1; i <= 17; ++i) steps.push_back("+" + std::to_string(i) + " 1000");
    steps.push_back("16>HELLO 1\n");
    EXPECT_EQ(run(steps, "no keyboard found"),
              "17< REFUSED too many clients; log refused uid 1000 (pid 170): too many clients; "
              "close 17; engage guard=1; 16< STATUS no-keyboards no keyboard found; ");
}

}  // namespace
}  // namespace sendhold
