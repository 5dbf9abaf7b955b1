#include <gtest/gtest.h>

#include <map>
#include <set>

#include "service/ControlHub.h"

namespace sendhold {
namespace {

// Plays the seat, and records everything the hub does as "; "-separated events.
struct Recorder : HubOutput, ActiveSession {
    std::optional<std::uint32_t> uid = 1000;
    std::optional<std::uint32_t> activeLocalUid() override { return uid; }
    std::map<std::int32_t, PeerPlace> places;  // by pid; a local session when not named
    PeerPlace placeOf(const Peer& peer) override {
        return places.count(peer.pid) ? places[peer.pid] : PeerPlace::LocalSession;
    }
    std::string events;
    std::set<ConnectionId> full;  // sockets that take nothing more
    std::optional<std::string> noKeyboards;
    void add(const std::string& event) { events += event + "; "; }
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
        add("update " + std::to_string(s.guardOn) + " " +
            std::to_string(s.storedDuration.value_or(-1)) + " " +
            std::to_string(s.composition.active) + std::to_string(s.composition.pending));
    }
    void disengage() override { add("disengage"); }
};

// Steps (each followed by a tick): "+ID UID" connects (pid 10*ID), "-ID" hangs up, "ID>bytes"
// sends, "session UID|none", "place ID remote|none|manager", "full ID", "no-keyboards WHY", "@T"
// sets the time, "awaits?" records whether Return would wait for the next COMPOSITION line.
std::string run(const std::vector<std::string>& steps) {
    Recorder out;
    ControlHub hub(out, out);
    double now = 0;
    for (const std::string& step : steps) {
        const std::string arg = step.substr(step.find_first_of(" >") + 1);
        const auto id = [&] { return std::stoi(step.substr(step[0] == '+' || step[0] == '-')); };
        if (step[0] == '+') {
            hub.connected(id(), Peer{std::uint32_t(std::stoul(arg)), 10 * id()}, now);
        } else if (step[0] == '-') {
            hub.disconnected(id());
        } else if (step[0] == '@') {
            now = std::stod(step.substr(1));
        } else if (step.starts_with("session")) {
            out.uid = arg == "none" ? std::nullopt : std::optional(std::stoul(arg));
            hub.sessionChanged();
        } else if (step.starts_with("place")) {
            const std::string where = arg.substr(arg.find(' ') + 1);
            out.places[10 * std::stoi(arg)] = where == "remote" ? PeerPlace::RemoteSession
                                              : where == "none" ? PeerPlace::NoSession
                                                                : PeerPlace::UserManager;
        } else if (step.starts_with("no-keyboards")) {
            out.noKeyboards = arg;
        } else if (step == "awaits?") {
            out.add("awaits " + std::to_string(hub.awaitsComposition(now)));
        } else if (step.starts_with("full")) {
            out.full.insert(std::stoul(arg));
        } else {
            hub.received(id(), arg, now);
        }
        hub.tick(now);
    }
    return out.events;
}

std::string guarding(int id, bool guard = true) {
    return "engage guard=" + std::to_string(guard) + "; " + std::to_string(id) +
           "< STATUS guarding; ";
}
std::string standby(int id, bool newer = false) {
    return std::to_string(id) + "< STATUS standby " +
           (newer ? "a newer client steers; " : "not the active session; ");
}
std::string refused(int id, int uid, const std::string& why) {
    const std::string n = std::to_string(id);
    return n + "< REFUSED " + why + "; log refused uid " + std::to_string(uid) + " (pid " + n +
           "0): " + why + "; close " + n + "; ";
}
std::string closed(int id, const std::string& why) {
    const std::string n = std::to_string(id);
    return "log closed uid 1000 (pid " + n + "0): " + why + "; close " + n + "; ";
}
const std::string update0 = "update 0 -1.000000 00; ";

TEST(ControlHub, DecidesWhoSteersAndWhatEachClientIsTold) {
    std::string many;
    for (int i = 0; i < 63; ++i) many += "GUARD on\n";
    std::vector<std::string> crowd{"no-keyboards no keyboard found", "+1 1000"};
    for (int i = 2; i <= 17; ++i) crowd.push_back("+" + std::to_string(i) + " 1001");
    crowd.insert(crowd.end(), {"+18 1000", "18>HELLO 1\n"});
    const struct {
        const char* name;
        std::vector<std::string> steps;
        std::string expected;
    } cases[] = {
        {"another local user waits, then steers after the switch",
         {"+1 1001", "1>HEL", "1>LO 1\n", "session 1001"},
         standby(1) + guarding(1)},
        {"remote and sessionless clients are refused; the user manager steers",
         {"place 1 remote", "+1 1000", "1>HELLO 1\n", "place 2 none", "+2 1000", "2>HELLO 1\n",
          "place 3 manager", "+3 1000", "3>HELLO 1\n"},
         refused(1, 1000, "a remote session") + refused(2, 1000, "not in a local session") +
             guarding(3)},
        {"version", {"+1 1001", "1>HELLO 2\n"}, refused(1, 1001, "protocol version 1 expected")},
        {"state follows the steering client only",
         {"+1 1000", "1>HELLO 1\nGUARD off\nDURATION 0.7\nCOMPOSITION active pending\n",
          "session 1001", "1>GUARD on\n"},
         guarding(1) + update0 + "update 0 0.700000 00; update 0 0.700000 11; disengage; " +
             standby(1)},
        {"a pending composition holds Return back only while fresh",
         {"+1 1000", "1>HELLO 1\n", "@1", "1>COMPOSITION none pending\n", "awaits?", "@1.049",
          "awaits?", "@1.051", "awaits?", "1>COMPOSITION active\n", "awaits?"},
         guarding(1) + "update 1 -1.000000 01; awaits 1; awaits 1; awaits 0; " +
             "update 1 -1.000000 10; awaits 0; "},
        {"session switch hands over and back",
         {"+1 1000", "1>HELLO 1\nGUARD off\n", "session 1001", "+2 1001", "2>HELLO 1\n",
          "session 1000"},
         guarding(1) + update0 + "disengage; " + standby(1) + guarding(2) + guarding(1, false) +
             standby(2)},
        {"newest client of the user steers; hang-ups hand back",
         {"+1 1000", "+2 1000", "1>HELLO 1\n", "2>HELLO 1\n", "-2", "-1"},
         guarding(1) + guarding(2) + standby(1, true) + closed(2, "disconnected") + guarding(1) +
             closed(1, "disconnected") + "disengage; "},
        {"bad line closes only its connection",
         {"+1 1000", "+2 1000", "1>HELLO 1\n", "2>HELLO 1\nGUARD maybe\n", "1>GUARD off\n"},
         guarding(1) + guarding(2) + standby(1, true) + refused(2, 1000, "malformed message") +
             guarding(1) + update0},
        {"before HELLO",
         {"+1 1000", "1>GUARD on\nHELLO 1\n"},
         refused(1, 1000, "malformed message")},
        {"63 bytes fit, 64 are too long before their end",
         {"+1 1000", "1>HELLO 1\nDURATION 0." + std::string(51, '0') + "5\n",
          "1>" + std::string(64, 'A')},
         guarding(1) + "update 1 0.000000 00; " + refused(1, 1000, "message too long") +
             "disengage; "},
        {"burst of 64, then 100 a second (on standby: no updates)",
         {"+1 1000", "1>HELLO 1\n", "session 1001", "1>" + many, "@0.02", "1>GUARD on\nGUARD on\n",
          "1>GUARD on\n"},
         guarding(1) + "disengage; " + standby(1) + refused(1, 1000, "too many messages")},
        {"HELLO timeout",
         {"+1 1000", "+2 1000", "@1.5", "2>HELLO 1\n", "@1.99", "@2"},
         guarding(2) + closed(1, "no HELLO in time")},
        {"client that does not read is dropped",
         {"+1 1000", "+2 1000", "1>HELLO 1\n", "full 1", "2>HELLO 1\n"},
         guarding(1) + guarding(2) + standby(1, true) + closed(1, "does not read what it is sent")},
        {"too many clients, but the active user gets in; no keyboards", crowd,
         refused(17, 1001, "too many clients") + refused(2, 1001, "too many clients") +
             "engage guard=1; 18< STATUS no-keyboards no keyboard found; "},
        {"no local session in front", {"session none", "+1 1000", "1>HELLO 1\n"}, standby(1)},
    };
    for (const auto& c : cases) EXPECT_EQ(run(c.steps), c.expected) << c.name;
}

}  // namespace
}  // namespace sendhold
