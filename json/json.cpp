#include "json/json.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <system_error>
#include <type_traits>
#include <utility>

// Debian's libfast-float-dev, for decimals an integer division cannot round exactly.
#include <fast_float/fast_float.h>

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

// A plain decimal of at most this many digits cannot overflow 64 bits.
constexpr int kMaxPlainDigits = 19;

// Powers of ten that are exact doubles, one for each count of fraction digits a plain decimal
// can have.
constexpr double kExactPowersOfTen[kMaxPlainDigits + 1] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,
                                                           1e7,  1e8,  1e9,  1e10, 1e11, 1e12, 1e13,
                                                           1e14, 1e15, 1e16, 1e17, 1e18, 1e19};

// Where a plain decimal (an optional '-', digits, an optional point and digits) at the start of
// [p, end) stops, and whether `value` holds it exactly.
//
// Most numbers in the documents read here are such decimals, and when their digits make an
// integer of at most 2^53 it is exact in a double, as is the power of ten of the fraction: one
// division then rounds once, to nearest, just as from_chars does. A larger integer of at most
// kMaxPlainDigits digits (coordinates and prices printed to 17 digits, 18-digit ids) is still
// exact in 64 bits, and fast_float's Eisel-Lemire step rounds it times the power of ten correctly
// or says that it cannot. Without digits, with more digits or where that step gives up, `exact`
// is false and from_chars decides.
struct PlainDecimal {
    const char* stop = nullptr;
    bool exact = false;
    double value = 0.0;
};

// How many of the bytes of a little-endian word, from the lowest, are ASCII digits (0 to 8). A byte
// is flagged when adding 0x46 or subtracting 0x30 sets its high bit, which happens exactly for
// non-digits; carries and borrows only run upward and start at a non-digit, so the lowest flagged
// byte is the first non-digit.
inline int leadingDigits(std::uint64_t word) {
    constexpr std::uint64_t kAboveNine = 0x4646464646464646u;
    constexpr std::uint64_t kZeros = 0x3030303030303030u;
    constexpr std::uint64_t kHighBits = 0x8080808080808080u;
    const std::uint64_t nonDigits = ((word + kAboveNine) | (word - kZeros)) & kHighBits;
    return nonDigits == 0 ? 8 : std::countr_zero(nonDigits) / 8;
}

// The value of the `count` (1 to 8) lowest bytes of a little-endian word, which are ASCII
// digits, the first in the lowest byte: shifted to the top, they become the last digits of eight
// (with zeros before them); then neighbouring digits are joined into pairs, pairs into fours and
// fours into the whole.
inline std::uint64_t digitsValue(std::uint64_t word, int count) {
    constexpr std::uint64_t kZeros = 0x3030303030303030u;
    constexpr std::uint64_t kLowBytes = 0x000000FF000000FFu;
    constexpr std::uint64_t kPairsHigh = 100 + (std::uint64_t{1000000} << 32);
    constexpr std::uint64_t kPairsLow = 1 + (std::uint64_t{10000} << 32);
    word = (word - kZeros) << (64 - 8 * count);
    word = word * 10 + (word >> 8);
    word = ((word & kLowBytes) * kPairsHigh + ((word >> 16) & kLowBytes) * kPairsLow) >> 32;
    return word & 0xFFFFFFFFu;
}

// Ten to the power of 0 to 8, the scale of as many digits read at once.
constexpr std::uint64_t kDigitScales[] = {1,      10,      100,      1000,     10000,
                                          100000, 1000000, 10000000, 100000000};

// Adds the digits from p on to `mantissa` (wrapping past 19 digits, which the caller refuses);
// returns where they end. Up to eight digits at a time where eight bytes can be read.
inline const char* readDigits(const char* p, const char* const end, std::uint64_t& mantissa) {
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, p, sizeof word);
            const int count = leadingDigits(word);
            if (count == 0) {
                return p;
            }
            mantissa = mantissa * kDigitScales[count] + digitsValue(word, count);
            p += count;
            if (count < 8) {
                return p;
            }
        }
    }
    for (; p != end && isDigit(*p); ++p) {
        mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    return p;
}

