#include "json/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vindral {
namespace {

using namespace std::string_literals;

std::string nested(int depth, std::string_view inner) {
    return std::string(static_cast<std::size_t>(depth), '[') + std::string(inner) +
           std::string(static_cast<std::size_t>(depth), ']');
}

struct RejectCase {
    std::string input;
    std::string error;
};

TEST(JsonParse, RejectsWithExactTextAndOffset) {
    const RejectCase cases[] = {
        {"", "unexpected end at 0"},
        {"   ", "unexpected end at 3"},
        {"[", "unexpected end at 1"},
        {"[ \t", "unexpected end at 3"},
        {"[1 2]", "expected , or ] at 4"},
        {"[1}", "expected , or ] at 3"},
        {"{\"a\" 1}", "expected : at 5"},
        {"{\"a\"", "expected : at 4"},
        {"1 x", "trailing characters at 2"},
        {"nullx", "trailing characters at 4"},
        {"[]]", "trailing characters at 2"},
        {"{} \n {}", "trailing characters at 5"},
        {"[1,]", "unexpected character at 3"},
        {"{\"a\":1,}", "expected key at 7"},
        {"{", "expected key at 1"},
        {"{1:2}", "expected key at 1"},
        {"{\"a\":}", "unexpected character at 5"},
        {"\"\\q\"", "bad escape at 3"},
        {"\xEF\xBB\xBF{}", "unexpected character at 0"},
        {"\f1", "unexpected character at 0"},
        {"[\0]"s, "unexpected character at 1"},
        {"tru", "unexpected character at 0"},
        {"[nul]", "unexpected character at 1"},
        {"True", "unexpected character at 0"},
        {"+1", "unexpected character at 0"},
        {".5", "unexpected character at 0"},
        {"-", "bad number at 1"},
        {"1e999", "bad number at 5"},
        {"[-1e999]", "bad number at 7"},
        {"1e", "bad number at 2"},
        {"1-2", "bad number at 3"},
        {"1.2.3", "bad number at 5"},
        {"\"\\u12xy\"", "bad hex digit at 6"},
        {"\"\\uG000\"", "bad hex digit at 4"},
        {"\"\\u1", "bad unicode escape at 3"},
        {"\"\\uD800\\u12", "bad unicode escape at 9"},
        {"\"\\uD800\\u12z4\"", "bad hex digit at 12"},
        {"\"abc", "unterminated string at 4"},
        {"\"abc\\", "unterminated string at 5"},
        {"{\"ab", "unterminated string at 4"},
        {"[1", "unterminated array at 2"},
        {"[1 \r\n", "unterminated array at 5"},
        {"{\"a\":1", "unterminated object at 6"},
        {"{\"a\":1]", "expected , or } at 7"},
    };
    for (const RejectCase& c : cases) {
        SCOPED_TRACE("input: " + c.input);
        std::string error = "untouched";
        EXPECT_FALSE(parseJson(c.input, &error).has_value());
        EXPECT_EQ(error, c.error);
        EXPECT_FALSE(parseJson(c.input, nullptr).has_value());
    }
}

TEST(JsonParse, SuccessLeavesTheErrorStringAlone) {
    std::string error = "earlier";
    ASSERT_TRUE(parseJson("[]", &error).has_value());
    EXPECT_EQ(error, "earlier");
}

struct NumberCase {
    std::string input;
    double value;
};

TEST(JsonParse, NumbersFollowFromChars) {
    const NumberCase cases[] = {
        {"0", 0.0},
        {"-0", -0.0},
        {"42", 42.0},
        {"007", 7.0},
        {"1.", 1.0},
        {"-.5", -0.5},
        {"1E+2", 100.0},
        {"1e-2", 0.01},
        {"65000.10", 65000.1},
        {"-123.456e78", -123.456e78},
        {"  42  ", 42.0},
        {"1.7976931348623157e308", std::numeric_limits<double>::max()},
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE("input: " + c.input);
        const std::optional<JsonValue> v = parseJson(c.input);
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->kind, JsonKind::Number);
        EXPECT_EQ(v->number, c.value);
        EXPECT_EQ(std::signbit(v->number), std::signbit(c.value));
    }
}

