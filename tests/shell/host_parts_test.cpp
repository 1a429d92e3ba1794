// The shell's portable parts: serving the UI folder, the outbox, the recovery budget and the
// page relay's messages.
#include <gtest/gtest.h>

#include <thread>

#include "shell/outbox.h"
#include "shell/page_channel.h"
#include "shell/recovery_budget.h"
#include "shell/ui_files.h"
#include "tests/support/test_support.h"

namespace ostrel::shell {
namespace {

namespace fs = std::filesystem;

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

TEST(Outbox, EveryTextOnceInEachThreadsOrderAndAWakePerBurst) {
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
        senders.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) box.push(std::to_string(t) + ":" + std::to_string(i));
            ++finished;
        });
    }
    std::vector<std::string> drained;
    for (bool last = false; !last;) {
        last = finished == kThreads;
        for (auto& text : box.takeAll()) drained.push_back(std::move(text));
    }
    std::vector<int> next(kThreads, 0);
    for (const std::string& text : drained) {
        EXPECT_EQ(std::stoi(text.substr(text.find(':') + 1)), next[std::stoi(text)]++) << text;
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kEach));
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