// Inlined into the parse's number reading, the hot caller: returned in registers, not memory.
[[gnu::always_inline]] inline PlainDecimal readPlainDecimal(const char* p, const char* const end) {
    constexpr std::uint64_t kMaxExactInteger = std::uint64_t{1} << 53;
    const bool negative = p != end && *p == '-';
    if (negative) {
        ++p;
    }
    std::uint64_t mantissa = 0;
    const char* const digitsBegin = p;
    p = readDigits(p, end, mantissa);
    std::ptrdiff_t digits = p - digitsBegin;
    std::ptrdiff_t fractionDigits = 0;
    if (p != end && *p == '.') {
        const char* const fractionBegin = ++p;
        p = readDigits(p, end, mantissa);
        fractionDigits = p - fractionBegin;
        digits += fractionDigits;
    }
    PlainDecimal result;
    result.stop = p;
    if (digits == 0 || digits > kMaxPlainDigits) {
        return result;
    }
    if (mantissa <= kMaxExactInteger) {
        double value = static_cast<double>(mantissa);
        if (fractionDigits != 0) {
            value /= kExactPowersOfTen[fractionDigits];
        }
        result.value = negative ? -value : value;
        result.exact = true;
        return result;
    }
    using Binary = fast_float::binary_format<double>;
    // The exponent lies in [-19, 0], where the result is a normal double; a negative power of
    // two is the step's way of asking for the slow, exact comparison.
    const fast_float::adjusted_mantissa rounded =
        fast_float::compute_float<Binary>(-fractionDigits, mantissa);
    if (rounded.power2 >= 0) {
        fast_float::to_float(negative, rounded, result.value);
        result.exact = true;
    }
    return result;
}

// Converts all of [begin, end) with from_chars; false when it refuses, leaves some over or finds
// the value out of range.
bool convertWithFromChars(const char* begin, const char* end, double& value) {
    const auto [ptr, ec] = std::from_chars(begin, end, value, std::chars_format::general);
    return ec == std::errc() && ptr == end;
}

// Converts the whole of `text`; gives nothing where from_chars would.
std::optional<double> convertNumber(std::string_view text) {
    const char* const end = text.data() + text.size();
    const PlainDecimal plain = readPlainDecimal(text.data(), end);
    if (plain.exact && plain.stop == end) {
        return plain.value;
    }
    double value = 0.0;
    if (!convertWithFromChars(text.data(), end, value)) {
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

// The first quote or backslash at or after p, or `end`. Eight bytes at a time, also past the end
// of a short string as long as the input goes on: a word holds one of the two bytes when XOR with
// that byte repeated leaves a zero byte, and the lowest flagged byte is always a true one.
inline const char* findQuoteOrBackslash(const char* p, const char* const end) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHighBits = 0x8080808080808080u;
    constexpr std::uint64_t kQuotes = kOnes * '"';
    constexpr std::uint64_t kBackslashes = kOnes * '\\';
    if constexpr (std::endian::native == std::endian::little) {
        for (; end - p >= 8; p += 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, p, sizeof word);
            const std::uint64_t q = word ^ kQuotes;
            const std::uint64_t b = word ^ kBackslashes;
            const std::uint64_t found = (((q - kOnes) & ~q) | ((b - kOnes) & ~b)) & kHighBits;
            if (found != 0) {
                return p + std::countr_zero(found) / 8;
            }
        }
    }
    for (; p != end; ++p) {
        if (*p == '"' || *p == '\\') {
            return p;
        }
    }
    return p;
}

// A string's bytes as the parse found them: straight in the input, or decoded into the parser's
// scratch buffer when the string held escapes. Plain, so that stacks of them need no
// initialising.
struct TextRef {
    std::size_t begin;
    std::size_t length;
    bool decoded;
};