TEST(JsonParse, LiteralsAndBareStringsStandAlone) {
    const std::optional<JsonValue> t = parseJson("true");
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(t->kind, JsonKind::Bool);
    EXPECT_TRUE(t->boolean);

    const std::optional<JsonValue> f = parseJson(" false ");
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->kind, JsonKind::Bool);
    EXPECT_FALSE(f->boolean);

    const std::optional<JsonValue> n = parseJson("null");
    ASSERT_TRUE(n.has_value());
    EXPECT_EQ(n->kind, JsonKind::Null);

    const std::optional<JsonValue> s = parseJson("\"bare\"");
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->kind, JsonKind::String);
    EXPECT_EQ(s->text, "bare");
}

struct StringCase {
    std::string input;
    std::string bytes;
};

TEST(JsonParse, StringEscapesDecodeToUtf8Bytes) {
    const StringCase cases[] = {
        {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
        {R"("\u0000")", "\0"s},
        {R"("\u007F\u0080")", "\x7F\xC2\x80"},
        {R"("\u00e9\u00E9")", "\xC3\xA9\xC3\xA9"},
        {R"("\u07FF\u0800")", "\xDF\xBF\xE0\xA0\x80"},
        {R"("\uFFFF")", "\xEF\xBF\xBF"},
        {R"("\uD83D\uDE00")", "\xF0\x9F\x98\x80"},
        {R"("\uDBFF\uDFFF")", "\xF4\x8F\xBF\xBF"},
        // Unpaired surrogates are kept as three-byte sequences of their own.
        {R"("\uD800x")", "\xED\xA0\x80x"},
        {R"("\uD800")", "\xED\xA0\x80"},
        {R"("\uDC00\uD800")", "\xED\xB0\x80\xED\xA0\x80"},
        {R"("\uD800\\u")", "\xED\xA0\x80\\u"},
        // A high surrogate whose partner escape is no low surrogate: two code points, not a
        // made-up combination, and the partner may still pair with the escape after it.
        {R"("\uD800\u0041")",
         "\xED\xA0\x80"
         "A"},
        {R"("\uD800\uD800")", "\xED\xA0\x80\xED\xA0\x80"},
        {R"("\uDBFF\uE000")", "\xED\xAF\xBF\xEE\x80\x80"},
        {R"("\uD800\uD83D\uDE00")", "\xED\xA0\x80\xF0\x9F\x98\x80"},
        // Raw bytes are kept unchanged: control bytes, invalid UTF-8, Korean text.
        {"\"a\tb\nc\x01\"", "a\tb\nc\x01"},
        {"\"\xFF\xC0\x80\"", "\xFF\xC0\x80"},
        {"\"\xEB\xB9\x84\xED\x8A\xB8\"", "\xEB\xB9\x84\xED\x8A\xB8"},
        {"\"\0\""s, "\0"s},
    };
    for (const StringCase& c : cases) {
        SCOPED_TRACE("input: " + c.input);
        std::string error;
        const std::optional<JsonValue> v = parseJson(c.input, &error);
        ASSERT_TRUE(v.has_value()) << error;
        EXPECT_EQ(v->kind, JsonKind::String);
        EXPECT_EQ(v->text, c.bytes);
    }
}

TEST(JsonParse, ObjectsKeepMembersInDocumentOrderWithDuplicates) {
    const std::optional<JsonValue> v = parseJson(R"(  {"a":1,"b\u0041":[true,null],"a":2}  )");
    ASSERT_TRUE(v.has_value());
    ASSERT_EQ(v->kind, JsonKind::Object);
    ASSERT_EQ(v->keys.size(), 3u);
    ASSERT_EQ(v->items.size(), 3u);
    EXPECT_EQ(v->keys[0], "a");
    EXPECT_EQ(v->keys[1], "bA");
    EXPECT_EQ(v->keys[2], "a");
    EXPECT_EQ(v->items[2].number, 2.0);
    ASSERT_NE(v->find("a"), nullptr);
    EXPECT_EQ(v->find("a")->number, 1.0);
    ASSERT_NE(v->find("bA"), nullptr);
    EXPECT_EQ(v->find("bA")->items.size(), 2u);
}

TEST(JsonParse, ReadsAnExchangeTicker) {
    const std::optional<JsonValue> v = parseJson(R"({
        "code": "00000",
        "requestTime": 1695808949356,
        "data": [{"symbol": "BTCUSDT", "lastPr": "65000.10", "change24h": "-0.0123",
                  "open": 0, "ok": true}]
    })");
    ASSERT_TRUE(v.has_value());
    const JsonValue* data = v->find("data");
    ASSERT_NE(data, nullptr);
    const JsonValue* ticker = data->at(0);
    ASSERT_NE(ticker, nullptr);
    EXPECT_EQ(ticker->find("symbol")->text, "BTCUSDT");
    EXPECT_EQ(ticker->find("lastPr")->asNumber(), 65000.1);
    EXPECT_EQ(ticker->find("change24h")->asNumber(), -0.0123);
    EXPECT_EQ(ticker->find("open")->asText(), "0");
    EXPECT_TRUE(ticker->find("ok")->boolean);
    EXPECT_EQ(v->find("requestTime")->asText(), "1.695808949e+12");
    EXPECT_EQ(v->find("code")->asNumber(), 0.0);
    EXPECT_EQ(data->at(1), nullptr);
}

