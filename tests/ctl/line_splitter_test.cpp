// The bridge's input lines, however the bytes are split into reads.
#include "tools/cli/line_splitter.h"

#include <gtest/gtest.h>

namespace ostrel::cli {
namespace {

TEST(ctlBridgeLines, LinesAreTheSameWhateverTheReads) {
    using V = std::vector<std::string>;
    const auto split = [](const V& reads) {
        LineSplitter splitter;
        V lines;
        for (const auto& read : reads) splitter.feed(read, [&](std::string line) { lines.push_back(line); });
        if (auto last = splitter.finish()) lines.push_back("<end>" + *last);
        return lines;
    };
    // clang-format off
    const std::pair<V, V> cases[] = {
        {{"a\nb\n"}, {"a", "b"}}, {{"a", "b\n", "c"}, {"ab", "<end>c"}}, {{"\n\n"}, {"", ""}}, {{}, {}}, {{"", ""}, {}},
        {{"long", "er", "", "line\nx\ny", "z\n"}, {"longerline", "x", "yz"}},
        {{"a\r\n"}, {"a\r"}},  // the bridge drops the "\r" itself
        {{std::string("nul\0in", 6), "side\n"}, {std::string("nul\0inside", 10)}}};
    // clang-format on
    for (const auto& [reads, lines] : cases) EXPECT_EQ(split(reads), lines);
}

}  // namespace
}  // namespace ostrel::cli
