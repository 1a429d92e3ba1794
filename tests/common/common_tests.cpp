#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "common/json_read.h"
#include "common/utf.h"
#include "ctl/host_input.h"

namespace ostrel {
namespace {

TEST(Utf, ConvertsEveryPlaneAndReplacesInvalidSequences) {
    const std::tuple<const char*, std::u16string, bool> cases[] = {
        {"", u"", true},
        {"A\x7F", u"A\x7F", true},
        {"\xC2\x80\xDF\xBF", u"\u0080\u07FF", true},
        {"\xE0\xA0\x80\xEF\xBF\xBF", u"\u0800\uFFFF", true},         // last three-byte character
        {"\xF0\x90\x80\x80", std::u16string{0xD800, 0xDC00}, true},  // U+10000, first surrogate pair
        {"\xF4\x8F\xBF\xBF", std::u16string{0xDBFF, 0xDFFF}, true},  // U+10FFFF
        {"fine \xEF\xBF\xBD", u"fine \uFFFD", true},                 // a literal U+FFFD is valid
        {"a\x80z", u"a\uFFFDz", false},                              // lone continuation byte
        {"\xC0\xAF", u"\uFFFD\uFFFD", false},                        // overlong "/"
        {"\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD", false},
        {"\xED\xA0\x80x", u"\uFFFD\uFFFD\uFFFDx", false},          // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", false},  // above U+10FFFF
        {"ok\xE2\x80", u"ok\uFFFD", false},                        // cut short
        {"\xE2\x28\xA1", u"\uFFFD(\uFFFD", false},                 // a bad byte never swallows the good one after it
    };
    for (const auto& [utf8, utf16, valid] : cases) {
        EXPECT_EQ(utf8ToUtf16(utf8), utf16) << utf8;
        EXPECT_EQ(isValidUtf8(utf8), valid) << utf8;
        EXPECT_EQ(utf16ToUtf8(utf16), sanitizeUtf8(utf8)) << utf8;
        EXPECT_EQ(sanitizeUtf8(utf8) == utf8, valid) << utf8;
    }
    // Unpaired surrogates on the wide side.
    EXPECT_EQ(utf16ToUtf8(std::u16string{0xD800, u'x'}), "\xEF\xBF\xBDx");
    EXPECT_EQ(utf16ToUtf8(std::u16string{0xDC00}), "\xEF\xBF\xBD");
    EXPECT_EQ(utf16ToUtf8(std::u16string{0xDBFF}), "\xEF\xBF\xBD");
    // A view that ends at a high surrogate: the low one after it in memory is not part of the text.
    const std::u16string pair{0xD800, 0xDC00};
    EXPECT_EQ(utf16ToUtf8(std::u16string_view(pair.data(), 1)), "\xEF\xBF\xBD");
}

// The one entry for untrusted JSON. Each caller's own tests show that its input goes through it.
TEST(JsonRead, DepthIsLimitedAtExactlyTheLimitAndNulBytesAreRefused) {
    using json_read::kMaxDepth;
    using namespace std::string_literals;
    const auto nested = [](std::size_t depth) { return std::string(depth, '[') + "1" + std::string(depth, ']'); };
    std::string objects = "1";
    for (std::size_t i = 1; i < kMaxDepth; ++i) objects = "{\"k\":" + objects + "}";
    const std::pair<std::string, bool> cases[] = {
        {nested(kMaxDepth), true},
        {nested(kMaxDepth + 1), false},
        {"[" + objects + "]", true},  // arrays and objects count alike
        {"[[" + objects + "]]", false},
        // Brackets inside strings, escaped quotes included, are text.
        {"[\"\\\"" + std::string(200, '[') + "\"]", true},
        {"{\"a\\\\\":" + nested(kMaxDepth) + "}", false},
        {"[" + nested(kMaxDepth - 1) + "," + nested(kMaxDepth - 1) + "]", true},  // siblings do not add up
        {"{\"ostrelHost\":\"signedOut\",\"x\":" + nested(70000) + "}", false},    // the stack-overflow reproducer
    };
    for (const auto& [text, accepted] : cases) {
        EXPECT_EQ(!json_read::parse(text).is_discarded(), accepted) << text.substr(0, 120);
        EXPECT_EQ(json_read::depthWithin(text), accepted) << text.substr(0, 120);
    }
    // The parser would stop at a NUL and accept the text before it.
    for (const std::string& text : {"{\"cmd\":\"getState\"}\0junk"s, "{\"cmd\":\"get\0State\"}"s, "\0{}"s, ""s, "{}}"s})
        EXPECT_TRUE(json_read::parse(text).is_discarded()) << text;
    EXPECT_EQ(json_read::parse(R"({"cmd":"getState","n":[1,{"b":true}]})")["n"][1]["b"], true);
}

TEST(HostInput, ReducesTheTextToAHostAndAPort) {
    // Wanted: host, port (the default given is 7000), port text ("-": no port part). The host and port
    // also go through the start page's agreement test; the port text is this layer's.
    const std::pair<const char*, const char*> cases[] = {
        {" \t https://admin@10.0.0.5:9443/control/x?y=1#z \t", "10.0.0.5 9443 9443"},
        {"host?x:1", "host 7000 -"},
        {"[fe80::1]:8444", "[fe80::1] 8444 8444"},
        {"[fe80::1]:", "[fe80::1]: 7000 -"},  // nothing after the colon: left alone
        {"fe80::1", "fe80::1 7000 -"},        // a bare IPv6 literal carries no port
        {"box:65536", "box 7000 65536"},
        {"box: 12x", "box 12  12x"},  // like strtol: leading blank, stops at x
    };
    for (const auto& [text, wanted] : cases) {
        const ctl::HostInput r = ctl::normalizeHostInput(text, 7000);
        EXPECT_EQ(r.host + " " + std::to_string(r.port) + " " + r.portText.value_or("-"), wanted) << text;
    }
}

}  // namespace
}  // namespace ostrel