// A value that is read but not yet in its container. Scalars are held whole and strings by
// reference, so each is built once, in place, when its container closes; a non-empty container is
// already built and waits, in document order, on the parser's stack of built containers.
struct Slot {
    JsonKind kind;
    bool boolean;
    bool built;
    double number;
    TextRef text;
};

// A stack of plain records: a push is a compare and an index, storage is neither initialised
// nor given back while the parse lasts, and it doubles when full.
template <typename T>
class RecordStack {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    explicit RecordStack(std::size_t capacity)
        : records_(std::make_unique_for_overwrite<T[]>(capacity)), capacity_(capacity) {}

    std::size_t size() const { return size_; }
    T& operator[](std::size_t index) { return records_[index]; }
    const T& operator[](std::size_t index) const { return records_[index]; }

    // The new top record, holding whatever it held before: the caller sets all of it.
    T& push() {
        if (size_ == capacity_) {
            grow();
        }
        return records_[size_++];
    }

    void popTo(std::size_t size) { size_ = size; }

    // Empties the stack and, when it has grown past `keep` records, gives the storage back for
    // a fresh block of `fresh`.
    void clear(std::size_t keep, std::size_t fresh) {
        size_ = 0;
        if (capacity_ > keep) {
            records_ = std::make_unique_for_overwrite<T[]>(fresh);
            capacity_ = fresh;
        }
    }

  private:
    void grow() {
        std::unique_ptr<T[]> larger = std::make_unique_for_overwrite<T[]>(2 * capacity_);
        std::copy(records_.get(), records_.get() + size_, larger.get());
        records_ = std::move(larger);
        capacity_ *= 2;
    }

    std::unique_ptr<T[]> records_;
    std::size_t capacity_;
    std::size_t size_ = 0;
};

// A closed, non-empty container whose element is not made yet: its vectors, already at their
// final size, wait to be moved into its parent's.
struct BuiltContainer {
    std::vector<JsonValue> items;
    std::vector<std::string> keys;
};

// The stacks a parse works on. One per thread, kept from one parse to the next: a reader of many
// small documents (tickers, boards) then allocates only what its trees keep. A stack that a large
// document made larger than kKeptRecords is given back when that parse ends.
struct ParseWorkspace {
    static constexpr std::size_t kInitialRecords = 64;
    static constexpr std::size_t kKeptRecords = 4096;
    static constexpr std::size_t kKeptScratchBytes = 64 * 1024;

    RecordStack<Slot> slots{kInitialRecords};
    RecordStack<TextRef> keys{kInitialRecords};
    std::vector<BuiltContainer> built;
    std::string scratch;

    void clear() {
        slots.clear(kKeptRecords, kInitialRecords);
        keys.clear(kKeptRecords, kInitialRecords);
        built.clear();
        if (built.capacity() > kKeptRecords) {
            built = {};
        }
        if (scratch.capacity() > kKeptScratchBytes) {
            scratch = {};
        }
        scratch.clear();
    }
};

// Parse state over bytes the caller keeps alive; the first recorded error wins and every level
// of the recursion returns false at once.
//
// A container's elements (and an object's keys) pile up on small stacks while it is read; when it
// closes, its vectors are allocated once at their final size and each element is made in its
// place there. Stacks are indexed, not referenced, as they may grow (and move) while a nested
// container is read.
class JsonParser {
  public:
    // The parser holds the workspace's stacks while it lives (members are reached without a
    // detour) and hands them back empty when it goes, on every path.
    JsonParser(std::string_view input, ParseWorkspace& workspace)
        : begin_(input.data()),
          end_(input.data() + input.size()),
          p_(begin_),
          slots_(std::move(workspace.slots)),
          keys_(std::move(workspace.keys)),
          built_(std::move(workspace.built)),
          scratch_(std::move(workspace.scratch)),
          workspace_(workspace) {}
    ~JsonParser() {
        workspace_.slots = std::move(slots_);
        workspace_.keys = std::move(keys_);
        workspace_.built = std::move(built_);
        workspace_.scratch = std::move(scratch_);
        workspace_.clear();
    }
    JsonParser(const JsonParser&) = delete;
    JsonParser& operator=(const JsonParser&) = delete;

