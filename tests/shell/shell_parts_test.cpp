// The shell's portable parts: window placement, serving the UI folder, the outbox, the recovery
// budget and the page relay's messages.
#include <gtest/gtest.h>

#include <thread>

#include "shell/outbox.h"
#include "shell/page_channel.h"
#include "shell/placement.h"
#include "shell/recovery_budget.h"
#include "shell/ui_files.h"
#include "tests/support/test_support.h"

namespace ostrel::shell {

void PrintTo(const Rect& r, std::ostream* os) {
    *os << "{" << r.x << ", " << r.y << ", " << r.w << ", " << r.h << "}";
}
void PrintTo(const Placement& p, std::ostream* os) {
    PrintTo(p.rect, os);
    *os << " dpi " << p.dpi << (p.maximized ? " maximized" : "");
}

namespace {

namespace fs = std::filesystem;

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
        std::string text;
        const char* reason;  // "" when the placement is used
        Rect rect = {};
        bool maximized = false;
        std::vector<Monitor> monitors = {kFullHd};
    } cases[] = {
        // clang-format off
        {ok, "", saved}, {at("100", "50", "1200", "800", ",\"dpi\":96,\"maximized\":true"), "", saved, true},
        {placementText({{-20, 15, 999, 700}, 96, true}), "", {-20, 15, 999, 700}, true, {{{-99, 0, 4000, 3000}, {}}}},
        {at("100", "50", "1200", "800", ",\"dpi\":96,\"maximized\":1"), "", saved},  // not a boolean: not maximised
        {at("100", "50", "1200", "800", ",\"dpi\":96,\"extra\":[1]"), "", saved},
        {at("1500", "900", "800", "600"), "", {1120, 440, 800, 600}},  // partly off screen: pulled in
        {at("-50", "0", "4000", "3000"), "", {0, 0, 1920, 1040}},      // larger than the work area: shrunk
        // 300 px on the first monitor, 900 px on the second: pulled into the second one's work area.
        {at("1620", "1000", "1200", "800"), "", {1920, 640, 1200, 800}, false, {kFullHd, kRightOf}},
        // The parser would stop at the NUL and take the text before it for the whole file.
        {ok + std::string(1, '\0') + "junk", kReasonUnreadable}, {"{\"version\":1,", kReasonUnreadable},
        {"[1,2]", kReasonUnreadable}, {at("0", "0", "800", "600", ",\"dpi\":96,\"e\":" + deep), kReasonUnreadable},
        {"{\"version\":2,\"x\":0,\"y\":0,\"w\":800,\"h\":600,\"dpi\":96}", kReasonUnknownVersion},
        {"{\"version\":\"1\"}", kReasonUnknownVersion}, {at("0", "0", "199", "600"), kReasonBadField},
        {at("0", "0", "800", "16385"), kReasonBadField}, {at("10.5", "0", "800", "600"), kReasonBadField},
        {at("0", "-32769", "800", "600"), kReasonBadField}, {at("0", "0", "800", "600", ""), kReasonBadField},
        {at("0", "0", "800", "600", ",\"dpi\":47"), kReasonBadField},
        {at("18446744073709551615", "0", "800", "600"), kReasonBadField},
        {at("5000", "0", "800", "600"), kReasonNoMonitor}};  // on an unplugged monitor
    // clang-format on
    for (const auto& c : cases) {
        const PlacementLoad load = parsePlacement(c.text, c.monitors);
        // Only a damaged file is moved aside before it is overwritten.
        const bool used = *c.reason == '\0', damaged = !used && c.reason != std::string(kReasonNoMonitor);
        EXPECT_EQ(std::tuple(load.reason, load.damaged(), load.placement),
                  std::tuple(std::string(c.reason), damaged,
                             used ? std::optional(Placement{c.rect, 96, c.maximized}) : std::nullopt))
            << c.text;
    }
}

// A size scaled to another dpi is refitted to the nearest monitor's work area.
TEST(Placement, DpiScalingOnTheWayInAndTheNearestMonitor) {
    const std::vector<Monitor> big{{{0, 0, 3840, 2160}, Rect{0, 0, 3840, 2120}}};
    // clang-format off
    // {saved, dpi now, the window}: x1.5, halved, unchanged, the defaults, refitted, the nearest monitor
    const std::tuple<std::optional<Placement>, int, Rect> cases[] = {
        {Placement{{10, 20, 1200, 801}, 96, false}, 144, {10, 20, 1800, 1202}},
        {Placement{{10, 20, 1200, 800}, 192, false}, 96, {10, 20, 600, 400}},
        {Placement{{10, 20, 1200, 800}, 144, false}, 144, {10, 20, 1200, 800}},
        {std::nullopt, 96, {40, 30, 1440, 900}}, {std::nullopt, 192, {40, 30, 2880, 1800}},
        {Placement{{3000, 20, 2000, 1000}, 96, false}, 192, {0, 20, 3840, 2000}},
        {Placement{{-900, 3000, 800, 600}, 192, false}, 96, {0, 1820, 400, 300}}};
    // clang-format on
    for (const auto& [placement, dpi, expected] : cases) {
        EXPECT_EQ(initialRect(placement, 1440, 900, dpi, Rect{40, 30, 0, 0}, big), expected) << dpi;
    }
    EXPECT_EQ(nearestMonitor({kFullHd, kRightOf}, Rect{5000, 0, 10, 10}), std::optional<std::size_t>(1));
    EXPECT_EQ(nearestMonitor({}, Rect{0, 0, 10, 10}), std::nullopt);
}

