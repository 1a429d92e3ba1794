#include <gtest/gtest.h>

#include "ctl/host_input.h"

namespace ostrel::ctl {
namespace {

TEST(HostInput, StripsEverythingAroundTheHost) {
    const auto r = normalizeHostInput(" \t https://admin@10.0.0.5:9443/control/x?y=1#z \t", 8443);
    EXPECT_EQ(r.host, "10.0.0.5");
    EXPECT_EQ(r.port, 9443);
    EXPECT_EQ(normalizeHostInput("a@b@host.example", 8443).host, "host.example");
    EXPECT_EQ(normalizeHostInput("host?x:1", 1).host, "host");
    EXPECT_EQ(normalizeHostInput("host?x:1", 1).port, 1);
    EXPECT_EQ(normalizeHostInput(" \t ", 8443).host, "");
    EXPECT_EQ(normalizeHostInput(" host name ", 8443).host, "host name");  // only the ends are trimmed
}

TEST(HostInput, Ipv6KeepsItsBrackets) {
    auto r = normalizeHostInput("[fe80::1]:8444", 8443);
    EXPECT_EQ(r.host, "[fe80::1]");
    EXPECT_EQ(r.port, 8444);
    r = normalizeHostInput("[fe80::1]:", 9000);
    EXPECT_EQ(r.host, "[fe80::1]:");  // a colon with nothing after it leaves the text alone
    EXPECT_EQ(r.port, 9000);
    r = normalizeHostInput("fe80::1", 9000);
    EXPECT_EQ(r.host, "fe80::1");
    EXPECT_EQ(r.port, 9000);
    r = normalizeHostInput("[fe80::1]x", 9000);
    EXPECT_EQ(r.host, "[fe80::1]x");
}

TEST(HostInput, OnlyPortsInRangeReplaceThePort) {
    for (const char* text : {"box:0", "box:99999", "box:abc", "box:-5", "box:99999999999999999999"}) {
        const auto r = normalizeHostInput(text, 7000);
        EXPECT_EQ(r.host, "box") << text;
        EXPECT_EQ(r.port, 7000) << text;
    }
    EXPECT_EQ(normalizeHostInput("box: 12x", 1).port, 12);  // leading blank accepted, stops at x
    EXPECT_EQ(normalizeHostInput("box:+65535", 1).port, 65535);
}

}  // namespace
}  // namespace ostrel::ctl
