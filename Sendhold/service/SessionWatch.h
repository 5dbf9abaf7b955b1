#pragma once

#include <optional>
#include <string>

#include "ControlHub.h"

struct sd_login_monitor;

namespace sendhold {

// Seat0's active session through sd-login, and a descriptor that becomes
// readable when sessions or seats change.
//
// For tests on machines without logind, the seat can instead be read from
// files laid out like /run/systemd (seats/seat0 with ACTIVE= and ACTIVE_UID=,
// sessions/<id> with UID=, REMOTE= and SEAT=) under another directory; a
// client's place is then that of its user's sessions. See fromEnvironment().
class SessionWatch final : public ActiveSession {
  public:
    explicit SessionWatch(std::optional<std::string> testSeatDirectory = std::nullopt);
    ~SessionWatch() override;
    SessionWatch(const SessionWatch&) = delete;
    SessionWatch& operator=(const SessionWatch&) = delete;

    // SENDHOLD_TEST_SEAT_DIR names a test seat directory, but only for a
    // service that systemd did not start (no INVOCATION_ID, LISTEN_PID or
    // NOTIFY_SOCKET): a unit's environment never redirects authorization.
    static std::optional<std::string> testSeatFromEnvironment();

    std::optional<std::uint32_t> activeLocalUid() override;
    PeerPlace placeOf(const Peer& peer) override;

    // Readable when the seat may have changed; -1 when there is nothing to watch.
    int changeDescriptor() const;
    // Re-arms the descriptor after it was readable.
    void flush();

  private:
    std::optional<std::uint32_t> activeLocalUidFromFiles() const;
    PeerPlace placeFromFiles(std::uint32_t uid) const;

    std::optional<std::string> testSeatDirectory_;
    sd_login_monitor* monitor_ = nullptr;
};

}  // namespace sendhold
