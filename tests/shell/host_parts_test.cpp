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
    int wakes = 0;
    Outbox box([&] { ++wakes; });
    box.push("a");
    box.push("b");
    const auto first = box.takeAll();
    box.push("c");
    EXPECT_EQ(std::tie(first, wakes), std::tuple(std::vector<std::string>{"a", "b"}, 2));
    box.takeAll();

    constexpr int kThreads = 4, kEach = 2000;
    std::vector<std::string> drained;
    std::atomic<bool> done{false};
    std::thread ui([&] {
        for (bool last = false; !last;) {
            last = done;
            for (auto& text : box.takeAll()) drained.push_back(std::move(text));
        }
    });
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&box, t] {
            for (int i = 0; i < kEach; ++i) box.push(std::to_string(t) + ":" + std::to_string(i));
        });
    }
    for (auto& sender : senders) sender.join();
    done = true;
    ui.join();
    ASSERT_EQ(drained.size(), static_cast<std::size_t>(kThreads * kEach));
    std::vector<int> next(kThreads, 0);
    for (const std::string& text : drained) {
        EXPECT_EQ(std::stoi(text.substr(text.find(':') + 1)), next[std::stoi(text)]++) << text;
    }
}

TEST(RecoveryBudget, FivePerWindowCountedFromTheWindowsStart) {
    RecoveryBudget budget;
    const std::int64_t t0 = 1000, end = t0 + RecoveryBudget::kWindowMs;
    const char *kRecovering = ", recovering", *kSpent = ", recovery budget spent";
    // {at, recoverable kind, recovers, recoveries before, suffix}; the window's length after its start is still
    // inside it, and kinds the host does not recover never use the budget.
    // clang-format off
    const std::tuple<std::int64_t, bool, bool, int, const char*> steps[] = {
        {t0, true, true, 0, kRecovering}, {t0 + 1000, true, true, 1, kRecovering},
        {t0 + 2000, true, true, 2, kRecovering}, {t0 + 3000, true, true, 3, kRecovering},
        {t0 + 4000, true, true, 4, kRecovering}, {t0 + 10000, true, false, 5, kSpent}, {end, true, false, 5, kSpent},
        {end + 1, true, true, 0, kRecovering}, {end + 2, false, false, 1, ""}, {end + 3, true, true, 1, kRecovering}};
    // clang-format on
    for (const auto& [at, recoverable, recovers, before, suffix] : steps) {
        const auto verdict = budget.onFailure(at, recoverable);
        // The host words the failure of other kinds itself.
        EXPECT_EQ(std::tuple(verdict.recover, verdict.recoveriesBefore, recoverable ? verdict.suffix : ""),
                  std::tuple(recovers, before, std::string(suffix)))
            << at;
    }
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
