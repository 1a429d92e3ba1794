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

TEST(UiFiles, ServesOnlyFilesInsideTheFolder) {
    test::TempDir temp;
    const fs::path ui = temp.path() / "ui";
    fs::create_directories(ui / "js");
    test::writeFile(ui / "index.html", "<!doctype html>");
    test::writeFile(ui / "js" / "app.js", "export {}");
    test::writeFile(ui / "Logo.SVG", "<svg/>");
    test::writeFile(temp.path() / "secret.txt", "outside");
    fs::create_symlink(temp.path() / "secret.txt", ui / "leak.txt");
    fs::create_directory_symlink(temp.path(), ui / "up");
    fs::create_symlink(ui / "js" / "app.js", ui / "alias.js");  // stays inside: fine

    struct Case {
        const char* path;
        const char* served;  // relative to ui, "" for a 404
        const char* type;
    } cases[] = {
        {"/", "index.html", "text/html"},
        {"/index.html", "index.html", "text/html"},
        {"/js/app.js", "js/app.js", "text/javascript"},
        {"/js/", "", ""},  // no index.html there
        {"/alias.js", "js/app.js", "text/javascript"},
        {"/Logo.SVG", "Logo.SVG", "image/svg+xml"},
        {"/%6As/app.js", "js/app.js", "text/javascript"},
        {"/../secret.txt", "", ""},
        {"/js/../../secret.txt", "", ""},
        {"/%2e%2e/secret.txt", "", ""},
        {"/%2E%2E%2Fsecret.txt", "", ""},
        {"/js/..%2f..%2fsecret.txt", "", ""},
        {"/..\\secret.txt", "", ""},
        {"/%5c..%5csecret.txt", "", ""},
        {"/leak.txt", "", ""},
        {"/up/secret.txt", "", ""},
        {"/index.html%00.js", "", ""},
        {"/%zz", "", ""},
        {"/%4", "", ""},
        {"//etc/passwd", "", ""},
        {"/missing.css", "", ""},
        {"index.html", "", ""},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const auto file = resolveUiFile(ui, c.path);
        ASSERT_EQ(file.has_value(), *c.served != '\0');
        if (file) {
            EXPECT_EQ(file->path, fs::canonical(ui / c.served));
            EXPECT_EQ(file->mimeType, c.type);
        }
    }
    EXPECT_FALSE(resolveUiFile(temp.path() / "no-such-folder", "/index.html"));
}

TEST(UiFiles, TypesByExtension) {
    for (const auto& [name, type] : std::vector<std::pair<const char*, const char*>>{
             {"a.mjs", "text/javascript"}, {"a.css", "text/css"}, {"a.json", "application/json"},
             {"a.png", "image/png"}, {"a.woff2", "font/woff2"}, {"a.ICO", "image/x-icon"},
             {"a", "application/octet-stream"}, {"a.exe", "application/octet-stream"}}) {
        EXPECT_EQ(mimeTypeFor(name), type) << name;
    }
}

TEST(Outbox, EveryTextOnceInEachThreadsOrderFromManyThreads) {
    std::atomic<int> wakes{0};
    Outbox box([&] { ++wakes; });
    constexpr int kThreads = 4;
    constexpr int kEach = 2000;
    std::vector<std::string> drained;
    std::atomic<bool> done{false};
    std::thread ui([&] {
        while (!done) {
            for (auto& text : box.takeAll()) drained.push_back(std::move(text));
        }
        for (auto& text : box.takeAll()) drained.push_back(std::move(text));
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
        const int t = std::stoi(text.substr(0, text.find(':')));
        EXPECT_EQ(std::stoi(text.substr(text.find(':') + 1)), next[t]++) << text;
    }
    // A wake per burst, not per text, and at least one for the first.
    EXPECT_GE(wakes.load(), 1);
    EXPECT_LE(wakes.load(), kThreads * kEach);
}

TEST(Outbox, WakesAgainOnceDrained) {
    int wakes = 0;
    Outbox box([&] { ++wakes; });
    box.push("a");
    box.push("b");
    EXPECT_EQ(wakes, 1);
    EXPECT_EQ(box.takeAll(), (std::vector<std::string>{"a", "b"}));
    box.push("c");
    EXPECT_EQ(wakes, 2);
}

TEST(RecoveryBudget, FivePerWindowCountedFromTheWindowsStart) {
    RecoveryBudget budget;
    const std::int64_t t0 = 1000;
    for (int i = 0; i < 5; ++i) {
        const auto verdict = budget.onFailure(t0 + i * 1000, true);
        EXPECT_TRUE(verdict.recover) << i;
        EXPECT_EQ(verdict.recoveriesBefore, i);
        EXPECT_EQ(verdict.suffix, ", recovering");
    }
    auto spent = budget.onFailure(t0 + 10000, true);
    EXPECT_FALSE(spent.recover);
    EXPECT_EQ(spent.recoveriesBefore, 5);
    EXPECT_EQ(spent.suffix, ", recovery budget spent");
    // Exactly the window's length after its start is still inside it.
    EXPECT_FALSE(budget.onFailure(t0 + RecoveryBudget::kWindowMs, true).recover);
    const auto fresh = budget.onFailure(t0 + RecoveryBudget::kWindowMs + 1, true);
    EXPECT_TRUE(fresh.recover);
    EXPECT_EQ(fresh.recoveriesBefore, 0);
    // Kinds the host does not recover never use the budget.
    const auto other = budget.onFailure(t0 + RecoveryBudget::kWindowMs + 2, false);
    EXPECT_FALSE(other.recover);
    EXPECT_EQ(other.recoveriesBefore, 1);
    EXPECT_TRUE(budget.onFailure(t0 + RecoveryBudget::kWindowMs + 3, true).recover);
}

TEST(PageChannel, RelayMessagesAreCheckedBeforeUse) {
    struct Case {
        const char* text;
        bool ok;
        bool windowName;
        const char* field;  // message or window name
    } cases[] = {
        {R"({"url":"https://h/control/","message":"{\"ostrelHost\":\"signedOut\"}"})", true, false,
         R"({"ostrelHost":"signedOut"})"},
        {R"({"url":"https://h/","windowName":"ostrelSourceTab"})", true, true, "ostrelSourceTab"},
        {R"({"url":"https://h/","windowName":""})", true, true, ""},
        {R"({"message":"x"})", false, false, ""},
        {R"({"url":7,"message":"x"})", false, false, ""},
        {R"({"url":"u","message":{"a":1}})", false, false, ""},
        {R"({"url":"u","windowName":null})", false, false, ""},
        {R"({"url":"u"})", false, false, ""},
        {R"(["url"])", false, false, ""},
        {"not json", false, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const PageRelayMessage message = parsePageRelayMessage(c.text);
        ASSERT_EQ(message.ok, c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(message.isWindowName, c.windowName);
        EXPECT_EQ(c.windowName ? message.windowName : message.message, c.field);
    }
}

}  // namespace
}  // namespace ostrel::shell
