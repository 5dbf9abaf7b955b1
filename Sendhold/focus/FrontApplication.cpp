#include "FrontApplication.h"

#include <algorithm>

namespace sendhold::focus {
namespace {

bool isSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Length of the UTF-8 sequence starting at `at`, or 0 when it is malformed,
// overlong, a surrogate, beyond U+10FFFF, or a C1 control character.
std::size_t sequenceLength(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    char32_t code = 0;
    if (lead < 0x80) return (lead < 0x20 || lead == 0x7f) ? 0 : 1;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, code = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3, code = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, code = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xc0) != 0x80) return 0;
        code = (code << 6) | (byte(i) & 0x3f);
    }
    const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10ffff) return 0;
    if (code >= 0xd800 && code <= 0xdfff) return 0;
    if (code >= 0x80 && code <= 0x9f) return 0;
    return length;
}

}  // namespace

std::string cleanApplicationId(std::string_view raw) {
    while (!raw.empty() && isSpace(raw.front())) raw.remove_prefix(1);
    while (!raw.empty() && isSpace(raw.back())) raw.remove_suffix(1);
    if (raw.empty() || raw.size() > kMaxApplicationIdBytes) return {};
    for (std::size_t at = 0; at < raw.size();) {
        const std::size_t length = sequenceLength(raw, at);
        if (length == 0 || raw[at] == ',') return {};
        at += length;
    }
    return std::string(raw);
}

FrontApplication::FrontApplication(std::vector<std::string> ownIds, FrontSink changed)
    : ownIds_(std::move(ownIds)), changed_(std::move(changed)) {}

void FrontApplication::report(std::string_view rawId) {
    std::string id = cleanApplicationId(rawId);
    if (std::find(ownIds_.begin(), ownIds_.end(), id) != ownIds_.end() && !id.empty()) return;
    if (id == current_) return;
    current_ = std::move(id);
    if (changed_) changed_(current_);
}

}  // namespace sendhold::focus
