// The reader's quick paths against the slow ones they stand in for: short decimals converted
// without from_chars must equal it to the last bit, strings copied in runs must equal the
// byte-by-byte decoding, containers built from the parse stack must keep every member.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "json/json.h"

namespace vindral {
namespace {

// What from_chars makes of the whole text, or nothing: the reader's rule for a number.
std::optional<double> fromChars(const std::string& text) {
    double value = 0.0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::general);
    if (ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

// Parses `text` both as a document and as a quoted string's asNumber, and compares both with
// from_chars bit for bit.
void expectSameAsFromChars(const std::string& text) {
    SCOPED_TRACE("number: " + text);
    const std::optional<double> expected = fromChars(text);
    const std::optional<JsonValue> doc = parseJson(text);
    if (text[0] == '-' || (text[0] >= '0' && text[0] <= '9')) {
        ASSERT_EQ(doc.has_value(), expected.has_value());
        if (doc) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(doc->number),
                      std::bit_cast<std::uint64_t>(*expected));
        }
    }
    JsonValue quoted;
    quoted.kind = JsonKind::String;
    quoted.text = text;
    const std::optional<double> fromText = quoted.asNumber();
    ASSERT_EQ(fromText.has_value(), expected.has_value());
    if (fromText) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(*fromText), std::bit_cast<std::uint64_t>(*expected));
    }
}

TEST(JsonReaderNumbers, BoundaryFormsEqualFromChars) {
    const char* cases[] = {
        // 15 digits (the quick path's most, with a sign and a point) and 16.
        "999999999999999",
        "-999999999999999",
        "9999999999999999",
        "-0.99999999999999",
        "-0.999999999999999",
        "12345678901234.5",
        "1234567890123.45",
        "0.000000000000001",
        "0.0000000000000001",
        "-.123456789012345",
        "123456789012345.",
        "0000000000000001",
        // Around 2^53, where an integer stops being exact in a double; halfway cases round to
        // even.
        "9007199254740991",
        "9007199254740992",
        "9007199254740993",
        "9007199254740995",
        "-9007199254740993",
        "18014398509481989",
        "9223372036854775807",
        "9223372036854775808",
        "18446744073709551615",
        "18446744073709551616",
        // Beyond 64 bits.
        "1234567890123456789",
        "12345678901234567890",
        "0.1234567890123456789",
        "0.12345678901234567890",
        "00000000000000000001",
        "0000000000000000000.5",
        // Exponents, which only from_chars reads.
        "1e27",
        "1e28",
        "1e-27",
        "1e-28",
        "123456789e27",
        "9.99999999999999999e-27",
        "1e9999",
        "1e-9999",
        "1e00005",
        "0e99999",
        "0e-99999",
        "-0e5",
        // Fractions that are no double, and halfway cases.
        "0.1",
        "0.2",
        "0.3",
        "2.2250738585072014e-10",
        "4.35679716e-8",
        "-65.613616999999977",
        "-65.61361699999998",
        "83.2653846153846",
        "1.00000000000000011102230246251565404236316680908203125",
        "1.0000000000000002220446",
        "0.500000000000000166533453693773481063544750213623046875",
        // The lenient forms from_chars allows, and runs it refuses.
        "007",
        "1.",
        "-.5",
        ".5",
        "1.e5",
        "-0",
        "-0.0",
        "0.000",
        "-",
        "1e",
        "1e+",
        "1-2",
        "1.2.3",
        "--1",
        "1e5e5",
        "-e5",
        ".",
        "1+",
        "+1",
        "1E+2",
        "1e-2",
        "65000.10",
    };
    for (const char* text : cases) {
        expectSameAsFromChars(text);
    }
}

TEST(JsonReaderNumbers, RandomDecimalsEqualFromChars) {
    std::mt19937_64 random(20261208);
    std::uniform_int_distribution<int> digitCount(1, 21);
    std::uniform_int_distribution<int> digit(0, 9);
    std::uniform_int_distribution<int> exponent(-32, 32);
    std::uniform_int_distribution<int> coin(0, 3);
    char buffer[64];
    for (int i = 0; i < 20000; ++i) {
        // Random doubles at every precision, as writers print them.
        const double d = std::bit_cast<double>(random() & 0x7FEFFFFFFFFFFFFFu);
        std::snprintf(buffer, sizeof buffer, "%.*g", 1 + i % 17, d);
        expectSameAsFromChars(buffer);
        // Random digit strings of either side of the quick path's length, with a point and an
        // exponent now and then.
        std::string text = coin(random) == 0 ? "-" : "";
        const int count = digitCount(random);
        const int point = std::uniform_int_distribution<int>(0, count)(random);
        for (int j = 0; j < count; ++j) {
            if (j == point && coin(random) != 0) {
                text += '.';
            }
            text += static_cast<char>('0' + digit(random));
        }
        if (coin(random) == 0) {
            text += 'e' + std::to_string(exponent(random));
        }
        expectSameAsFromChars(text);
    }
}

