#include "json/json.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <system_error>
#include <utility>

namespace vindral {
namespace {

constexpr char32_t kHighSurrogateFirst = 0xD800;
constexpr char32_t kHighSurrogateLast = 0xDBFF;
constexpr char32_t kLowSurrogateFirst = 0xDC00;
constexpr char32_t kLowSurrogateLast = 0xDFFF;

bool isWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// A number's run is scanned a byte at a time, so membership is one table look-up.
constexpr std::array<bool, 256> kNumberBytes = [] {
    std::array<bool, 256> table{};
    for (const unsigned char c : std::string_view("0123456789+-.eE")) {
        table[c] = true;
    }
    return table;
}();

bool isNumberByte(char c) {
    return kNumberBytes[static_cast<unsigned char>(c)];
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Powers of ten that are exact doubles.
constexpr double kExactPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// The most common numbers (an optional '-', at most 15 digits with an optional point, no
// exponent) are converted here without from_chars: the digits make an integer below 2^53, exact
// in a double, and one division by an exact power of ten rounds once, to nearest, just as
// from_chars does. Nothing for anything else, which from_chars then decides.
std::optional<double> convertShortDecimal(std::string_view run) {
    constexpr int kMaxDigits = 15;
    // Digits, a sign and a point: anything longer is left to from_chars without a look.
    if (run.size() > kMaxDigits + 2) {
        return std::nullopt;
    }
    const char* p = run.data();
    const char* const end = p + run.size();
    const bool negative = p != end && *p == '-';
    if (negative) {
        ++p;
    }
    std::uint64_t mantissa = 0;
    int digits = 0;
    int fractionDigits = 0;
    for (; p != end && isDigit(*p); ++p, ++digits) {
        mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    if (p != end && *p == '.') {
        for (++p; p != end && isDigit(*p); ++p, ++digits, ++fractionDigits) {
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
        }
    }
    if (p != end || digits == 0 || digits > kMaxDigits) {
        return std::nullopt;
    }
    const double value = static_cast<double>(mantissa) / kExactPowersOfTen[fractionDigits];
    return negative ? -value : value;
}

// Converts the whole of `run`; anything from_chars rejects, leaves over or finds out of range
// gives nothing.
std::optional<double> convertNumber(std::string_view run) {
    if (const std::optional<double> plain = convertShortDecimal(run)) {
        return plain;
    }
    double value = 0.0;
    const char* end = run.data() + run.size();
    auto [ptr, ec] = std::from_chars(run.data(), end, value, std::chars_format::general);
    if (ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Offset of the first quote or backslash at or after `from`, or the input's size. Eight bytes
// at a time, also past the end of a short string as long as the input goes on: a word holds one
// of the two bytes when XOR with that byte repeated leaves a zero byte, and the lowest flagged
// byte is always a true one.
std::size_t findQuoteOrBackslash(std::string_view input, std::size_t from) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHighBits = 0x8080808080808080u;
    constexpr std::uint64_t kQuotes = kOnes * '"';
    constexpr std::uint64_t kBackslashes = kOnes * '\\';
    std::size_t i = from;
    for (; i + 8 <= input.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, input.data() + i, sizeof word);
        const std::uint64_t q = word ^ kQuotes;
        const std::uint64_t b = word ^ kBackslashes;
        const std::uint64_t found = (((q - kOnes) & ~q) | ((b - kOnes) & ~b)) & kHighBits;
        if (found != 0) {
            if constexpr (std::endian::native == std::endian::little) {
                return i + static_cast<std::size_t>(std::countr_zero(found) / 8);
            }
            break;
        }
    }
    for (; i < input.size(); ++i) {
        if (input[i] == '"' || input[i] == '\\') {
            return i;
        }
    }
    return i;
}

// Parse state over bytes the caller keeps alive; the first recorded error wins and every level
// of the recursion returns false at once.
//
// Values are read into slots of one stack rather than into their parents: a container's elements
// pile up on the stack while it is read and move into its vector when it closes, so every vector
// is allocated once at its final size. Slots are named by index, as the stack may grow (and move)
// while a nested container is read.
class JsonParser {
  public:
    explicit JsonParser(std::string_view input) : input_(input) {}

    bool parseDocument(JsonValue& out) {
        // Room for a ticker's or a board's members without growing; large documents grow it.
        constexpr std::size_t kInitialStack = 64;
        values_.reserve(kInitialStack);
        keys_.reserve(kInitialStack);
        values_.emplace_back();
        if (!parseValue(0, 0)) {
            return false;
        }
        out = std::move(values_[0]);
        return true;
    }

    // Offset of the first non-whitespace byte after the value, or the input length.
    std::size_t skipTrailingWhitespace() {
        skipWhitespace();
        return pos_;
    }

    std::size_t size() const { return input_.size(); }
    std::string& error() { return error_; }

  private:
    bool parseValue(std::size_t slot, int depth) {
        if (depth > kMaxJsonDepth) {
            return fail("nesting too deep");
        }
        skipWhitespace();
        if (atEnd()) {
            return fail("unexpected end");
        }
        const char c = input_[pos_];
        switch (c) {
            case '{':
                return parseObject(slot, depth);
            case '[':
                return parseArray(slot, depth);
            case '"':
                values_[slot].kind = JsonKind::String;
                return parseString(values_[slot].text);
            case 't':
                return parseLiteral(values_[slot], "true", JsonKind::Bool, true);
            case 'f':
                return parseLiteral(values_[slot], "false", JsonKind::Bool, false);
            case 'n':
                return parseLiteral(values_[slot], "null", JsonKind::Null, false);
            default:
                if (c == '-' || isDigit(c)) {
                    return parseNumber(values_[slot]);
                }
                return fail("unexpected character");
        }
    }

    bool atEnd() const { return pos_ >= input_.size(); }

    void skipWhitespace() {
        while (!atEnd() && isWhitespace(input_[pos_])) {
            ++pos_;
        }
    }

    bool fail(std::string_view message) {
        error_.assign(message);
        error_ += " at ";
        error_ += std::to_string(pos_);
        return false;
    }

    bool parseLiteral(JsonValue& out, std::string_view word, JsonKind kind, bool boolean) {
        if (input_.substr(pos_, word.size()) != word) {
            return fail("unexpected character");
        }
        pos_ += word.size();
        out.kind = kind;
        out.boolean = boolean;
        return true;
    }

    bool parseNumber(JsonValue& out) {
        const std::size_t start = pos_;
        while (!atEnd() && isNumberByte(input_[pos_])) {
            ++pos_;
        }
        const std::optional<double> value = convertNumber(input_.substr(start, pos_ - start));
        if (!value) {
            return fail("bad number");
        }
        out.kind = JsonKind::Number;
        out.number = *value;
        return true;
    }

    // Moves the slots from `base` up into `out` and drops them from the stack.
    void takeItems(std::vector<JsonValue>& out, std::size_t base) {
        out.assign(std::make_move_iterator(values_.begin() + static_cast<std::ptrdiff_t>(base)),
                   std::make_move_iterator(values_.end()));
        values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(base), values_.end());
    }

    bool parseArray(std::size_t slot, int depth) {
        ++pos_;
        values_[slot].kind = JsonKind::Array;
        skipWhitespace();
        if (!atEnd() && input_[pos_] == ']') {
            ++pos_;
            return true;
        }
        const std::size_t base = values_.size();
        for (;;) {
            const std::size_t item = values_.size();
            values_.emplace_back();
            if (!parseValue(item, depth + 1)) {
                return false;
            }
            skipWhitespace();
            if (atEnd()) {
                return fail("unterminated array");
            }
            const char c = input_[pos_++];
            if (c == ']') {
                break;
            }
            if (c != ',') {
                return fail("expected , or ]");
            }
        }
        takeItems(values_[slot].items, base);
        return true;
    }

    bool parseObject(std::size_t slot, int depth) {
        ++pos_;
        values_[slot].kind = JsonKind::Object;
        skipWhitespace();
        if (!atEnd() && input_[pos_] == '}') {
            ++pos_;
            return true;
        }
        const std::size_t base = values_.size();
        const std::size_t keyBase = keys_.size();
        for (;;) {
            skipWhitespace();
            if (atEnd() || input_[pos_] != '"') {
                return fail("expected key");
            }
            keys_.emplace_back();
            if (!parseString(keys_.back())) {
                return false;
            }
            skipWhitespace();
            if (atEnd() || input_[pos_] != ':') {
                return fail("expected :");
            }
            ++pos_;
            const std::size_t item = values_.size();
            values_.emplace_back();
            if (!parseValue(item, depth + 1)) {
                return false;
            }
            skipWhitespace();
            if (atEnd()) {
                return fail("unterminated object");
            }
            const char c = input_[pos_++];
            if (c == '}') {
                break;
            }
            if (c != ',') {
                return fail("expected , or }");
            }
        }
        JsonValue& out = values_[slot];
        out.keys.assign(
            std::make_move_iterator(keys_.begin() + static_cast<std::ptrdiff_t>(keyBase)),
            std::make_move_iterator(keys_.end()));
        keys_.erase(keys_.begin() + static_cast<std::ptrdiff_t>(keyBase), keys_.end());
        takeItems(out.items, base);
        return true;
    }

    // Runs of bytes without escapes are copied as a whole; a string without any is taken
    // straight from the input in one allocation (or none, when it is short).
    bool parseString(std::string& out) {
        ++pos_;
        std::size_t stop = findQuoteOrBackslash(input_, pos_);
        if (stop < input_.size() && input_[stop] == '"') {
            // Slots and keys arrive empty; append is the lighter way into an empty string.
            out.append(input_.data() + pos_, stop - pos_);
            pos_ = stop + 1;
            return true;
        }
        out.clear();
        for (;;) {
            out.append(input_.data() + pos_, stop - pos_);
            pos_ = stop;
            if (atEnd()) {
                return fail("unterminated string");
            }
            if (input_[pos_++] == '"') {
                return true;
            }
            if (atEnd()) {
                return fail("unterminated string");
            }
            if (!parseEscape(out)) {
                return false;
            }
            stop = findQuoteOrBackslash(input_, pos_);
        }
    }

    // Called just after a backslash.
    bool parseEscape(std::string& out) {
        switch (input_[pos_++]) {
            case '"':
                out.push_back('"');
                return true;
            case '\\':
                out.push_back('\\');
                return true;
            case '/':
                out.push_back('/');
                return true;
            case 'b':
                out.push_back('\b');
                return true;
            case 'f':
                out.push_back('\f');
                return true;
            case 'n':
                out.push_back('\n');
                return true;
            case 'r':
                out.push_back('\r');
                return true;
            case 't':
                out.push_back('\t');
                return true;
            case 'u':
                return parseUnicodeEscape(out);
            default:
                return fail("bad escape");
        }
    }

    // Called just after "\u". A high surrogate directly followed by another "\u" escape takes
    // that escape as its partner; when the partner turns out not to be a low surrogate the two
    // units stay separate code points (the second may still pair with an escape after it),
    // rather than being combined into a code point neither of them meant.
    bool parseUnicodeEscape(std::string& out) {
        char32_t unit = 0;
        if (!parseHex4(unit)) {
            return false;
        }
        while (unit >= kHighSurrogateFirst && unit <= kHighSurrogateLast &&
               input_.substr(pos_, 2) == "\\u") {
            pos_ += 2;
            char32_t next = 0;
            if (!parseHex4(next)) {
                return false;
            }
            if (next >= kLowSurrogateFirst && next <= kLowSurrogateLast) {
                appendUtf8(out, 0x10000 + ((unit - kHighSurrogateFirst) << 10) +
                                    (next - kLowSurrogateFirst));
                return true;
            }
            appendUtf8(out, unit);
            unit = next;
        }
        appendUtf8(out, unit);
        return true;
    }

    bool parseHex4(char32_t& unit) {
        if (input_.size() - pos_ < 4) {
            return fail("bad unicode escape");
        }
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = input_[pos_++];
            char32_t digit = 0;
            if (c >= '0' && c <= '9') {
                digit = static_cast<char32_t>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                digit = static_cast<char32_t>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                digit = static_cast<char32_t>(c - 'A' + 10);
            } else {
                return fail("bad hex digit");
            }
            unit = (unit << 4) | digit;
        }
        return true;
    }

    std::string_view input_;
    std::size_t pos_ = 0;
    std::string error_;
    std::vector<JsonValue> values_;
    std::vector<std::string> keys_;
};

}  // namespace

const JsonValue* JsonValue::find(std::string_view key) const {
    if (kind != JsonKind::Object) {
        return nullptr;
    }
    for (std::size_t i = 0; i < keys.size() && i < items.size(); ++i) {
        if (keys[i] == key) {
            return &items[i];
        }
    }
    return nullptr;
}

const JsonValue* JsonValue::at(std::size_t index) const {
    if (kind != JsonKind::Array || index >= items.size()) {
        return nullptr;
    }
    return &items[index];
}

std::optional<double> JsonValue::asNumber() const {
    if (kind == JsonKind::Number) {
        return number;
    }
    if (kind == JsonKind::String && !text.empty()) {
        return convertNumber(text);
    }
    return std::nullopt;
}

std::string JsonValue::asText() const {
    switch (kind) {
        case JsonKind::Bool:
            return boolean ? "true" : "false";
        case JsonKind::Number: {
            // "%.10g" needs at most 17 characters ("-1.234567891e-308").
            char buffer[32];
            const int n = std::snprintf(buffer, sizeof buffer, "%.10g", number);
            if (n < 0 || static_cast<std::size_t>(n) >= sizeof buffer) {
                return std::string();
            }
            return std::string(buffer, static_cast<std::size_t>(n));
        }
        case JsonKind::String:
            return text;
        case JsonKind::Null:
        case JsonKind::Array:
        case JsonKind::Object:
            break;
    }
    return std::string();
}

std::optional<JsonValue> parseJson(std::string_view text, std::string* error) {
    JsonParser parser(text);
    JsonValue value;
    if (!parser.parseDocument(value)) {
        if (error != nullptr) {
            *error = std::move(parser.error());
        }
        return std::nullopt;
    }
    const std::size_t end = parser.skipTrailingWhitespace();
    if (end != parser.size()) {
        if (error != nullptr) {
            *error = "trailing characters at " + std::to_string(end);
        }
        return std::nullopt;
    }
    return value;
}

std::int64_t saturatingToInt64(double v) {
    // 2^63 is exact in a double while INT64_MAX is not: comparing against it avoids the rounding
    // that would let 9223372036854775807.0 (= 2^63) slip through to an undefined cast.
    constexpr double kTwoPow63 = 0x1p63;
    if (std::isnan(v)) {
        return 0;
    }
    if (v >= kTwoPow63) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (v <= -kTwoPow63) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return static_cast<std::int64_t>(v);
}

std::optional<double> finiteNumber(const JsonValue* value) {
    if (value == nullptr) {
        return std::nullopt;
    }
    const std::optional<double> number = value->asNumber();
    if (!number || !std::isfinite(*number)) {
        return std::nullopt;
    }
    return number;
}

std::uint64_t saturatingToUint64(double v) {
    constexpr double kTwoPow64 = 0x1p64;
    // Also catches NaN, for which every comparison is false.
    if (!(v > 0.0)) {
        return 0;
    }
    if (v >= kTwoPow64) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return static_cast<std::uint64_t>(v);
}

}  // namespace vindral