    bool parseDocument(JsonValue& out) {
        if (!parseValue(pushSlot(), 0)) {
            return false;
        }
        const Slot& root = slots_[0];
        if (root.built) {
            BuiltContainer& built = built_.back();
            out.kind = root.kind;
            out.items = std::move(built.items);
            out.keys = std::move(built.keys);
        } else {
            out = ScalarValue{*this, root};
        }
        return true;
    }

    // Offset of the first non-whitespace byte after the value, or the input length.
    std::size_t skipTrailingWhitespace() {
        skipWhitespace();
        return offset();
    }

    std::size_t size() const { return static_cast<std::size_t>(end_ - begin_); }
    std::string& error() { return error_; }

  private:
    std::size_t offset() const { return static_cast<std::size_t>(p_ - begin_); }

    // Reads a value into the slot at index `slot`. Inlined into each container's loop, so that
    // a scalar element costs no call; only a nested container recurses.
    [[gnu::always_inline]] bool parseValue(std::size_t slot, int depth) {
        if (depth > kMaxJsonDepth) {
            return fail("nesting too deep");
        }
        skipWhitespace();
        if (p_ == end_) {
            return fail("unexpected end");
        }
        const char c = *p_;
        switch (c) {
            case '{':
                return parseObject(slot, depth);
            case '[':
                return parseArray(slot, depth);
            case '"':
                slots_[slot].kind = JsonKind::String;
                return parseString(slots_[slot].text);
            case 't':
                return parseLiteral(slots_[slot], "true", JsonKind::Bool, true);
            case 'f':
                return parseLiteral(slots_[slot], "false", JsonKind::Bool, false);
            case 'n':
                return parseLiteral(slots_[slot], "null", JsonKind::Null, false);
            default:
                if (c == '-' || isDigit(c)) {
                    return parseNumber(slots_[slot]);
                }
                return fail("unexpected character");
        }
    }

    // Documents written by machines mostly have no whitespace between tokens: the first byte
    // decides, and only a byte that could be whitespace enters the loop.
    [[gnu::always_inline]] void skipWhitespace() {
        if (p_ == end_ || static_cast<unsigned char>(*p_) > ' ') {
            return;
        }
        skipWhitespaceRun();
    }

    void skipWhitespaceRun() {
        const char* p = p_;
        // Every whitespace byte is at most a space, so most bytes are told apart at once.
        while (p != end_ && static_cast<unsigned char>(*p) <= ' ' && isWhitespace(*p)) {
            ++p;
        }
        p_ = p;
    }

    bool fail(std::string_view message) {
        error_.assign(message);
        error_ += " at ";
        error_ += std::to_string(offset());
        return false;
    }

