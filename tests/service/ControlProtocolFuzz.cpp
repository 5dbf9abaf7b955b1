// libFuzzer target: the protocol's reader and parsers on any bytes; every line
// that parses must encode back to a line that fits and parses the same.
#include <cstdint>
#include <cstdlib>

#include "service/ControlProtocol.h"

using namespace sendhold::control;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

std::string_view withoutNewline(const std::string& line) {
    require(!line.empty() && line.size() <= maxLineBytes && line.back() == '\n');
    return std::string_view(line).substr(0, line.size() - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // Chunks of a size the input picks, so that lines split anywhere.
    const std::size_t stride = size ? data[0] % 17 + 1 : 1;
    LineReader reader;
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < size; at += stride) reader.feed(bytes.substr(at, stride), lines);
    for (const std::string& line : lines) {
        require(line.size() < maxLineBytes);
        const ClientLine client = parseClientLine(line);
        if (auto* m = std::get_if<ClientMessage>(&client)) {
            const std::string encoded = encode(*m);
            auto again = parseClientLine(withoutNewline(encoded));
            require(std::holds_alternative<ClientMessage>(again) &&
                    encode(std::get<ClientMessage>(again)) == encoded);
        }
        const ServiceLine service = parseServiceLine(line);
        if (auto* m = std::get_if<ServiceMessage>(&service)) require(encode(*m) == line + "\n");
        auto refused = parseServiceLine(withoutNewline(encode(Refused{line})));
        require(std::holds_alternative<ServiceMessage>(refused));
    }
    return 0;
}
