// A small JSON reader for exchange tickers and price-server documents.
//
// Design decisions that matter to callers:
// - Every number is stored as a double and converted with from_chars (locale-independent).
//   Values beyond the range of double are rejected, never turned into infinity.
// - An object is two parallel vectors, `keys` and `items`, in document order; duplicate names
//   are kept and `find` returns the first. No map, no sorting.
// - Nesting is capped at kMaxJsonDepth so hostile input cannot exhaust the stack.
// - Deliberately lenient, since documents are only read and never passed on: numbers accept what
//   from_chars accepts (leading zeros, "1.", "-.5"), strings keep raw control bytes and are not
//   validated as UTF-8, and unpaired surrogate escapes become 3-byte sequences of their own.
// - Failures are values: an empty optional plus an error text "<message> at <byte offset>".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vindral {

enum class JsonKind : std::uint32_t {
    Null = 0,
    Bool = 1,
    Number = 2,
    String = 3,
    Array = 4,
    Object = 5,
};

// The top-level value has depth 0; a value deeper than this is rejected.
inline constexpr int kMaxJsonDepth = 64;

struct JsonValue {
    JsonKind kind = JsonKind::Null;
    bool boolean = false;
    double number = 0.0;
    std::string text;
    // Array elements, or object member values (parallel to `keys`).
    std::vector<JsonValue> items;
    std::vector<std::string> keys;

    // First member named exactly `key`; null unless this is an object that has one.
    const JsonValue* find(std::string_view key) const;
    // Element `index`; null unless this is an array that long.
    const JsonValue* at(std::size_t index) const;
    // A number, or a string that is entirely a number (exchanges quote their prices).
    std::optional<double> asNumber() const;
    // "true"/"false", a number printed with ten significant digits, a string's text; else "".
    std::string asText() const;
};

// Parses a whole document. On failure returns empty and, if `error` is given, stores the reason.
std::optional<JsonValue> parseJson(std::string_view text, std::string* error = nullptr);

// The number of an optional member, when it is finite: asNumber also reads "inf" and "nan" out of
// a quoted value, and neither is a usable figure.
std::optional<double> finiteNumber(const JsonValue* value);

// Conversions for numbers that come from outside: NaN gives 0, everything else is clamped to the
// target range (and truncated toward zero), so no input can make the cast undefined.
std::int64_t saturatingToInt64(double v);
std::uint64_t saturatingToUint64(double v);

}  // namespace vindral