TEST(UiFiles, ServesOnlyFilesInsideTheFolderTypedByExtension) {
    test::TempDir temp;
    const fs::path ui = temp.path() / "ui";
    fs::create_directories(ui / "js");
    for (const char* name : {"index.html", "js/app.js", "Logo.SVG", "../secret.txt"}) test::writeFile(ui / name, "x");
    fs::create_symlink(temp.path() / "secret.txt", ui / "leak.txt");
    fs::create_directory_symlink(temp.path(), ui / "up");
    fs::create_symlink(ui / "js" / "app.js", ui / "alias.js");  // stays inside: fine

    // {path, the file served ("" for none), its type}
    // clang-format off
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"/", "index.html", "text/html"}, {"/index.html", "index.html", "text/html"},
        {"/js/app.js", "js/app.js", "text/javascript"}, {"/alias.js", "js/app.js", "text/javascript"},
        {"/Logo.SVG", "Logo.SVG", "image/svg+xml"}, {"/%6As/app.js", "js/app.js", "text/javascript"}, {"/js/", "", ""},
        {"/../secret.txt", "", ""}, {"/js/../../secret.txt", "", ""}, {"/%2e%2e/secret.txt", "", ""},
        {"/%2E%2E%2Fsecret.txt", "", ""}, {"/js/..%2f..%2fsecret.txt", "", ""}, {"/..\\secret.txt", "", ""},
        {"/%5c..%5csecret.txt", "", ""}, {"/leak.txt", "", ""}, {"/up/secret.txt", "", ""},
        {"/index.html%00.js", "", ""}, {"/%zz", "", ""}, {"/%4", "", ""}, {"//etc/passwd", "", ""},
        {"/missing.css", "", ""}, {"index.html", "", ""}, {"", "", ""}};
    // clang-format on
    for (const auto& [path, file, type] : cases) {
        const auto got = resolveUiFile(ui, path);
        EXPECT_EQ(got ? got->path.string() + " " + got->mimeType : "",
                  *file ? fs::canonical(ui / file).string() + " " + type : "")
            << path;
    }
    EXPECT_FALSE(resolveUiFile(temp.path() / "no-such-folder", "/index.html"));
    // clang-format off
    const std::pair<const char*, const char*> types[] = {{"a.mjs", "text/javascript"}, {"a.css", "text/css"},
        {"a.json", "application/json"}, {"a.png", "image/png"}, {"a.woff2", "font/woff2"}, {"a.ICO", "image/x-icon"},
        {"a", "application/octet-stream"}, {"a.exe", "application/octet-stream"}};
    // clang-format on
    for (const auto& [name, type] : types) EXPECT_EQ(mimeTypeFor(name), type) << name;
}

TEST(Outbox, EveryTextOnceInOrderAndAWakePerBurst) {
    std::atomic<int> wakes = 0;
    Outbox box([&] { ++wakes; });
    box.push("a");
    box.push("b");
    const auto first = box.takeAll();
    box.push("c");
    EXPECT_EQ(std::tuple(first, wakes.load()), std::tuple(std::vector<std::string>{"a", "b"}, 2));
    box.takeAll();

    // Four threads push while this one drains.
    constexpr int kThreads = 4, kEach = 2000;
    std::atomic<int> finished{0};
    std::vector<std::jthread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) box.push("x");
            ++finished;
        });
    }
    std::size_t drained = 0;
    for (bool last = false; !last; drained += box.takeAll().size()) last = finished == kThreads;
    EXPECT_EQ(drained, std::size_t{kThreads * kEach});  // the order is the first part's
}

// The window's length after its start is still inside it; kinds the host does not recover (negative times here)
// never use the budget, and the host words their failure itself.
TEST(RecoveryBudget, FivePerWindowCountedFromTheWindowsStart) {
    RecoveryBudget budget;
    const std::int64_t t0 = 1000, end = t0 + RecoveryBudget::kWindowMs;
    std::string log;
    for (const std::int64_t at :
         {t0, t0 + 1000, t0 + 2000, t0 + 3000, t0 + 4000, t0 + 10000, end, end + 1, -end - 2, end + 3}) {
        const auto verdict = budget.onFailure(std::abs(at), at > 0);
        log += std::to_string(verdict.recover) + std::to_string(verdict.recoveriesBefore) +
               (at > 0 ? verdict.suffix : "") + ";";
    }
    EXPECT_EQ(log,
              "10, recovering;11, recovering;12, recovering;13, recovering;14, recovering;"
              "05, recovery budget spent;05, recovery budget spent;10, recovering;01;11, recovering;");
}

TEST(PageChannel, RelayMessagesAreCheckedBeforeUse) {
    // {text, "" when refused, else "url|window name" or "url message"}
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {R"({"url":"https://h/","message":"{\"ostrelHost\":1}"})", R"(https://h/ {"ostrelHost":1})"},
        {R"({"url":"https://h/","windowName":"ostrelSourceTab"})", "https://h/|ostrelSourceTab"},
        {R"({"url":"https://h/","windowName":""})", "https://h/|"}, {R"({"message":"x"})", ""},
        {R"({"url":7,"message":"x"})", ""},
        {R"({"url":"u","message":{"a":1}})", ""}, {R"({"url":"u","windowName":null})", ""}, {R"({"url":"u"})", ""},
        {R"(["url"])", ""}, {"not json", ""}};
    // clang-format on
    for (const auto& [text, expected] : cases) {
        const PageRelayMessage m = parsePageRelayMessage(text);
        EXPECT_EQ(!m.ok ? "" : m.url + (m.isWindowName ? "|" + m.windowName : " " + m.message), expected) << text;
    }
}

}  // namespace
}  // namespace ostrel::shell
