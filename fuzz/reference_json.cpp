// The JSON reader as it was before containers were built from a parse stack, strings copied in
// runs and plain decimals converted in integer arithmetic: one value at a time, every number
// through from_chars. It is the oracle of fuzz_json_differential, which demands the same tree or
// the same error text from both, and is not used anywhere else.
#include "fuzz/reference_json.h"

#include <charconv>
#include <string>
#include <system_error>
#include <utility>

namespace vindral::reference {
namespace {

constexpr char32_t kHighSurrogateFirst = 0xD800;
constexpr char32_t kHighSurrogateLast = 0xDBFF;
constexpr char32_t kLowSurrogateFirst = 0xDC00;
constexpr char32_t kLowSurrogateLast = 0xDFFF;

bool isWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isNumberByte(char c) {
    return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

// Converts the whole of `run`; anything from_chars rejects, leaves over or finds out of range
// gives nothing.
std::optional<double> convertNumber(std::string_view run) {
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

// Parse state over bytes the caller keeps alive; the first recorded error wins and every level
// of the recursion returns false at once.
class JsonParser {
  public:
    explicit JsonParser(std::string_view input) : input_(input) {}

    bool parseValue(JsonValue& out, int depth) {
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
                return parseObject(out, depth);
            case '[':
                return parseArray(out, depth);
            case '"':
                out.kind = JsonKind::String;
                return parseString(out.text);
            case 't':
                return parseLiteral(out, "true", JsonKind::Bool, true);
            case 'f':
                return parseLiteral(out, "false", JsonKind::Bool, false);
            case 'n':
                return parseLiteral(out, "null", JsonKind::Null, false);
            default:
                if (c == '-' || (c >= '0' && c <= '9')) {
                    return parseNumber(out);
                }
                return fail("unexpected character");
        }
    }

    // Offset of the first non-whitespace byte after the value, or the input length.
    std::size_t skipTrailingWhitespace() {
        skipWhitespace();
        return pos_;
    }

    std::size_t size() const { return input_.size(); }
    std::string& error() { return error_; }

  private:
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

    bool parseArray(JsonValue& out, int depth) {
        ++pos_;
        out.kind = JsonKind::Array;
        skipWhitespace();
        if (!atEnd() && input_[pos_] == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            out.items.emplace_back();
            if (!parseValue(out.items.back(), depth + 1)) {
                return false;
            }
            skipWhitespace();
            if (atEnd()) {
                return fail("unterminated array");
            }
            const char c = input_[pos_++];
            if (c == ']') {
                return true;
            }
            if (c != ',') {
                return fail("expected , or ]");
            }
        }
    }

    bool parseObject(JsonValue& out, int depth) {
        ++pos_;
        out.kind = JsonKind::Object;
        skipWhitespace();
        if (!atEnd() && input_[pos_] == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            skipWhitespace();
            if (atEnd() || input_[pos_] != '"') {
                return fail("expected key");
            }
            out.keys.emplace_back();
            if (!parseString(out.keys.back())) {
                return false;
            }
            skipWhitespace();
            if (atEnd() || input_[pos_] != ':') {
                return fail("expected :");
            }
            ++pos_;
            out.items.emplace_back();
            if (!parseValue(out.items.back(), depth + 1)) {
                return false;
            }
            skipWhitespace();
            if (atEnd()) {
                return fail("unterminated object");
            }
            const char c = input_[pos_++];
            if (c == '}') {
                return true;
            }
            if (c != ',') {
                return fail("expected , or }");
            }
        }
    }

    bool parseString(std::string& out) {
        ++pos_;
        out.clear();
        for (;;) {
            if (atEnd()) {
                return fail("unterminated string");
            }
            const char c = input_[pos_++];
            if (c == '"') {
                return true;
            }
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (atEnd()) {
                return fail("unterminated string");
            }
            switch (input_[pos_++]) {
                case '"':
                    out.push_back('"');
                    break;
                case '\\':
                    out.push_back('\\');
                    break;
                case '/':
                    out.push_back('/');
                    break;
                case 'b':
                    out.push_back('\b');
                    break;
                case 'f':
                    out.push_back('\f');
                    break;
                case 'n':
                    out.push_back('\n');
                    break;
                case 'r':
                    out.push_back('\r');
                    break;
                case 't':
                    out.push_back('\t');
                    break;
                case 'u':
                    if (!parseUnicodeEscape(out)) {
                        return false;
                    }
                    break;
                default:
                    return fail("bad escape");
            }
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
};

}  // namespace

std::optional<JsonValue> parseJson(std::string_view text, std::string* error) {
    JsonParser parser(text);
    JsonValue value;
    if (!parser.parseValue(value, 0)) {
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

}  // namespace vindral::reference
