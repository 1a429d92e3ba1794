#include <gtest/gtest.h>

#include "ctl/host_input.h"

namespace ostrel::ctl {
namespace {

TEST(HostInput, ReducesTheTextToAHostAndAPort) {
    struct Case {
        const char* text;
        const char* host;
        int port;              // the default given is 7000
        const char* portText;  // nullptr: no port part
    };
    const Case cases[] = {
        {" \t https://admin@10.0.0.5:9443/control/x?y=1#z \t", "10.0.0.5", 9443, "9443"},
        {"a@b@host.example", "host.example", 7000, nullptr},
        {"host?x:1", "host", 7000, nullptr},
        {" host name ", "host name", 7000, nullptr},  // only the ends are trimmed
        {" \t ", "", 7000, nullptr},
        {"[fe80::1]:8444", "[fe80::1]", 8444, "8444"},
        {"[fe80::1]", "[fe80::1]", 7000, nullptr},
        {"[fe80::1]:", "[fe80::1]:", 7000, nullptr},  // nothing after the colon: left alone
        {"[fe80::1]x", "[fe80::1]x", 7000, nullptr},
        {"fe80::1", "fe80::1", 7000, nullptr},  // a bare IPv6 literal carries no port
        {"box:0", "box", 7000, "0"},
        {"box:65536", "box", 7000, "65536"},
        {"box:abc", "box", 7000, "abc"},
        {"box:-5", "box", 7000, "-5"},
        {"box:99999999999999999999", "box", 7000, "99999999999999999999"},
        {"box: 12x", "box", 12, " 12x"},  // like strtol: leading blank, stops at x
        {"box:+65535", "box", 65535, "+65535"},
        {"box:1", "box", 1, "1"},
    };
    for (const auto& c : cases) {
        const HostInput r = normalizeHostInput(c.text, 7000);
        EXPECT_EQ(r.host, c.host) << c.text;
        EXPECT_EQ(r.port, c.port) << c.text;
        EXPECT_EQ(r.portText, c.portText ? std::optional<std::string>(c.portText) : std::nullopt) << c.text;
    }
}

}  // namespace
}  // namespace ostrel::ctl
