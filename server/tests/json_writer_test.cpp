#include "server/json_writer.h"

#include <gtest/gtest.h>

#include <limits>

#include "json/json.h"

namespace vindral {
namespace {

struct StringCase {
    std::string input;
    std::string expected;
};

TEST(JsonWriterTest, EscapesStringsAndCleansBrokenUtf8) {
    const StringCase cases[] = {
        {"plain", R"("plain")"},
        {"quote \" and \\ back", R"("quote \" and \\ back")"},
        {"line\nfeed\ttab\r\b\f", R"("line\nfeed\ttab\r\b\f")"},
        {std::string("nul\0x", 5), R"("nul\u0000x")"},
        {"\x01\x1f\x7f", R"("\u0001\u001f\u007f")"},
        {"서버 HTTP 503", "\"서버 HTTP 503\""},
        {"4 bytes \xF0\x9F\x92\xB0", "\"4 bytes \xF0\x9F\x92\xB0\""},
        // A Korean text cut inside its last character, as a 60-byte cut can leave it.
        {"\xEC\x84\x9C\xEB\xB2", "\"\xEC\x84\x9C\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xC0\xAF overlong", "\"\xEF\xBF\xBD\xEF\xBF\xBD overlong\""},
        {"\xED\xA0\x80 surrogate", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD surrogate\""},
        {"\xF4\x90\x80\x80 too high",
         "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD too high\""},
    };
    for (const StringCase& c : cases) {
        std::string out;
        appendJsonString(out, c.input);
        EXPECT_EQ(out, c.expected) << c.input;
        // Whatever went in, our own reader takes the result back.
        EXPECT_TRUE(parseJson(out).has_value()) << out;
    }
}

TEST(JsonWriterTest, NumbersReadBackExactly) {
    const double values[] = {0.0, 97123.45, 0.1, 4.2317, 1e-7, 123456789012.5, -2.5};
    for (double v : values) {
        std::string out;
        appendJsonNumber(out, v);
        const auto parsed = parseJson(out);
        ASSERT_TRUE(parsed.has_value()) << out;
        EXPECT_EQ(parsed->number, v) << out;
    }
    std::string special;
    appendJsonNumber(special, std::numeric_limits<double>::quiet_NaN());
    appendJsonNumber(special, std::numeric_limits<double>::infinity());
    EXPECT_EQ(special, "00");
}

TEST(JsonWriterTest, PlacesCommasInNestedValues) {
    JsonWriter w;
    w.beginObject();
    w.key("a");
    w.beginArray();
    w.integer(-1);
    w.unsignedInteger(18446744073709551615u);
    w.beginObject();
    w.endObject();
    w.raw(R"({"x":1})");
    w.endArray();
    w.key("b");
    w.boolean(false);
    w.key("c");
    w.string("d");
    w.endObject();
    EXPECT_EQ(w.text(), R"({"a":[-1,18446744073709551615,{},{"x":1}],"b":false,"c":"d"})");
    EXPECT_EQ(jsonErrorBody("세션이 \"없음\""), R"({"error":"세션이 \"없음\""})");
}

}  // namespace
}  // namespace vindral
