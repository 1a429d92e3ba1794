// The bridge's input lines, however the bytes are split into reads.
#include "tools/cli/line_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostrel::cli {
namespace {

std::vector<std::string> split(const std::vector<std::string>& reads) {
    LineSplitter splitter;
    std::vector<std::string> lines;
    for (const auto& read : reads) splitter.feed(read, [&](std::string line) { lines.push_back(std::move(line)); });
    if (auto last = splitter.finish()) lines.push_back("<end>" + *last);
    return lines;
}

TEST(ctlBridgeLines, LinesAreTheSameWhateverTheReads) {
    using V = std::vector<std::string>;
    struct Case {
        V reads;
        V lines;
    };
    const Case cases[] = {
        {{"a\nb\n"}, {"a", "b"}},
        {{"a", "b\n", "c"}, {"ab", "<end>c"}},
        {{"\n\n"}, {"", ""}},
        {{"long", "er", "", "line\nx\ny", "z\n"}, {"longerline", "x", "yz"}},
        {{"a\r\n"}, {"a\r"}},  // the bridge drops the "\r" itself
        {{std::string("nul\0in", 6), "side\n"}, {std::string("nul\0inside", 10)}},
        {{}, {}},
        {{"", ""}, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(split(c.reads), c.lines);

    // A line of 8 MiB arriving in 4 KiB reads, then a short one.
    LineSplitter splitter;
    std::vector<std::size_t> sizes;
    const std::string piece(4096, 'x');
    for (int i = 0; i < 2048; ++i) splitter.feed(piece, [&](std::string line) { sizes.push_back(line.size()); });
    splitter.feed("\nok\n", [&](std::string line) { sizes.push_back(line.size()); });
    EXPECT_EQ(sizes, (std::vector<std::size_t>{std::size_t{8} << 20, 2}));
    EXPECT_FALSE(splitter.finish().has_value());
}

}  // namespace
}  // namespace ostrel::cli
