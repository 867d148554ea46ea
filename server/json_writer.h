// Compact JSON text for the server's answers. Strings are escaped for JSON and cleaned to valid
// UTF-8 on the way: an exchange's message cut to a byte count may end inside a character, and a
// client's parser must never see the broken bytes. Numbers are written in their shortest form that
// reads back exactly; NaN and infinities, which JSON cannot carry, are written as 0.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vindral {

// Appends `text` as a JSON string literal, quotes included.
void appendJsonString(std::string& out, std::string_view text);
void appendJsonNumber(std::string& out, double value);

// Writes one value at a time and places the commas; the caller nests begin/end pairs correctly.
class JsonWriter {
  public:
    void beginObject();
    void endObject();
    void beginArray();
    void endArray();
    // The name of the next member of the open object.
    void key(std::string_view name);

    void string(std::string_view text);
    void number(double value);
    void integer(std::int64_t value);
    void unsignedInteger(std::uint64_t value);
    void boolean(bool value);
    // A value that is already JSON text, such as a cached fragment.
    void raw(std::string_view json);

    void reserve(std::size_t bytes) { out_.reserve(bytes); }
    const std::string& text() const { return out_; }
    std::string take() { return std::move(out_); }

  private:
    void beforeValue();

    std::string out_;
    // One entry per open object or array: whether it already holds a value.
    std::vector<bool> hasItems_;
    bool afterKey_ = false;
};

// {"error":"<text>"}: the body of every failure answer.
std::string jsonErrorBody(std::string_view text);

}  // namespace vindral
