#include "ControlProtocol.h"

#include <charconv>
#include <system_error>

namespace sendhold::control {
namespace {

// Printable ASCII, the only bytes a line may hold besides its "\n".
bool isPrintable(char c) {
    return c >= 0x20 && c <= 0x7e;
}

// Splits on single spaces; false when a field is empty (leading, trailing or
// doubled space) or a byte is not printable.
bool splitFields(std::string_view line, std::vector<std::string_view>& fields) {
    if (line.empty() || line.size() >= maxLineBytes) return false;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= line.size(); ++i) {
        if (i < line.size() && line[i] != ' ') {
            if (!isPrintable(line[i])) return false;
            continue;
        }
        if (i == start) return false;
        fields.push_back(line.substr(start, i - start));
        start = i + 1;
    }
    return true;
}

template <typename Number>
std::optional<Number> parseNumber(std::string_view text) {
    Number value{};
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end) return std::nullopt;
    return value;
}

std::optional<ClientMessage> parseClientFields(const std::vector<std::string_view>& f) {
    const std::string_view word = f[0];
    if (word == "HELLO" && f.size() == 2) {
        auto version = parseNumber<unsigned>(f[1]);
        if (version) return Hello{*version};
    } else if (word == "GUARD" && f.size() == 2) {
        if (f[1] == "on") return Guard{true};
        if (f[1] == "off") return Guard{false};
    } else if (word == "DURATION" && f.size() == 2) {
        if (f[1] == "absent") return Duration{std::nullopt};
        auto stored = parseNumber<double>(f[1]);
        if (stored) return Duration{*stored};
    } else if (word == "COMPOSITION" && (f.size() == 2 || f.size() == 3)) {
        const bool pending = f.size() == 3;
        if (pending && f[2] != "pending") return std::nullopt;
        if (f[1] == "none") return Composition{false, pending};
        if (f[1] == "active") return Composition{true, pending};
    }
    return std::nullopt;
}

// The words after the first `skip` fields, as one reason.
std::string_view reasonAfter(std::string_view line, std::size_t skip) {
    for (std::size_t i = 0; i < skip; ++i) line.remove_prefix(line.find(' ') + 1);
    return line;
}

std::optional<ServiceMessage> parseServiceFields(std::string_view line,
                                                 const std::vector<std::string_view>& f) {
    if (f[0] == "REFUSED" && f.size() >= 2) return Refused{std::string(reasonAfter(line, 1))};
    if (f[0] != "STATUS" || f.size() < 2) return std::nullopt;
    if (f[1] == "guarding" && f.size() == 2) return Status{StatusKind::Guarding, {}};
    const std::string reason(reasonAfter(line, 2));
    if (f[1] == "no-keyboards" && f.size() >= 3) return Status{StatusKind::NoKeyboards, reason};
    if (f[1] == "standby" && f.size() >= 3) return Status{StatusKind::Standby, reason};
    return std::nullopt;
}

// "<head><reason>\n" with the reason made fit for a line; `head` ends in a space.
std::string withReason(std::string_view head, std::string_view reason) {
    std::string line(head);
    for (char c : reason) {
        if (line.size() + 1 >= maxLineBytes) break;
        if (c == ' ' && line.back() == ' ') continue;
        line += isPrintable(c) ? c : '?';
    }
    while (line.back() == ' ') line.pop_back();
    if (line.size() < head.size()) line += " -";  // never an empty reason
    return line + '\n';
}

}  // namespace

bool LineReader::feed(std::string_view bytes, std::vector<std::string>& lines) {
    if (failed_) return false;
    for (char c : bytes) {
        if (c == '\n') {
            lines.push_back(std::move(partial_));
            partial_.clear();
            continue;
        }
        // With its "\n" still to come the line would be longer than allowed.
        if (partial_.size() + 1 >= maxLineBytes) {
            failed_ = true;
            partial_.clear();
            return false;
        }
        partial_ += c;
    }
    return true;
}

ClientLine parseClientLine(std::string_view line) {
    if (line.size() >= maxLineBytes) return LineError::TooLong;
    std::vector<std::string_view> fields;
    if (!splitFields(line, fields)) return LineError::Malformed;
    if (auto message = parseClientFields(fields)) return *message;
    return LineError::Malformed;
}

ServiceLine parseServiceLine(std::string_view line) {
    if (line.size() >= maxLineBytes) return LineError::TooLong;
    std::vector<std::string_view> fields;
    if (!splitFields(line, fields)) return LineError::Malformed;
    if (auto message = parseServiceFields(line, fields)) return *message;
    return LineError::Malformed;
}

std::string encode(const ClientMessage& message) {
    struct Encoder {
        std::string operator()(const Hello& m) { return "HELLO " + std::to_string(m.version); }
        std::string operator()(const Guard& m) { return m.on ? "GUARD on" : "GUARD off"; }
        std::string operator()(const Duration& m) {
            if (!m.stored) return "DURATION absent";
            char digits[40];
            auto result = std::to_chars(digits, digits + sizeof digits, *m.stored);
            return "DURATION " + std::string(digits, result.ptr);
        }
        std::string operator()(const Composition& m) {
            return std::string("COMPOSITION ") + (m.active ? "active" : "none") +
                   (m.pending ? " pending" : "");
        }
    };
    return std::visit(Encoder{}, message) + '\n';
}

std::string encode(const ServiceMessage& message) {
    if (auto* refused = std::get_if<Refused>(&message))
        return withReason("REFUSED ", refused->reason);
    const auto& status = std::get<Status>(message);
    switch (status.kind) {
        case StatusKind::Guarding:
            return "STATUS guarding\n";
        case StatusKind::NoKeyboards:
            return withReason("STATUS no-keyboards ", status.reason);
        case StatusKind::Standby:
            break;
    }
    return withReason("STATUS standby ", status.reason);
}

}  // namespace sendhold::control