TEST(JsonParse, NestingLimit) {
    EXPECT_TRUE(parseJson(nested(kMaxJsonDepth, "1")).has_value());
    EXPECT_TRUE(parseJson(nested(kMaxJsonDepth + 1, "")).has_value());

    struct DeepCase {
        std::string input;
        std::string error;
    };
    const DeepCase cases[] = {
        {nested(kMaxJsonDepth + 1, "1"), "nesting too deep at 65"},
        {nested(kMaxJsonDepth + 2, ""), "nesting too deep at 65"},
        // The first element is checked after the whitespace that follows its '['.
        {nested(kMaxJsonDepth + 1, "  1"), "nesting too deep at 67"},
        // A member value is checked right after its ':'.
        {nested(kMaxJsonDepth, R"({"a": 1})"), "nesting too deep at 69"},
        {std::string(100000, '['), "nesting too deep at 65"},
    };
    for (const DeepCase& c : cases) {
        SCOPED_TRACE("input length " + std::to_string(c.input.size()));
        std::string error;
        EXPECT_FALSE(parseJson(c.input, &error).has_value());
        EXPECT_EQ(error, c.error);
    }

    std::string deepObject;
    for (int i = 0; i < kMaxJsonDepth; ++i) {
        deepObject += R"({"k":)";
    }
    deepObject += "0" + std::string(kMaxJsonDepth, '}');
    EXPECT_TRUE(parseJson(deepObject).has_value());
}

TEST(JsonAccessors, FindAndAtAreTotal) {
    const std::optional<JsonValue> doc = parseJson(R"({"arr":[],"one":[5],"s":"x","Key":1})");
    ASSERT_TRUE(doc.has_value());
    EXPECT_EQ(doc->find("missing"), nullptr);
    EXPECT_EQ(doc->find("key"), nullptr);
    EXPECT_EQ(doc->find("Ke"), nullptr);
    EXPECT_EQ(doc->find(""), nullptr);
    EXPECT_EQ(doc->at(0), nullptr);

    const JsonValue* arr = doc->find("arr");
    ASSERT_NE(arr, nullptr);
    EXPECT_EQ(arr->at(0), nullptr);
    EXPECT_EQ(arr->find("arr"), nullptr);

    const JsonValue* one = doc->find("one");
    ASSERT_NE(one, nullptr);
    ASSERT_NE(one->at(0), nullptr);
    EXPECT_EQ(one->at(0)->number, 5.0);
    EXPECT_EQ(one->at(1), nullptr);
    EXPECT_EQ(one->at(std::numeric_limits<std::size_t>::max()), nullptr);

    EXPECT_EQ(doc->find("s")->find("s"), nullptr);
    EXPECT_EQ(JsonValue{}.find(""), nullptr);
    EXPECT_EQ(JsonValue{}.at(0), nullptr);
}

JsonValue stringValue(std::string text) {
    JsonValue v;
    v.kind = JsonKind::String;
    v.text = std::move(text);
    return v;
}