TEST(JsonReaderNumbers, LongDecimalsEqualFromChars) {
    // Plain decimals of up to 19 digits whose digits pass 2^53 are rounded from their 64-bit
    // integer and the power of ten of the fraction (10^0 to 10^-19), not by from_chars.
    const char* cases[] = {
        // Either side of 2^53 and of 2^64, with and without a fraction.
        "9007199254740992",
        "9007199254740993",
        "9007199254740994",
        "9007199254740995",
        "900719925474099.3",
        "90071992547409.93",
        "0.9007199254740993",
        "18446744073709551615",
        "1844674407370955161.5",
        "9999999999999999999",
        "-9999999999999999999",
        "9.999999999999999999",
        "0.9999999999999999999",
        "99999999999999999999",
        "9.9999999999999999999",
        // Ties between two doubles, which round to the even one: spacing 1, 0.5 and 0.25.
        "4503599627370496.5",
        "4503599627370497.5",
        "-4503599627370497.5",
        "2251799813685248.25",
        "2251799813685248.75",
        "1125899906842624.125",
        "1125899906842624.375",
        // Just off a tie, and a 17-digit tie in the last place.
        "4503599627370496.4999",
        "4503599627370496.5001",
        "9007199254740993.0",
        "9007199254740993.00",
        // The exponent at both ends of the range: none, and nineteen fraction digits.
        "1234567890123456789",
        "0.1234567890123456789",
        "-0.1234567890123456789",
        "0.0000000000000000001",
        "0.0000000000000000009",
        "0.000000000000000001",
        "0.00000000000000000001",
        // Zeros, the negative one included, and leading zeros that count as digits.
        "-0",
        "-0.000000000000000000",
        "-0.0000000000000000000",
        "0.0000000000000000000",
        "0000000000000000001.5",
        "0000009007199254740993",
        // Subnormals and the extremes, which go to from_chars.
        "4.9406564584124654e-324",
        "2.2250738585072011e-308",
        "2.2250738585072014e-308",
        "1.7976931348623157e308",
        "0.00000000000000000000000000000000000000000000000000000000000000000001",
        // Coordinates and prices as writers print them.
        "-65.613616999999977",
        "43.516105999999979",
        "62987.630000000005",
        "505874924095815681",
        "-55.946090000000012",
        "8.5000000000000001",
    };
    for (const char* text : cases) {
        expectSameAsFromChars(text);
    }

    // Random digits of every count from 15 to 20, with the point anywhere, and doubles printed
    // with 16 to 19 significant digits in plain notation.
    std::mt19937_64 random(20261209);
    std::uniform_int_distribution<int> digitCount(15, 20);
    std::uniform_int_distribution<int> digit(0, 9);
    std::uniform_int_distribution<int> lead(1, 9);
    char buffer[512];
    for (int i = 0; i < 30000; ++i) {
        const int count = digitCount(random);
        const int point = std::uniform_int_distribution<int>(0, count)(random);
        std::string text = i % 2 == 0 ? "" : "-";
        for (int j = 0; j < count; ++j) {
            if (j == point && j != 0) {
                text += '.';
            }
            text += static_cast<char>('0' + (j == 0 ? lead(random) : digit(random)));
        }
        expectSameAsFromChars(text);

        const double magnitude =
            std::ldexp(std::uniform_real_distribution<double>(1.0, 2.0)(random),
                       std::uniform_int_distribution<int>(-64, 64)(random));
        const int precision = 16 + i % 4;
        const int fraction =
            std::max(0, precision - 1 - static_cast<int>(std::floor(std::log10(magnitude))));
        std::snprintf(buffer, sizeof buffer, "%.*f", std::min(fraction, 19), magnitude);
        expectSameAsFromChars(buffer);
    }
}

