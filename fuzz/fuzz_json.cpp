// Feeds arbitrary bytes to the JSON reader and checks what must hold for every input: no crash,
// no sanitizer report, a well-formed tree on success and a well-formed error text on failure.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "json/json.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Walks the tree through every accessor; `depth` also proves the nesting limit held.
void visit(const vindral::JsonValue& value, int depth) {
    using vindral::JsonKind;
    check(depth <= vindral::kMaxJsonDepth);
    const std::optional<double> number = value.asNumber();
    if (number) {
        vindral::saturatingToInt64(*number);
        vindral::saturatingToUint64(*number);
    }
    const std::string text = value.asText();
    switch (value.kind) {
        case JsonKind::Null:
        case JsonKind::Array:
        case JsonKind::Object:
            check(text.empty());
            break;
        case JsonKind::Number:
            check(number.has_value() && *number == value.number);
            break;
        case JsonKind::Bool:
            check(text == (value.boolean ? "true" : "false"));
            break;
        case JsonKind::String:
            check(text == value.text);
            break;
    }
    if (value.kind == JsonKind::Object) {
        check(value.keys.size() == value.items.size());
        for (std::size_t i = 0; i < value.keys.size(); ++i) {
            const vindral::JsonValue* found = value.find(value.keys[i]);
            check(found != nullptr && found <= &value.items[i]);
        }
    } else {
        check(value.keys.empty());
        check(value.find("") == nullptr);
    }
    if (value.kind == JsonKind::Array) {
        for (std::size_t i = 0; i < value.items.size(); ++i) {
            check(value.at(i) == &value.items[i]);
        }
    } else {
        check(value.at(0) == nullptr);
    }
    check(value.kind == JsonKind::Array || value.kind == JsonKind::Object || value.items.empty());
    for (const vindral::JsonValue& item : value.items) {
        visit(item, depth + 1);
    }
}

// Every error names a byte offset within the input.
void checkError(std::string_view error, std::size_t inputSize) {
    const std::size_t at = error.rfind(" at ");
    check(at != std::string_view::npos && at > 0);
    const std::string_view digits = error.substr(at + 4);
    check(!digits.empty() && digits.size() <= 20);
    std::size_t offset = 0;
    for (const char c : digits) {
        check(c >= '0' && c <= '9');
        offset = offset * 10 + static_cast<std::size_t>(c - '0');
    }
    check(offset <= inputSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string error;
    const std::optional<vindral::JsonValue> value = vindral::parseJson(input, &error);
    if (value) {
        check(error.empty());
        visit(*value, 0);
    } else {
        checkError(error, size);
    }
    return 0;
}