JsonValue numberValue(double number) {
    JsonValue v;
    v.kind = JsonKind::Number;
    v.number = number;
    return v;
}

TEST(JsonAccessors, AsNumberReadsNumbersAndWholeNumericStrings) {
    EXPECT_EQ(numberValue(-2.5).asNumber(), -2.5);

    const std::pair<std::string, std::optional<double>> cases[] = {
        {"65000.10", 65000.1},  {"-5", -5.0},          {"1e3", 1000.0},
        {"007", 7.0},           {"", std::nullopt},    {"abc", std::nullopt},
        {" 1", std::nullopt},   {"1 ", std::nullopt},  {"1a", std::nullopt},
        {"+1", std::nullopt},   {"1,5", std::nullopt}, {"1e999", std::nullopt},
        {"0x10", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE("text: " + text);
        EXPECT_EQ(stringValue(text).asNumber(), expected);
    }
    EXPECT_EQ(stringValue("inf").asNumber(), std::numeric_limits<double>::infinity());
    const std::optional<double> nan = stringValue("nan").asNumber();
    ASSERT_TRUE(nan.has_value());
    EXPECT_TRUE(std::isnan(*nan));

    JsonValue boolean;
    boolean.kind = JsonKind::Bool;
    boolean.boolean = true;
    EXPECT_EQ(boolean.asNumber(), std::nullopt);
    EXPECT_EQ(JsonValue{}.asNumber(), std::nullopt);
    EXPECT_EQ(parseJson("[1]")->asNumber(), std::nullopt);
}

TEST(JsonAccessors, AsTextPrintsTenSignificantDigits) {
    const std::pair<double, std::string> numbers[] = {
        {0.0, "0"},
        {65000.5, "65000.5"},
        {-0.5, "-0.5"},
        {0.1 + 0.2, "0.3"},
        {97000000.12, "97000000.12"},
        {1234567891234.0, "1.234567891e+12"},
        {1e-7, "1e-07"},
        {1e100, "1e+100"},
        {12345678901.0, "1.23456789e+10"},
    };
    for (const auto& [number, text] : numbers) {
        SCOPED_TRACE(text);
        EXPECT_EQ(numberValue(number).asText(), text);
    }

    EXPECT_EQ(parseJson("true")->asText(), "true");
    EXPECT_EQ(parseJson("false")->asText(), "false");
    EXPECT_EQ(parseJson("\"x y\"")->asText(), "x y");
    EXPECT_EQ(parseJson("null")->asText(), "");
    EXPECT_EQ(parseJson("[1]")->asText(), "");
    EXPECT_EQ(parseJson("{\"a\":1}")->asText(), "");
}

TEST(SaturatingConversion, ClampsToInt64) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::pair<double, std::int64_t> cases[] = {
        {std::nan(""), 0},
        {0.0, 0},
        {-0.0, 0},
        {1.9, 1},
        {-1.9, -1},
        {1695808949356.0, 1695808949356},
        {0x1p63, kMax},
        {9.2233720368547758e18, kMax},
        {std::nextafter(0x1p63, 0.0), 9223372036854774784},
        {-0x1p63, kMin},
        {std::nextafter(-0x1p63, 0.0), -9223372036854774784},
        {1e300, kMax},
        {-1e300, kMin},
        {kInf, kMax},
        {-kInf, kMin},
    };
    for (const auto& [in, out] : cases) {
        SCOPED_TRACE(in);
        EXPECT_EQ(saturatingToInt64(in), out);
    }
}

TEST(SaturatingConversion, ClampsToUint64) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::pair<double, std::uint64_t> cases[] = {
        {std::nan(""), 0},
        {-0.0, 0},
        {-0.5, 0},
        {-1.0, 0},
        {-kInf, 0},
        {0.5, 0},
        {42.9, 42},
        {0x1p63, 9223372036854775808u},
        {std::nextafter(0x1p64, 0.0), 18446744073709549568u},
        {0x1p64, kMax},
        {1e300, kMax},
        {kInf, kMax},
    };
    for (const auto& [in, out] : cases) {
        SCOPED_TRACE(in);
        EXPECT_EQ(saturatingToUint64(in), out);
    }
}

}  // namespace
}  // namespace vindral