TEST(JsonReaderNumbers, DigitRunsOfEveryLengthWhereverTheyEnd) {
    // Digits are read up to eight at a time while eight bytes remain, then one at a time: every
    // length of integer and fraction, at the very end of the input, inside an array, and before
    // bytes that end a number (the neighbours of '0' and '9', and bytes above 0x7F among them).
    const std::string digits = "98765432109876543210";
    const std::string enders[] = {" ", "/", ":", "\xB9", "\xBA", "x"};
    for (std::size_t whole = 0; whole <= digits.size(); ++whole) {
        for (std::size_t fraction = 0; whole + fraction <= digits.size(); fraction += 3) {
            std::string number = digits.substr(0, whole);
            if (fraction > 0) {
                number += "." + digits.substr(whole, fraction);
            }
            if (number.empty()) {
                continue;
            }
            expectSameAsFromChars(number);
            expectSameAsFromChars("-" + number);
            expectSameAsFromChars(number + "e1");
            if (whole == 0) {
                continue;  // a value cannot begin with the point
            }
            const std::optional<JsonValue> inArray = parseJson("[" + number + ",0]");
            ASSERT_TRUE(inArray.has_value()) << number;
            EXPECT_EQ(std::bit_cast<std::uint64_t>(inArray->items[0].number),
                      std::bit_cast<std::uint64_t>(*fromChars(number)))
                << number;
            for (const std::string& ender : enders) {
                std::string error;
                EXPECT_FALSE(parseJson(number + ender + "0", &error).has_value());
                const std::string expected =
                    ender == " " ? "trailing characters at " + std::to_string(number.size() + 1)
                                 : "trailing characters at " + std::to_string(number.size());
                EXPECT_EQ(error, expected) << number;
            }
        }
    }
}

TEST(JsonReaderStrings, RunsAndEscapesDecodeAlike) {
    // Long runs cross the eight-byte blocks of the scan with the quote or backslash at every
    // position within a block.
    for (std::size_t length = 0; length < 40; ++length) {
        SCOPED_TRACE("length " + std::to_string(length));
        const std::string plain(length, 'x');
        std::optional<JsonValue> v = parseJson("\"" + plain + "\"");
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->text, plain);

        v = parseJson("\"" + plain + "\\n" + plain + "\\u00e9\"");
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->text, plain + "\n" + plain + "\xC3\xA9");

        std::string error;
        EXPECT_FALSE(parseJson("\"" + plain, &error).has_value());
        EXPECT_EQ(error, "unterminated string at " + std::to_string(length + 1));
        EXPECT_FALSE(parseJson("\"" + plain + "\\", &error).has_value());
        EXPECT_EQ(error, "unterminated string at " + std::to_string(length + 2));
        EXPECT_FALSE(parseJson("\"" + plain + "\\n" + plain, &error).has_value());
        EXPECT_EQ(error, "unterminated string at " + std::to_string(2 * length + 3));
    }

    const std::string longText(5000, 'k');
    const std::optional<JsonValue> keyed =
        parseJson("{\"" + longText + "\":\"" + longText + "\\\"" + longText + "\"}");
    ASSERT_TRUE(keyed.has_value());
    ASSERT_EQ(keyed->keys.size(), 1u);
    EXPECT_EQ(keyed->keys[0], longText);
    EXPECT_EQ(keyed->items[0].text, longText + "\"" + longText);
}

TEST(JsonReaderStrings, KeysOfEveryShortLengthWhateverFollowsThem) {
    // A short key is copied with the bytes after it and then cut: wherever it lies (input or
    // decoded), however little follows it, it must hold its own bytes and no more.
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyz";
    const std::string padding = R"(,"pad":")" + std::string(40, 'p') + R"(\n")";
    for (std::size_t length = 0; length <= 20; ++length) {
        const std::string key = alphabet.substr(0, length);
        const std::string escaped = length == 0 ? key : "\\u0041" + key.substr(1);
        const std::string decoded = length == 0 ? key : "A" + key.substr(1);
        struct Case {
            std::string document;
            std::string key;
        };
        const Case cases[] = {
            {"{\"" + key + "\":1}", key},
            {"{\"" + key + "\":1" + padding + "}", key},
            {"{\"" + escaped + "\":1}", decoded},
            {"{\"" + escaped + "\":1" + padding + "}", decoded},
            {"[{\"" + key + "\":\"" + key + "\"}]", key},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.document);
            const std::optional<JsonValue> v = parseJson(c.document);
            ASSERT_TRUE(v.has_value());
            const JsonValue& object = v->kind == JsonKind::Array ? v->items[0] : *v;
            ASSERT_FALSE(object.keys.empty());
            EXPECT_EQ(object.keys[0], c.key);
            EXPECT_EQ(object.keys[0].size(), c.key.size());
        }
    }
}

