#include "server/log_text.h"

namespace vindral {
namespace {

void appendHexByte(std::string& out, unsigned char byte) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
}

}  // namespace

std::string escapeForLog(std::string_view text) {
    constexpr unsigned char kDelete = 0x7F;
    // U+0080 to U+009F are 0xC2 followed by 0x80 to 0x9F in UTF-8.
    constexpr unsigned char kC1Lead = 0xC2;
    constexpr unsigned char kC1First = 0x80;
    constexpr unsigned char kC1Last = 0x9F;
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == kDelete) {
            appendHexByte(out, byte);
        } else if (byte == '\\') {
            out += "\\\\";
        } else if (byte == kC1Lead && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= kC1First &&
                   static_cast<unsigned char>(text[i + 1]) <= kC1Last) {
            appendHexByte(out, byte);
            appendHexByte(out, static_cast<unsigned char>(text[++i]));
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace vindral
