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
    test::writeFile(ui / "index.html", "<!doctype html>");
    test::writeFile(ui / "js" / "app.js", "export {}");
    test::writeFile(ui / "Logo.SVG", "<svg/>");
    test::writeFile(temp.path() / "secret.txt", "outside");
    fs::create_symlink(temp.path() / "secret.txt", ui / "leak.txt");
    fs::create_directory_symlink(temp.path(), ui / "up");
    fs::create_symlink(ui / "js" / "app.js", ui / "alias.js");  // stays inside: fine

    const std::pair<const char*, const char*> served[] = {{"/", "index.html"},         {"/index.html", "index.html"},
                                                          {"/js/app.js", "js/app.js"}, {"/alias.js", "js/app.js"},
                                                          {"/Logo.SVG", "Logo.SVG"},   {"/%6As/app.js", "js/app.js"}};
    for (const auto& [path, file] : served) {
        const auto got = resolveUiFile(ui, path);
        ASSERT_TRUE(got) << path;
        EXPECT_EQ(got->path, fs::canonical(ui / file)) << path;
    }
    for (const char* path :
         {"/js/", "/../secret.txt", "/js/../../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E%2Fsecret.txt",
          "/js/..%2f..%2fsecret.txt", "/..\\secret.txt", "/%5c..%5csecret.txt", "/leak.txt", "/up/secret.txt",
          "/index.html%00.js", "/%zz", "/%4", "//etc/passwd", "/missing.css", "index.html", ""}) {
        EXPECT_FALSE(resolveUiFile(ui, path)) << path;
    }
    EXPECT_FALSE(resolveUiFile(temp.path() / "no-such-folder", "/index.html"));
    EXPECT_EQ(resolveUiFile(ui, "/")->mimeType, "text/html");
    EXPECT_EQ(resolveUiFile(ui, "/Logo.SVG")->mimeType, "image/svg+xml");
    const std::pair<const char*, const char*> types[] = {{"a.js", "text/javascript"},
                                                         {"a.mjs", "text/javascript"},
                                                         {"a.css", "text/css"},
                                                         {"a.json", "application/json"},
                                                         {"a.png", "image/png"},
                                                         {"a.woff2", "font/woff2"},
                                                         {"a.ICO", "image/x-icon"},
                                                         {"a", "application/octet-stream"},
                                                         {"a.exe", "application/octet-stream"}};
    for (const auto& [name, type] : types) {
        EXPECT_EQ(mimeTypeFor(name), type) << name;
    }
}

TEST(Outbox, EveryTextOnceInEachThreadsOrderAndAWakePerBurst) {
    int wakes = 0;
    Outbox box([&] { ++wakes; });
    box.push("a");
    box.push("b");
    EXPECT_EQ(wakes, 1);
    EXPECT_EQ(box.takeAll(), (std::vector<std::string>{"a", "b"}));
    box.push("c");
    EXPECT_EQ(wakes, 2);
    box.takeAll();

    constexpr int kThreads = 4, kEach = 2000;
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
        EXPECT_EQ(std::stoi(text.substr(text.find(':') + 1)), next[std::stoi(text)]++) << text;
    }
}

TEST(RecoveryBudget, FivePerWindowCountedFromTheWindowsStart) {
    RecoveryBudget budget;
    const std::int64_t t0 = 1000, end = t0 + RecoveryBudget::kWindowMs;
    // {at, recoverable kind, recovers, recoveries before, suffix}
    const std::tuple<std::int64_t, bool, bool, int, const char*> steps[] = {
        {t0, true, true, 0, ", recovering"},
        {t0 + 1000, true, true, 1, ", recovering"},
        {t0 + 2000, true, true, 2, ", recovering"},
        {t0 + 3000, true, true, 3, ", recovering"},
        {t0 + 4000, true, true, 4, ", recovering"},
        {t0 + 10000, true, false, 5, ", recovery budget spent"},
        {end, true, false, 5, ", recovery budget spent"},  // the window's length after its start is still inside
        {end + 1, true, true, 0, ", recovering"},
        {end + 2, false, false, 1, ""},  // kinds the host does not recover never use the budget
        {end + 3, true, true, 1, ", recovering"}};
    for (const auto& [at, recoverable, recovers, before, suffix] : steps) {
        const auto verdict = budget.onFailure(at, recoverable);
        EXPECT_EQ(std::tie(verdict.recover, verdict.recoveriesBefore), std::tie(recovers, before)) << at;
        if (recoverable) {
            EXPECT_EQ(verdict.suffix, suffix) << at;
        }
    }
}

TEST(PageChannel, RelayMessagesAreCheckedBeforeUse) {
    // {text, a window name (else a message), that name or message}
    const std::tuple<const char*, bool, const char*> valid[] = {
        {R"({"url":"https://h/","message":"{\"ostrelHost\":\"signedOut\"}"})", false, R"({"ostrelHost":"signedOut"})"},
        {R"({"url":"https://h/","windowName":"ostrelSourceTab"})", true, "ostrelSourceTab"},
        {R"({"url":"https://h/","windowName":""})", true, ""}};
    for (const auto& [text, isWindowName, field] : valid) {
        const PageRelayMessage message = parsePageRelayMessage(text);
        ASSERT_TRUE(message.ok) << text;
        EXPECT_EQ(std::tie(message.url, message.isWindowName), std::tie("https://h/", isWindowName)) << text;
        EXPECT_EQ(isWindowName ? message.windowName : message.message, field) << text;
    }
    for (const char* text : {R"({"message":"x"})", R"({"url":7,"message":"x"})", R"({"url":"u","message":{"a":1}})",
                             R"({"url":"u","windowName":null})", R"({"url":"u"})", R"(["url"])", "not json"}) {
        EXPECT_FALSE(parsePageRelayMessage(text).ok) << text;
    }
}

}  // namespace
}  // namespace ostrel::shell
