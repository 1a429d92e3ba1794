#include <gtest/gtest.h>

#include "common/utf.h"

namespace ostrel {
namespace {

TEST(Utf, RoundTripsEveryPlaneAndTheEncodingBoundaries) {
    const std::pair<const char*, std::u16string> cases[] = {
        {"", u""},
        {"A\x7F", u"A\x7F"},
        {"\xC2\x80\xDF\xBF", u"\u0080\u07FF"},
        {"\xE0\xA0\x80\xEF\xBF\xBF", u"\u0800\uFFFF"},         // last three-byte character
        {"\xF0\x90\x80\x80", std::u16string{0xD800, 0xDC00}},  // U+10000, first surrogate pair
        {"\xF4\x8F\xBF\xBF", std::u16string{0xDBFF, 0xDFFF}},  // U+10FFFF
        {"A\xC3\xA9\xE2\x80\x94\xF0\x9F\x98\x80z", u"A\u00E9\u2014\U0001F600z"},
    };
    for (const auto& [utf8, utf16] : cases) {
        EXPECT_EQ(utf8ToUtf16(utf8), utf16) << utf8;
        EXPECT_EQ(utf16ToUtf8(utf16), utf8) << utf8;
        EXPECT_TRUE(isValidUtf8(utf8)) << utf8;
    }
}

TEST(Utf, InvalidInputBecomesReplacementCharacters) {
    const std::pair<const char*, std::u16string> cases[] = {
        {"a\x80z", u"a\uFFFDz"},                            // lone continuation byte
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong "/"
        {"\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},            // overlong three-byte form
        {"\xED\xA0\x80x", u"\uFFFD\uFFFD\uFFFDx"},          // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"ok\xE2\x80", u"ok\uFFFD"},                        // cut short
        {"\xE2\x28\xA1", u"\uFFFD(\uFFFD"},                 // a bad byte never swallows the good one after it
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(utf8ToUtf16(in), out) << in;
        EXPECT_FALSE(isValidUtf8(in)) << in;
        EXPECT_TRUE(isValidUtf8(sanitizeUtf8(in))) << in;
    }
    EXPECT_EQ(sanitizeUtf8("\xFFz\xFE"), "\xEF\xBF\xBDz\xEF\xBF\xBD");
    EXPECT_EQ(sanitizeUtf8("fine \xEF\xBF\xBD"), "fine \xEF\xBF\xBD");  // a literal U+FFFD is valid
    // Unpaired surrogates on the wide side.
    EXPECT_EQ(utf16ToUtf8(std::u16string{0xD800, u'x'}), "\xEF\xBF\xBDx");
    EXPECT_EQ(utf16ToUtf8(std::u16string{0xDC00}), "\xEF\xBF\xBD");
    EXPECT_EQ(utf16ToUtf8(std::u16string{0xDBFF}), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace ostrel
