#include "server/json_writer.h"

#include <array>
#include <charconv>
#include <cmath>

namespace vindral {
namespace {

constexpr std::string_view kReplacementChar = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at the start of `s`, or 0 when it is not one (overlong
// forms, surrogates and code points above U+10FFFF count as invalid).
std::size_t validUtf8Length(std::string_view s) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < length)
        return 0;
    if (byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    }
    return length;
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t n = validUtf8Length(text.substr(i));
            if (n == 0) {
                out.append(kReplacementChar);
                ++i;
            } else {
                out.append(text.substr(i, n));
                i += n;
            }
            continue;
        }
        switch (c) {
            case '"':
                out.append("\\\"");
                break;
            case '\\':
                out.append("\\\\");
                break;
            case '\b':
                out.append("\\b");
                break;
            case '\f':
                out.append("\\f");
                break;
            case '\n':
                out.append("\\n");
                break;
            case '\r':
                out.append("\\r");
                break;
            case '\t':
                out.append("\\t");
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out.append("\\u00");
                    out.push_back(kHex[c >> 4]);
                    out.push_back(kHex[c & 0xF]);
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
        ++i;
    }
    out.push_back('"');
}

void appendJsonNumber(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out.push_back('0');
        return;
    }
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    out.append(buffer.data(), result.ptr);
}

void JsonWriter::beforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!hasItems_.empty()) {
        if (hasItems_.back())
            out_.push_back(',');
        hasItems_.back() = true;
    }
}

void JsonWriter::beginObject() {
    beforeValue();
    out_.push_back('{');
    hasItems_.push_back(false);
}

void JsonWriter::endObject() {
    out_.push_back('}');
    hasItems_.pop_back();
}

void JsonWriter::beginArray() {
    beforeValue();
    out_.push_back('[');
    hasItems_.push_back(false);
}

void JsonWriter::endArray() {
    out_.push_back(']');
    hasItems_.pop_back();
}

void JsonWriter::key(std::string_view name) {
    beforeValue();
    appendJsonString(out_, name);
    out_.push_back(':');
    afterKey_ = true;
}

void JsonWriter::string(std::string_view text) {
    beforeValue();
    appendJsonString(out_, text);
}

void JsonWriter::number(double value) {
    beforeValue();
    appendJsonNumber(out_, value);
}

void JsonWriter::integer(std::int64_t value) {
    beforeValue();
    out_.append(std::to_string(value));
}

void JsonWriter::unsignedInteger(std::uint64_t value) {
    beforeValue();
    out_.append(std::to_string(value));
}

void JsonWriter::boolean(bool value) {
    beforeValue();
    out_.append(value ? "true" : "false");
}

void JsonWriter::raw(std::string_view json) {
    beforeValue();
    out_.append(json);
}

std::string jsonErrorBody(std::string_view text) {
    JsonWriter w;
    w.beginObject();
    w.key("error");
    w.string(text);
    w.endObject();
    return w.take();
}

}  // namespace vindral
