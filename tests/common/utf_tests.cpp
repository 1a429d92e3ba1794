#include <gtest/gtest.h>

#include "common/utf.h"

namespace ostrel {
namespace {

TEST(Utf, RoundTripsEveryPlane) {
    const std::string text = "A\xC3\xA9\xE2\x80\x94\xF0\x9F\x98\x80z";  // A é — 😀 z
    const std::u16string wide = utf8ToUtf16(text);
    ASSERT_EQ(wide.size(), 6u);  // the emoji takes a surrogate pair
    EXPECT_EQ(wide[0], u'A');
    EXPECT_EQ(wide[1], 0x00E9);
    EXPECT_EQ(wide[2], 0x2014);
    EXPECT_EQ(wide[3], 0xD83D);
    EXPECT_EQ(wide[4], 0xDE00);
    EXPECT_EQ(utf16ToUtf8(wide), text);
    EXPECT_TRUE(utf8ToUtf16("").empty());
    EXPECT_TRUE(utf16ToUtf8(u"").empty());
}

TEST(Utf, InvalidInputBecomesReplacementCharacters) {
    // A lone continuation byte, an overlong "/", an encoded surrogate and a truncated sequence.
    EXPECT_EQ(utf8ToUtf16("a\x80" "b"), u"a\uFFFDb");
    EXPECT_EQ(utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(utf8ToUtf16("\xED\xA0\x80x").back(), u'x');
    EXPECT_EQ(utf8ToUtf16("ok\xE2\x80"), u"ok\uFFFD");
    // Unpaired surrogates on the wide side.
    EXPECT_EQ(utf16ToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
    EXPECT_EQ(utf16ToUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
}

TEST(Utf, SanitizeKeepsValidTextAndRepairsTheRest) {
    EXPECT_TRUE(isValidUtf8("plain \xE2\x80\x94 text \xEF\xBF\xBD"));
    EXPECT_FALSE(isValidUtf8("cut \xE2\x80"));
    EXPECT_FALSE(isValidUtf8("\xF5\x80\x80\x80"));  // above U+10FFFF
    EXPECT_EQ(sanitizeUtf8("fine"), "fine");
    EXPECT_EQ(sanitizeUtf8("cut \xE2\x80"), "cut \xEF\xBF\xBD");
    EXPECT_EQ(sanitizeUtf8("\xFF" "a\xFE"), "\xEF\xBF\xBD" "a\xEF\xBF\xBD");
    EXPECT_TRUE(isValidUtf8(sanitizeUtf8("\xC3\x28\xA0\xA1\xF0\x28\x8C\xBC")));
}

}  // namespace
}  // namespace ostrel
