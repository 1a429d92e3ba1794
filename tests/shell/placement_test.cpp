// window.json: which files are used, which are ignored (and why), and where the window lands.
#include <gtest/gtest.h>

#include "shell/placement.h"

namespace ostrel::shell {

void PrintTo(const Rect& r, std::ostream* os) {
    *os << "{" << r.x << ", " << r.y << ", " << r.w << ", " << r.h << "}";
}
void PrintTo(const Placement& p, std::ostream* os) {
    PrintTo(p.rect, os);
    *os << " dpi " << p.dpi << (p.maximized ? " maximized" : "");
}

namespace {

const Monitor kFullHd{{0, 0, 1920, 1080}, Rect{0, 0, 1920, 1040}};         // a panel at the bottom
const Monitor kRightOf{{1920, 0, 2560, 1440}, Rect{1920, 0, 2560, 1440}};  // a second, larger monitor

std::string at(const char* x, const char* y, const char* w, const char* h, const std::string& more = ",\"dpi\":96") {
    return std::string("{\"version\":1,\"x\":") + x + ",\"y\":" + y + ",\"w\":" + w + ",\"h\":" + h + more + "}";
}

TEST(Placement, LoadTable) {
    const std::string ok = at("100", "50", "1200", "800");
    const Rect saved{100, 50, 1200, 800};
    const std::string deep = std::string(64, '[') + std::string(64, ']');
    const struct {
        const char* name;
        std::string text;
        const char* reason;  // "" when the placement is used
        Rect rect = {};
        bool maximized = false;
        std::vector<Monitor> monitors = {kFullHd};
    } cases[] = {
        // clang-format off
        {"used as saved", ok, "", saved},
        {"maximised only when true", at("100", "50", "1200", "800", ",\"dpi\":96,\"maximized\":true"), "", saved, true},
        {"maximized not a boolean", at("100", "50", "1200", "800", ",\"dpi\":96,\"maximized\":1"), "", saved},
        {"unknown members ignored", at("100", "50", "1200", "800", ",\"dpi\":96,\"extra\":[1]"), "", saved},
        {"partly off screen: pulled in", at("1500", "900", "800", "600"), "", {1120, 440, 800, 600}},
        {"larger than the work area: shrunk", at("-50", "0", "4000", "3000"), "", {0, 0, 1920, 1040}},
        // 300 px on the first monitor, 900 px on the second: pulled into the second one's work area.
        {"mostly on the second monitor", at("1620", "1000", "1200", "800"), "", {1920, 640, 1200, 800}, false,
         {kFullHd, kRightOf}},
        {"not JSON", "{\"version\":1,", kReasonUnreadable},
        {"an array", "[1,2]", kReasonUnreadable},
        // The parser would stop at the NUL and take the text before it for the whole file.
        {"a NUL after a good file", ok + std::string(1, '\0') + "junk", kReasonUnreadable},
        {"nested deeper than any file", at("0", "0", "800", "600", ",\"dpi\":96,\"e\":" + deep), kReasonUnreadable},
        {"version 2", "{\"version\":2,\"x\":0,\"y\":0,\"w\":800,\"h\":600,\"dpi\":96}", kReasonUnknownVersion},
        {"version as text", "{\"version\":\"1\"}", kReasonUnknownVersion},
        {"w below 200", at("0", "0", "199", "600"), kReasonBadField},
        {"h above 16384", at("0", "0", "800", "16385"), kReasonBadField},
        {"x with a fraction", at("10.5", "0", "800", "600"), kReasonBadField},
        {"y below -32768", at("0", "-32769", "800", "600"), kReasonBadField},
        {"dpi 47", at("0", "0", "800", "600", ",\"dpi\":47"), kReasonBadField},
        {"dpi missing", at("0", "0", "800", "600", ""), kReasonBadField},
        {"beyond int64", at("18446744073709551615", "0", "800", "600"), kReasonBadField},
        {"on an unplugged monitor", at("5000", "0", "800", "600"), kReasonNoMonitor}};
    // clang-format on
    for (const auto& c : cases) {
        const PlacementLoad load = parsePlacement(c.text, c.monitors);
        // Only a damaged file is moved aside before it is overwritten.
        const bool used = *c.reason == '\0', damaged = !used && c.reason != std::string(kReasonNoMonitor);
        EXPECT_EQ(std::tuple(load.reason, load.damaged(), load.placement),
                  std::tuple(std::string(c.reason), damaged,
                             used ? std::optional(Placement{c.rect, 96, c.maximized}) : std::nullopt))
            << c.name;
    }
}

// A size scaled to another dpi is refitted to the nearest monitor's work area.
TEST(Placement, DpiScalingOnTheWayInAndTheNearestMonitor) {
    const std::vector<Monitor> big{{{0, 0, 3840, 2160}, Rect{0, 0, 3840, 2120}}};
    // clang-format off
    const std::tuple<const char*, std::optional<Placement>, int, Rect> cases[] = {
        {"96 to 144: size x1.5", Placement{{10, 20, 1200, 801}, 96, false}, 144, {10, 20, 1800, 1202}},
        {"192 to 96: halved", Placement{{10, 20, 1200, 800}, 192, false}, 96, {10, 20, 600, 400}},
        {"same dpi: unchanged", Placement{{10, 20, 1200, 800}, 144, false}, 144, {10, 20, 1200, 800}},
        {"default at 96", std::nullopt, 96, {40, 30, 1440, 900}},
        {"default at 192", std::nullopt, 192, {40, 30, 2880, 1800}},
        {"too big after scaling: refitted", Placement{{3000, 20, 2000, 1000}, 96, false}, 192, {0, 20, 3840, 2000}},
        {"off every monitor: the nearest", Placement{{-900, 3000, 800, 600}, 192, false}, 96, {0, 1820, 400, 300}}};
    // clang-format on
    for (const auto& [name, placement, dpi, expected] : cases) {
        EXPECT_EQ(initialRect(placement, 1440, 900, dpi, Rect{40, 30, 0, 0}, big), expected) << name;
    }
    EXPECT_EQ(nearestMonitor({kFullHd, kRightOf}, Rect{5000, 0, 10, 10}), std::optional<std::size_t>(1));
    EXPECT_EQ(nearestMonitor({}, Rect{0, 0, 10, 10}), std::nullopt);
}

TEST(Placement, WrittenTextReadsBackTheSame) {
    const Placement saved{{-20, 15, 1000, 700}, 144, true};
    const std::string text = placementText(saved);
    EXPECT_EQ(text,
              "{\n  \"dpi\": 144,\n  \"h\": 700,\n  \"maximized\": true,\n  \"version\": 1,\n  \"w\": 1000,\n"
              "  \"x\": -20,\n  \"y\": 15\n}");
    EXPECT_EQ(parsePlacement(text, {Monitor{{-100, 0, 4000, 3000}, std::nullopt}}).placement, saved);
}

}  // namespace
}  // namespace ostrel::shell
