#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// The control protocol between the keyboard service (sendholdd) and its client,
// the tray app: short ASCII lines, fields separated by one space, each line at
// most maxLineBytes long including its "\n". Both ends use this file: the
// service reads client lines and writes service lines, the app the other way.
namespace sendhold::control {

inline constexpr unsigned protocolVersion = 1;
inline constexpr std::size_t maxLineBytes = 64;

// Client -> service.
struct Hello {
    unsigned version = protocolVersion;
    bool operator==(const Hello&) const = default;
};
struct Guard {
    bool on = true;
    bool operator==(const Guard&) const = default;
};
// The stored long-press duration as stored; nothing when no value is stored.
struct Duration {
    std::optional<double> stored;
    bool operator==(const Duration&) const = default;
};
// The input method's composition state; `pending` while a key's outcome is
// still on its way from the input method.
struct Composition {
    bool active = false;
    bool pending = false;
    bool operator==(const Composition&) const = default;
};
using ClientMessage = std::variant<Hello, Guard, Duration, Composition>;

// Service -> client.
enum class StatusKind { Guarding, NoKeyboards, Standby };
struct Status {
    StatusKind kind = StatusKind::Guarding;
    std::string reason;  // empty for Guarding
    bool operator==(const Status&) const = default;
};
struct Refused {
    std::string reason;
    bool operator==(const Refused&) const = default;
};
using ServiceMessage = std::variant<Status, Refused>;

enum class LineError { Malformed, TooLong };
using ClientLine = std::variant<ClientMessage, LineError>;
using ServiceLine = std::variant<ServiceMessage, LineError>;

// Splits a byte stream, fed in chunks of any size, into lines. A line that
// grows past maxLineBytes fails the reader at once, without waiting for its
// end; a failed reader takes nothing more.
class LineReader {
  public:
    // Appends the lines completed by `bytes` (without their "\n") to `lines`.
    // False once the reader has failed; lines completed before the failure
    // are still appended.
    bool feed(std::string_view bytes, std::vector<std::string>& lines);
    bool failed() const { return failed_; }

  private:
    std::string partial_;
    bool failed_ = false;
};

// One line without its "\n". Unknown words, extra or missing spaces, control
// characters, NUL and non-ASCII bytes are Malformed; so is a line too long for
// the protocol.
ClientLine parseClientLine(std::string_view line);
ServiceLine parseServiceLine(std::string_view line);

// Whole lines, "\n" included. A reason is cut to fit the line; bytes that
// cannot appear in a line become '?' and runs of spaces one space.
std::string encode(const ClientMessage& message);
std::string encode(const ServiceMessage& message);

}  // namespace sendhold::control