TEST(JsonReaderContainers, NestedContainersKeepEveryMemberInOrder) {
    // Containers closing inside containers, each with its elements on the shared stack.
    const std::optional<JsonValue> v = parseJson(
        R"({"a":[1,[2,3],{"b":[],"c":{}},"s"],"a":{"x":[[[4]]],"y":5},"z":[{"k":1},{"k":2}]})");
    ASSERT_TRUE(v.has_value());
    ASSERT_EQ(v->keys, (std::vector<std::string>{"a", "a", "z"}));
    const JsonValue& first = v->items[0];
    ASSERT_EQ(first.items.size(), 4u);
    EXPECT_EQ(first.items[0].number, 1.0);
    ASSERT_EQ(first.items[1].items.size(), 2u);
    EXPECT_EQ(first.items[1].items[1].number, 3.0);
    EXPECT_EQ(first.items[2].keys, (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(first.items[2].items[0].kind, JsonKind::Array);
    EXPECT_EQ(first.items[2].items[1].kind, JsonKind::Object);
    EXPECT_EQ(first.items[3].text, "s");
    EXPECT_EQ(v->find("a"), &v->items[0]);
    EXPECT_EQ(v->items[1].find("x")->at(0)->at(0)->at(0)->number, 4.0);
    EXPECT_EQ(v->items[1].find("y")->number, 5.0);
    ASSERT_EQ(v->items[2].items.size(), 2u);
    EXPECT_EQ(v->items[2].at(1)->find("k")->number, 2.0);

    // A large array and a large object, each allocated once from many stacked elements.
    std::string array = "[";
    std::string object = "{";
    for (int i = 0; i < 3000; ++i) {
        array += (i ? "," : "") + std::to_string(i);
        object += (i ? ",\"k" : "\"k") + std::to_string(i % 7) + "\":[" + std::to_string(i) + "]";
    }
    const std::optional<JsonValue> big = parseJson(array + "]");
    ASSERT_TRUE(big.has_value());
    ASSERT_EQ(big->items.size(), 3000u);
    EXPECT_EQ(big->items[2999].number, 2999.0);
    const std::optional<JsonValue> members = parseJson(object + "}");
    ASSERT_TRUE(members.has_value());
    ASSERT_EQ(members->keys.size(), 3000u);
    ASSERT_EQ(members->items.size(), 3000u);
    EXPECT_EQ(members->keys[2999], "k3");
    EXPECT_EQ(members->items[2999].at(0)->number, 2999.0);
    EXPECT_EQ(members->find("k3")->at(0)->number, 3.0);
}

TEST(JsonReaderContainers, EscapedTextsSurviveInnerContainersClosing) {
    // Decoded keys and texts wait beside the elements until their container closes; an inner
    // container that closes in between must leave the outer ones intact.
    const std::optional<JsonValue> v = parseJson(
        R"({"\u00e9":{"\n":"\t","k":["\/",[],{}]},"z\"":["\\",{"a":[]},"x\u0041"],"e":"\r"})");
    ASSERT_TRUE(v.has_value());
    ASSERT_EQ(v->keys, (std::vector<std::string>{"\xC3\xA9", "z\"", "e"}));
    const JsonValue& inner = v->items[0];
    ASSERT_EQ(inner.keys, (std::vector<std::string>{"\n", "k"}));
    EXPECT_EQ(inner.items[0].text, "\t");
    ASSERT_EQ(inner.items[1].items.size(), 3u);
    EXPECT_EQ(inner.items[1].items[0].text, "/");
    EXPECT_EQ(inner.items[1].items[1].kind, JsonKind::Array);
    EXPECT_TRUE(inner.items[1].items[1].items.empty());
    EXPECT_EQ(inner.items[1].items[2].kind, JsonKind::Object);
    const JsonValue& list = v->items[1];
    ASSERT_EQ(list.items.size(), 3u);
    EXPECT_EQ(list.items[0].text, "\\");
    EXPECT_EQ(list.items[1].find("a")->kind, JsonKind::Array);
    EXPECT_EQ(list.items[2].text, "xA");
    EXPECT_EQ(v->items[2].text, "\r");

    // A document that is one escaped text, and many containers with escapes, enough to grow
    // every stack of the parse.
    EXPECT_EQ(parseJson(R"("a\u00e9\n")")->text, "a\xC3\xA9\n");
    std::string many = "[";
    for (int i = 0; i < 500; ++i) {
        many += (i ? ",{\"k\\n" : "{\"k\\n") + std::to_string(i) + "\":[\"v\\t\"," +
                std::to_string(i) + ",[]]}";
    }
    const std::optional<JsonValue> big = parseJson(many + "]");
    ASSERT_TRUE(big.has_value());
    ASSERT_EQ(big->items.size(), 500u);
    const JsonValue& last = big->items[499];
    ASSERT_EQ(last.keys, (std::vector<std::string>{"k\n499"}));
    ASSERT_EQ(last.items[0].items.size(), 3u);
    EXPECT_EQ(last.items[0].items[0].text, "v\t");
    EXPECT_EQ(last.items[0].items[1].number, 499.0);
    EXPECT_EQ(big->items[0].keys[0], "k\n0");
}

TEST(JsonReaderContainers, EachParseStartsAfreshAfterAnyOther) {
    // The parse stacks are kept from one document to the next on a thread: a failure deep
    // inside, or a document that grew them past what is kept, must leave nothing behind.
    std::string pairs = "[";
    for (int i = 0; i < 10000; ++i) {
        pairs += (i ? ",[" : "[") + std::to_string(i) + ".25,\"p\\n" + std::to_string(i) + "\"]";
    }
    pairs += "]";
    const std::string small = R"({"a":[1,{"b":"c\td"}],"e":"f"})";
    const std::string failing[] = {
        R"({"a":{"b":[1,2,{"c":"d\x"}]}})",
        std::string(kMaxJsonDepth + 1, '[') + "1",
        "[[1,2],[3,4],[5,6}",
        pairs.substr(0, pairs.size() - 1),
    };
    for (int round = 0; round < 3; ++round) {
        for (const std::string& bad : failing) {
            EXPECT_FALSE(parseJson(bad).has_value());
            const std::optional<JsonValue> v = parseJson(small);
            ASSERT_TRUE(v.has_value());
            ASSERT_EQ(v->keys, (std::vector<std::string>{"a", "e"}));
            ASSERT_EQ(v->items[0].items.size(), 2u);
            EXPECT_EQ(v->items[0].items[1].find("b")->text, "c\td");
            EXPECT_EQ(v->items[1].text, "f");
        }
        const std::optional<JsonValue> big = parseJson(pairs);
        ASSERT_TRUE(big.has_value());
        ASSERT_EQ(big->items.size(), 10000u);
        EXPECT_EQ(big->items[9999].items[0].number, 9999.25);
        EXPECT_EQ(big->items[9999].items[1].text, "p\n9999");
        EXPECT_EQ(big->items[0].items[1].text, "p\n0");
        EXPECT_EQ(parseJson("7")->number, 7.0);
    }
}

TEST(JsonReaderContainers, ThreadsParseAtOnce) {
    // Each thread has stacks of its own.
    std::vector<std::thread> threads;
    std::vector<int> good(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &good] {
            for (int i = 0; i < 200; ++i) {
                const std::string text = "{\"t\":[" + std::to_string(t) + ",\"x\\n" +
                                         std::to_string(i) + "\",[" + std::to_string(i) + "]]}";
                const std::optional<JsonValue> v = parseJson(text);
                if (v && v->find("t")->at(0)->number == t &&
                    v->find("t")->at(1)->text == "x\n" + std::to_string(i) &&
                    v->find("t")->at(2)->at(0)->number == i) {
                    ++good[t];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(good, (std::vector<int>{200, 200, 200, 200}));
}

TEST(JsonReaderContainers, FailuresDeepInsideReportTheSameTexts) {
    struct Case {
        std::string input;
        std::string error;
    };
    const std::string deep = std::string(kMaxJsonDepth, '[');
    const Case cases[] = {
        {deep + "1" + std::string(kMaxJsonDepth - 1, ']'), "unterminated array at 128"},
        {deep + "[1]" + std::string(kMaxJsonDepth, ']'), "nesting too deep at 65"},
        {std::string(kMaxJsonDepth - 1, '[') + "{\"a\":1,\"a\"}", "expected : at 73"},
        {"[[1,2],[3,4],[5,6}", "expected , or ] at 18"},
        {R"({"a":{"b":[1,2,{"c":"d\x"}]}})", "bad escape at 24"},
        {R"([{"k":1},{"k":2},{"k":3e}])", "bad number at 24"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("input: " + c.input);
        std::string error;
        EXPECT_FALSE(parseJson(c.input, &error).has_value());
        EXPECT_EQ(error, c.error);
    }
}

}  // namespace
}  // namespace vindral
