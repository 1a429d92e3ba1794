// The one entry for untrusted JSON: depth limit and NUL bytes. Each caller's own tests show
// that its input goes through it (commands, page messages, offers, answers, config.json).
#include <gtest/gtest.h>

#include <string>

#include "common/json_read.h"

namespace ostrel::json_read {
namespace {

std::string nested(std::size_t depth, const std::string& open = "[", const std::string& close = "]") {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += open;
    text += "1";
    for (std::size_t i = 0; i < depth; ++i) text += close;
    return text;
}

TEST(JsonRead, DepthIsLimitedAtExactlyTheLimit) {
    struct Case {
        std::string text;
        bool accepted;
    };
    const std::string objects = nested(kMaxDepth - 1, "{\"k\":", "}");
    const Case cases[] = {
        {nested(kMaxDepth), true},
        {nested(kMaxDepth + 1), false},
        {"[" + objects + "]", true},  // arrays and objects count alike
        {"[[" + objects + "]]", false},
        // Brackets inside strings, escaped quotes included, are text.
        {"[\"" + std::string(200, '[') + "\\\"[[[\"]", true},
        {"{\"a\\\\\":" + nested(kMaxDepth - 1) + "}", true},
        {"{\"a\\\\\":" + nested(kMaxDepth) + "}", false},
        // Siblings do not add up.
        {"[" + nested(kMaxDepth - 1) + "," + nested(kMaxDepth - 1) + "]", true},
        // The stack-overflow reproducer: about 70,000 levels in a page message.
        {"{\"ostrelHost\":\"signedOut\",\"x\":" + nested(70000) + "}", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(!parse(c.text).is_discarded(), c.accepted) << c.text.substr(0, 120);
        EXPECT_EQ(depthWithin(c.text), c.accepted) << c.text.substr(0, 120);
    }
}

TEST(JsonRead, NulBytesAndMalformedTextAreRefused) {
    using namespace std::string_literals;
    for (const std::string& text : {"{\"cmd\":\"getState\"}\0junk"s, "{\"cmd\":\"getState\"}\0"s,
                                    "{\"cmd\":\"get\0State\"}"s, "\0{}"s, ""s, "{"s, "{}}"s, "\"a\" \"b\""s}) {
        EXPECT_TRUE(parse(text).is_discarded()) << text;
    }
    const auto value = parse(R"({"cmd":"getState","n":[1,{"b":true}]})");
    ASSERT_TRUE(value.is_object());
    EXPECT_EQ(value["n"][1]["b"], true);
    EXPECT_EQ(parse("\"text\""), "text");
}

}  // namespace
}  // namespace ostrel::json_read
