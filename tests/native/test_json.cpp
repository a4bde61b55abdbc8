#include <cmath>
#include <limits>
#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <locale>
#include <stdexcept>
#include <string>

#include "net/encoding.h"
#include "net/json.h"

using namespace std::string_literals;

namespace {

struct TextCase {
    std::string input;
    std::string expected;
};

TEST(JsonEscape, RewritesQuotesBackslashesAndControlBytesOnly) {
    const TextCase cases[] = {
        {"", ""},
        {"\t\"\\\x01", "\\t\\\"\\\\\\u0001"},
        {"\b\f\n\r", "\\b\\f\\n\\r"},
        {"\x1b", "\\u001b"},
        {"\x1f", "\\u001f"},
        {"\0x"s, "\\u0000x"},
        {"/ \xC3\xA9 \x7F \xFF", "/ \xC3\xA9 \x7F \xFF"},
        {"plain text run", "plain text run"},
        {"a\"b\"c", "a\\\"b\\\"c"},
    };
    for (const auto& c : cases) EXPECT_EQ(JsonEscape(c.input), c.expected) << c.input;
}

TEST(JsonUnescape, DecodesSimpleEscapesAndKeepsUnknownOnes) {
    const TextCase cases[] = {
        {"", ""},
        {"\\\"\\/\\\\", "\"/\\"},
        {"\\b\\f\\n\\r\\t", "\b\f\n\r\t"},
        {"a\\xb", "a\\xb"},
        {"end\\", "end\\"},
        {"ab\\u12", "abu12"},
        {"\\u004", "u004"},
        {"no escapes at all", "no escapes at all"},
    };
    for (const auto& c : cases) EXPECT_EQ(JsonUnescape(c.input), c.expected) << c.input;
}

TEST(JsonUnescape, WritesCodeUnitsAsUtf8AndJoinsSurrogatePairs) {
    const TextCase cases[] = {
        {"\\u0041", "A"},
        {"\\u00e9", "\xC3\xA9"},
        {"\\u00E9", "\xC3\xA9"},
        {"\\u20ac", "\xE2\x82\xAC"},
        {"\\u0000", "\0"s},
        {"\\uD83D\\uDE00", "\xF0\x9F\x98\x80"},
        {"\\udbff\\udfff", "\xF4\x8F\xBF\xBF"},
        {"x\\uD83Dy", "x\xEF\xBF\xBDy"},
        {"\\uDE00", "\xEF\xBF\xBD"},
        {"\\uDE00\\uD83D", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\\uD83D\\uD83D\\uDE00", "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
        {"\\uD83D\\n", "\xEF\xBF\xBD\n"},
        {"\\uD83D\\uDE0", "\xEF\xBF\xBDuDE0"},
        {"\\uD83D\\u0041", "\xEF\xBF\xBD" "A"},
    };
    for (const auto& c : cases) EXPECT_EQ(JsonUnescape(c.input), c.expected) << c.input;
}

TEST(JsonUnescape, ReadsHexLikeStoiAndAlwaysConsumesFourCharacters) {
    const TextCase cases[] = {
        {"\\u12zz!", "\x12!"},
        {"\\u  41", "A"},
        {"\\u+041", "A"},
        {"\\u0x41", "A"},
        {"\\u0xzz", "\0"s},
        {"\\u-001", "\xFF"},
        {"\\u4\0" "99"s, "\x04"},
    };
    for (const auto& c : cases) EXPECT_EQ(JsonUnescape(c.input), c.expected) << c.input;
}

TEST(JsonUnescape, EscapeWithoutReadableHexDigitThrowsInvalidArgument) {
    const std::string cases[] = {"\\uzzzz", "ok \\u+zzz", "\\u    ", "\\u\0" "123"s, "\\u-+12", "\\uD83D\\uzzzz"};
    for (const auto& c : cases) {
        try {
            JsonUnescape(c);
            ADD_FAILURE() << "no exception for " << c;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "invalid stoi argument");
        }
    }
}

// Every four-character mix of the bytes stoi treats specially reads the same value or fails alike.
TEST(JsonUnescape, HexReadingAgreesWithStoiOnEveryMixOfSpecialBytes) {
    const std::string alphabet = " \t+-0xX7fg"s + '\0';
    const size_t a = alphabet.size();
    for (size_t code = 0; code < a * a * a * a; ++code) {
        std::string four;
        for (size_t k = 0, c = code; k < 4; ++k, c /= a) four += alphabet[c % a];
        long expected;
        try {
            expected = std::stoi(four, nullptr, 16);
        } catch (const std::invalid_argument&) {
            EXPECT_THROW(JsonUnescape("\\u" + four), std::invalid_argument) << four;
            continue;
        }
        // No mix of these bytes reaches the surrogate range, so the plain UTF-8 rule applies.
        const std::string got = JsonUnescape("\\u" + four);
        std::string want;
        if (expected < 0x80) {
            want = std::string(1, static_cast<char>(expected));
        } else if (expected < 0x800) {
            want = {static_cast<char>(0xC0 | (expected >> 6)), static_cast<char>(0x80 | (expected & 0x3F))};
        } else {
            want = {static_cast<char>(0xE0 | (expected >> 12)), static_cast<char>(0x80 | ((expected >> 6) & 0x3F)),
                    static_cast<char>(0x80 | (expected & 0x3F))};
        }
        ASSERT_EQ(got, want) << "four=" << four;
    }
}

struct QuoteCase {
    std::string json;
    size_t start;
    size_t expected;
};

TEST(FindClosingQuote, SkipsQuotesEscapedByAnOddBackslashRun) {
    const QuoteCase cases[] = {
        {R"(ab\"c")", 0, 5},
        {R"(ab\\")", 0, 4},
        {R"(ab\\\"c")", 0, 7},
        {R"("x)", 0, 0},
        {R"(x\"")", 2, 2},
        {R"(\"x")", 1, 1},
        {R"(a\"b)", 0, kNotFound},
        {"abc", 0, kNotFound},
        {"\"", 1, kNotFound},
        {"\"", 5, kNotFound},
        {R"({"k":"v"})", 6, 7},
    };
    for (const auto& c : cases) EXPECT_EQ(FindClosingQuote(c.json, c.start), c.expected) << c.json << " @" << c.start;
}

struct ExtractCase {
    std::string json;
    std::string key;
    std::string expected;
};

TEST(ExtractJsonValue, ReturnsDecodedStringOrRawTokenOfFirstMatch) {
    const ExtractCase cases[] = {
        {R"({"error":{"message":"Bad key","type":"x"}})", "message", "Bad key"},
        {R"({"code": 401 })", "code", "401"},
        {R"({"content":null})", "content", "null"},
        {R"({"ok":true,"n":1})", "ok", "true"},
        {R"({"a":"x\"y\n"})", "a", "x\"y\n"},
        {"{\"a\":\r\n\t \"spaced\"}", "a", "spaced"},
        {R"({"a":[1,2]})", "a", "[1"},
        {R"({"a":{"b":1}})", "a", "{\"b\":1"},
        {R"({"a":,"b":2})", "a", ""},
        {R"({"a":}")", "a", ""},
        {R"({"b":"1","a":"2","a":"3"})", "a", "2"},
        {R"({"name":"n" "value":"v"})", "name", "n"},
        {R"(["message", "Boom"])", "message", ""},
        {R"({"x":1})", "message", ""},
        {R"({"a":"never closed)", "a", ""},
        {R"({"a")", "a", ""},
        {R"({"a" )", "a", ""},
        {R"({"a":   )", "a", ""},
        {R"({"a" 5})", "a", ""},
        {"", "a", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(ExtractJsonValue(c.json, c.key), c.expected) << c.json;
}

struct AfterKeyCase {
    std::string json;
    std::string quotedKey;
    size_t start;
    std::string expected;
};

TEST(ExtractStringAfterKey, TakesNextStringLiteralAfterTheColon) {
    const AfterKeyCase cases[] = {
        {R"({"content":null,"x":"y"})", "\"content\"", 0, "x"},
        {R"({"content":"Hi\u00e9"})", "\"content\"", 0, "Hi\xC3\xA9"},
        {R"({"type":"text","text":"answer"})", "\"text\"", 0, "answer"},
        {R"({"content":"a","message":{"content":"b"}})", "\"content\"", 12, "b"},
        {R"({"content":"a"})", "\"content\"", 99, ""},
        {R"({"content" "x"})", "\"content\"", 0, ""},
        {R"({"content":5})", "\"content\"", 0, ""},
        {R"({"content":"open)", "\"content\"", 0, ""},
        {R"({"content":""})", "\"content\"", 0, ""},
        {R"({"other":"v"})", "\"content\"", 0, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ExtractStringAfterKey(c.json, c.quotedKey, c.start), c.expected) << c.json << " @" << c.start;
}

TEST(JsonExtractors, InvalidEscapeInTheValueReachesTheCaller) {
    EXPECT_THROW(ExtractJsonValue(R"({"a":"\uzzzz"})", "a"), std::invalid_argument);
    EXPECT_THROW(ExtractStringAfterKey(R"({"a":"\uzzzz"})", "\"a\""), std::invalid_argument);
}

TEST(JsonValueStart, PointsAtTheFirstByteOfTheValue) {
    EXPECT_EQ(JsonValueStart(R"({"a": "v"})", "a"), 6u);
    EXPECT_EQ(JsonValueStart(R"({"a":null})", "a"), 5u);
    EXPECT_EQ(JsonValueStart(R"({"a":  )", "a"), kNotFound);
    EXPECT_EQ(JsonValueStart(R"({"b":1})", "a"), kNotFound);
}

TEST(FindText, FindsFirstOccurrenceAtOrAfterStart) {
    const std::string hay = "xx\"content\"yy\"content\"";
    EXPECT_EQ(FindText(hay, "\"content\""), 2u);
    EXPECT_EQ(FindText(hay, "\"content\"", 3), 13u);
    EXPECT_EQ(FindText(hay, "\"content\"", 14), kNotFound);
    EXPECT_EQ(FindText(hay, "y\"c"), 12u);
    EXPECT_EQ(FindText(hay, ""), 0u);
    EXPECT_EQ(FindText(hay, "x", 99), kNotFound);
    EXPECT_EQ(FindText("aaaaab", "aab"), 3u);
    EXPECT_EQ(FindText("abcabd", "abd"), 3u);
}

TEST(FlattenLineBreaks, DropsCarriageReturnsAndTurnsLineFeedsIntoSpaces) {
    EXPECT_EQ(FlattenLineBreaks("a\r\nb\nc", false), "a b c");
    EXPECT_EQ(FlattenLineBreaks("a\r\nb\nc", true), "a\r\nb\nc");
    EXPECT_EQ(FlattenLineBreaks("\r\r\n\n", false), "  ");
    EXPECT_EQ(FlattenLineBreaks("", false), "");
}

TEST(NumberFormat, FixedHasTwoDecimalsAndStreamDefaultHasSixSignificantDigits) {
    const struct {
        double value;
        const char* fixed;
        const char* stream;
    } cases[] = {
        {0.7, "0.70", "0.7"},   {0.0, "0.00", "0"},     {1.0, "1.00", "1"},       {1.5, "1.50", "1.5"},
        {0.05, "0.05", "0.05"}, {0.25, "0.25", "0.25"}, {2.0, "2.00", "2"},       {1e-05, "0.00", "1e-05"},
        {1.23456789, "1.23", "1.23457"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatFixed2(c.value), c.fixed) << c.value;
        EXPECT_EQ(FormatStreamDefault(c.value), c.stream) << c.value;
    }
}

TEST(NumberFormat, NonFiniteValuesNeverReachABody) {
    for (double v : {std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(FormatFixed2(v), "0.00") << v;
        EXPECT_EQ(FormatStreamDefault(v), "0") << v;
    }
}

struct CommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

TEST(NumberFormat, IgnoresAGlobalLocaleWithDecimalComma) {
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
    const std::string fixed = FormatFixed2(1234.5);
    const std::string stream = FormatStreamDefault(0.7);
    std::locale::global(previous);
    EXPECT_EQ(fixed, "1234.50");
    EXPECT_EQ(stream, "0.7");
}

TEST(NumberFormat, IgnoresGermanProcessLocale) {
    std::locale german;
    try {
        german = std::locale("de_DE.UTF-8");
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "de_DE.UTF-8 is not installed";
    }
    const std::string savedC = std::setlocale(LC_ALL, nullptr);
    const std::locale previous = std::locale::global(german);
    std::setlocale(LC_ALL, "de_DE.UTF-8");
    const std::string fixed = FormatFixed2(0.7);
    const std::string stream = FormatStreamDefault(0.7);
    std::locale::global(previous);
    std::setlocale(LC_ALL, savedC.c_str());
    EXPECT_EQ(fixed, "0.70");
    EXPECT_EQ(stream, "0.7");
}

TEST(IsValidUtf8, AcceptsWellFormedTextAndRejectsEveryMalformation) {
    const struct {
        std::string text;
        bool valid;
    } cases[] = {
        {"", true},
        {"plain", true},
        {"\0"s, true},
        {"\xC3\xA9", true},
        {"\xE2\x82\xAC", true},
        {"\xF0\x9F\x98\x80", true},
        {"\xF4\x8F\xBF\xBF", true},
        {"\xED\x9F\xBF", true},
        {"\xC0\x80", false},
        {"\xC1\xBF", false},
        {"\xE0\x80\x80", false},
        {"\xE0\x9F\xBF", false},
        {"\xF0\x8F\xBF\xBF", false},
        {"\xED\xA0\x80", false},
        {"\xED\xBF\xBF", false},
        {"\xF4\x90\x80\x80", false},
        {"\xF5\x80\x80\x80", false},
        {"\xFF", false},
        {"\x80", false},
        {"\xC3", false},
        {"\xE2\x82", false},
        {"\xE2\x28\xAC", false},
        {"caf\xE9", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsValidUtf8(c.text), c.valid) << ::testing::PrintToString(c.text);
}

TEST(HostTextToUtf8, KeepsUtf8AndReadsOtherTextAsWindows1252) {
    const TextCase cases[] = {
        {"", ""},
        {"plain", "plain"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"caf\xE9", "caf\xC3\xA9"},
        {"\x80", "\xE2\x82\xAC"},
        {"\x9F", "\xC5\xB8"},
        {"\x81", "\xC2\x81"},
        {"\xFF", "\xC3\xBF"},
        {"\xC3\xA9\xE9", "\xC3\x83\xC2\xA9\xC3\xA9"},
    };
    for (const auto& c : cases) EXPECT_EQ(HostTextToUtf8(c.input), c.expected) << c.input;
}

// A reply of 20 MB must be searched in a few dozen milliseconds, even under sanitizers.
TEST(JsonExtractors, TwentyMegabyteReplyIsScannedLinearly) {
    std::string reply = "{\"pad\":[";
    while (reply.size() < 10'000'000) reply += "{\"id\":\"chatcmpl\",\"n\":12345,\"x\":\"abc\\\"def\"},";
    reply += "{}],\"choices\":[{\"message\":{\"content\":\"";
    const std::string answer(10'000'000, 'w');
    reply += answer + "\\n\"}}]}";
    const auto begin = std::chrono::steady_clock::now();
    const std::string viaValue = ExtractJsonValue(reply, "content");
    const std::string viaKey = ExtractStringAfterKey(reply, "\"content\"");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_EQ(viaValue, answer + "\n");
    EXPECT_EQ(viaKey, viaValue);
    EXPECT_LT(seconds, 2.0);
}

}  // namespace

TEST(JsonTopLevelCloses, OnlyAnOpenedValueThatNeverClosesIsCut) {
    const struct {
        const char* text;
        bool closes;
    } cases[] = {
        {R"({"models":[{"name":"a"},{"name":"b"},{"name":"c"}]})", true},
        {R"({"models":[{"name":"a"},{"name":"b"},{"na)", false},
        {"  \r\n[1,2,3]\n", true},
        {"[1,2,", false},
        {"\xEF\xBB\xBF{\"choices\":[{\"message\":{\"content\":\"cut", false},  // a byte order mark hides no cut
        {R"({"a":"}]"})", true},             // brackets inside strings do not count
        {R"({"a":"}])", false},              // a string cut short
        {R"({"a":"x\"}"})", true},           // an escaped quote stays inside the string
        {R"({"a":"x\\"})", true},            // an escaped backslash does not escape the quote
        {R"({"a":"x\"})", false},
        {"{}trailing", true},
        {"", true},                          // nothing to judge: an empty body is whole
        {"<html>bad gateway", true},         // not JSON: not judged
        {"{", false},
    };
    for (const auto& c : cases) EXPECT_EQ(JsonTopLevelCloses(c.text), c.closes) << c.text;
}