    bool parseLiteral(Slot& out, std::string_view word, JsonKind kind, bool boolean) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() ||
            std::memcmp(p_, word.data(), word.size()) != 0) {
            return fail("unexpected character");
        }
        p_ += word.size();
        out.kind = kind;
        out.boolean = boolean;
        return true;
    }

    [[gnu::always_inline]] bool parseNumber(Slot& out) {
        const char* const start = p_;
        PlainDecimal plain = readPlainDecimal(start, end_);
        // The number is the whole run of number bytes, which may go on past the plain decimal.
        const char* stop = plain.stop;
        while (stop != end_ && isNumberByte(*stop)) {
            plain.exact = false;
            ++stop;
        }
        p_ = stop;
        if (!plain.exact && !convertWithFromChars(start, stop, plain.value)) {
            return fail("bad number");
        }
        out.kind = JsonKind::Number;
        out.number = plain.value;
        return true;
    }

    const char* textData(const TextRef& text) const {
        return (text.decoded ? scratch_.data() : begin_) + text.begin;
    }

    // A string this short is kept inside the std::string object. A copy of a fixed count of bytes
    // is a few moves where a copy of the exact count is a call to memcpy, so a short key is made
    // from that many bytes and then cut to its length, where that many can be read.
    static constexpr std::size_t kShortTextBytes = 15;

    // A scalar's slot as its value. Given to a vector, the value is made by this conversion right
    // in the vector's storage: no temporary to move, and nothing cleared before it is set.
    struct ScalarValue {
        const JsonParser& parser;
        const Slot& slot;

        [[gnu::always_inline]] operator JsonValue() const {
            JsonValue value;
            value.kind = slot.kind;
            value.boolean = slot.boolean;
            value.number = slot.number;
            if (slot.kind == JsonKind::String) {
                // Appending is the lighter way into an empty string.
                value.text.append(parser.textData(slot.text), slot.text.length);
            }
            return value;
        }
    };

    // A container's vectors as a value, made in a vector's storage like a scalar's: the vectors
    // are moved in and nothing else is touched.
    struct ContainerValue {
        JsonKind kind;
        std::vector<JsonValue>& items;
        std::vector<std::string>& keys;

        [[gnu::always_inline]] operator JsonValue() const {
            JsonValue value;
            value.kind = kind;
            value.items = std::move(items);
            value.keys = std::move(keys);
            return value;
        }
    };

    // The elements read since `base` (with their containers built since `builtBase`), made in a
    // vector of their number; the stacks drop them.
    [[gnu::always_inline]] std::vector<JsonValue> takeItems(std::size_t base,
                                                            std::size_t builtBase) {
        std::vector<JsonValue> items;
        items.reserve(slots_.size() - base);
        std::size_t child = builtBase;
        for (std::size_t i = base; i < slots_.size(); ++i) {
            const Slot& slot = slots_[i];
            if (slot.built) {
                BuiltContainer& built = built_[child++];
                items.emplace_back(ContainerValue{slot.kind, built.items, built.keys});
            } else {
                items.emplace_back(ScalarValue{*this, slot});
            }
        }
        slots_.popTo(base);
        built_.erase(built_.begin() + static_cast<std::ptrdiff_t>(builtBase), built_.end());
        return items;
    }

    // A cleared slot on top of the stack, named by its index: the stack may grow while a
    // container is read into it.
    std::size_t pushSlot() {
        const std::size_t slot = slots_.size();
        slots_.push() = Slot{};
        return slot;
    }

    [[gnu::noinline]] bool parseArray(std::size_t slot, int depth) {
        ++p_;
        slots_[slot].kind = JsonKind::Array;
        skipWhitespace();
        if (p_ != end_ && *p_ == ']') {
            ++p_;
            return true;
        }
        const std::size_t base = slots_.size();
        const std::size_t builtBase = built_.size();
        const std::size_t scratchBase = scratch_.size();
        for (;;) {
            if (!parseValue(pushSlot(), depth + 1)) {
                return false;
            }
            skipWhitespace();
            if (p_ == end_) {
                return fail("unterminated array");
            }
            const char c = *p_++;
            if (c == ']') {
                break;
            }
            if (c != ',') {
                return fail("expected , or ]");
            }
        }
        std::vector<JsonValue> items = takeItems(base, builtBase);
        scratch_.resize(scratchBase);
        built_.push_back(BuiltContainer{std::move(items), {}});
        slots_[slot].built = true;
        return true;
    }

    [[gnu::noinline]] bool parseObject(std::size_t slot, int depth) {
        ++p_;
        slots_[slot].kind = JsonKind::Object;
        skipWhitespace();
        if (p_ != end_ && *p_ == '}') {
            ++p_;
            return true;
        }
        const std::size_t base = slots_.size();
        const std::size_t keyBase = keys_.size();
        const std::size_t builtBase = built_.size();
        const std::size_t scratchBase = scratch_.size();
        for (;;) {
            skipWhitespace();
            if (p_ == end_ || *p_ != '"') {
                return fail("expected key");
            }
            // Reading a string never grows the key stack, so the reference holds.
            if (!parseString(keys_.push())) {
                return false;
            }
            skipWhitespace();
            if (p_ == end_ || *p_ != ':') {
                return fail("expected :");
            }
            ++p_;
            if (!parseValue(pushSlot(), depth + 1)) {
                return false;
            }
            skipWhitespace();
            if (p_ == end_) {
                return fail("unterminated object");
            }
            const char c = *p_++;
            if (c == '}') {
                break;
            }
            if (c != ',') {
                return fail("expected , or }");
            }
        }
        // The items before the keys: in that order glibc's allocator has a little less to do when
        // trees of many like objects are freed and built again.
        std::vector<JsonValue> items = takeItems(base, builtBase);
        std::vector<std::string> keys;
        keys.reserve(keys_.size() - keyBase);
        // Read once: the key strings made below cannot change them.
        const std::size_t inputBytes = size();
        const char* const scratchData = scratch_.data();
        const std::size_t scratchBytes = scratch_.size();
        for (std::size_t i = keyBase; i < keys_.size(); ++i) {
            const TextRef& key = keys_[i];
            const char* const data = (key.decoded ? scratchData : begin_) + key.begin;
            const std::size_t readable = (key.decoded ? scratchBytes : inputBytes) - key.begin;
            if (key.length <= kShortTextBytes && readable >= kShortTextBytes) {
                keys.emplace_back(data, kShortTextBytes).resize(key.length);
            } else {
                keys.emplace_back(data, key.length);
            }
        }
        keys_.popTo(keyBase);
        scratch_.resize(scratchBase);
        built_.push_back(BuiltContainer{std::move(items), std::move(keys)});
        slots_[slot].built = true;
        return true;
    }

    // A string without escapes is left in the input, where it is found eight bytes at a time.
    bool parseString(TextRef& out) {
        const char* const start = ++p_;
        const char* const stop = findQuoteOrBackslash(start, end_);
        if (stop != end_ && *stop == '"') {
            out = TextRef{offset(), static_cast<std::size_t>(stop - start), false};
            p_ = stop + 1;
            return true;
        }
        return decodeString(out, stop);
    }

    // The rest of a string from p_, whose first quote or backslash is at `stop`: decoded into the
    // scratch buffer, its runs of plain bytes copied whole.
    bool decodeString(TextRef& out, const char* stop) {
        const std::size_t begin = scratch_.size();
        for (;;) {
            scratch_.append(p_, static_cast<std::size_t>(stop - p_));
            p_ = stop;
            if (p_ == end_) {
                return fail("unterminated string");
            }
            if (*p_++ == '"') {
                out = TextRef{begin, scratch_.size() - begin, true};
                return true;
            }
            if (p_ == end_) {
                return fail("unterminated string");
            }
            if (!parseEscape(scratch_)) {
                return false;
            }
            stop = findQuoteOrBackslash(p_, end_);
        }
    }

    // Called just after a backslash.
    bool parseEscape(std::string& out) {
        switch (*p_++) {
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
        while (unit >= kHighSurrogateFirst && unit <= kHighSurrogateLast && end_ - p_ >= 2 &&
               p_[0] == '\\' && p_[1] == 'u') {
            p_ += 2;
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
        if (end_ - p_ < 4) {
            return fail("bad unicode escape");
        }
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = *p_++;
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

    const char* const begin_;
    const char* const end_;
    const char* p_;
    std::string error_;
    RecordStack<Slot> slots_;
    RecordStack<TextRef> keys_;
    std::vector<BuiltContainer> built_;
    std::string scratch_;
    ParseWorkspace& workspace_;
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
    thread_local ParseWorkspace workspace;
    JsonParser parser(text, workspace);
    // Built in place and returned as the one named result on every path, so the tree is never
    // moved on the way out.
    std::optional<JsonValue> value(std::in_place);
    if (!parser.parseDocument(*value)) {
        if (error != nullptr) {
            *error = std::move(parser.error());
        }
        value.reset();
        return value;
    }
    const std::size_t end = parser.skipTrailingWhitespace();
    if (end != parser.size()) {
        if (error != nullptr) {
            *error = "trailing characters at " + std::to_string(end);
        }
        value.reset();
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
