// Parses every input with the JSON reader and with its earlier, simpler form (reference_json.cpp)
// and demands the same answer: both accept with identical trees (numbers to the last bit), or both
// refuse with the same error text.
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "fuzz/reference_json.h"
#include "json/json.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void checkSame(const vindral::JsonValue& a, const vindral::JsonValue& b) {
    check(a.kind == b.kind);
    check(a.boolean == b.boolean);
    check(std::bit_cast<std::uint64_t>(a.number) == std::bit_cast<std::uint64_t>(b.number));
    check(a.text == b.text);
    check(a.keys == b.keys);
    check(a.items.size() == b.items.size());
    for (std::size_t i = 0; i < a.items.size(); ++i) {
        checkSame(a.items[i], b.items[i]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string error;
    std::string referenceError;
    const std::optional<vindral::JsonValue> value = vindral::parseJson(input, &error);
    const std::optional<vindral::JsonValue> reference =
        vindral::reference::parseJson(input, &referenceError);
    check(value.has_value() == reference.has_value());
    check(error == referenceError);
    if (value) {
        checkSame(*value, *reference);
    }
    // asNumber reads a quoted text with the reader's number conversion: it must agree with
    // from_chars, as the earlier reader's did by construction.
    vindral::JsonValue quoted;
    quoted.kind = vindral::JsonKind::String;
    quoted.text = input;
    const std::optional<double> number = quoted.asNumber();
    double expected = 0.0;
    const auto [end, ec] =
        std::from_chars(input.data(), input.data() + size, expected, std::chars_format::general);
    const bool converts = size > 0 && ec == std::errc() && end == input.data() + size;
    check(number.has_value() == converts);
    if (number) {
        check(std::bit_cast<std::uint64_t>(*number) == std::bit_cast<std::uint64_t>(expected));
    }
    return 0;
}
