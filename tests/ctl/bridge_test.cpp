// What only the real stack shows: the controller as the app runs it (real network, settings and
// vault) through `ostrel-control-cli bridge`, against the system simulator on loopback.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/sim_process.h"
#include "tests/support/test_support.h"

namespace ostrel::ctl::testing {
namespace {

using nlohmann::json;

// Unique in the keyring the whole test run shares.
const std::string kId = "ctl-br-lab", kPassword = "pw-ctl-br-7Qx", kToken = "tk-ctl-br-93f1";
constexpr const char* kEnded =
    "closePopups clearCertificateDecisions removeScript title:Ostrel Ops Control - 2026 R1 menuEnabled:false "
    "navigate:ostrel-app://control.ui/index.html";

class ctlBridge : public ::testing::Test {
protected:
    void startBridge() {
        bridge =
            std::make_unique<test::ChildProcess>(std::vector<std::string>{test::programPath("OSTREL_CLI"), "bridge"});
    }
    void TearDown() override {
        EXPECT_EQ(bridge ? finish() : std::optional<int>(0), std::optional<int>(0));
        for (const auto& file : test::listFiles(userDirs.logs() / "control-cli")) raw.push_back(test::readFile(file));
        for (const auto& text : raw) {
            EXPECT_TRUE(text.find(kPassword) == std::string::npos && text.find(kToken) == std::string::npos)
                << "a secret reached standard output or the log";
        }
    }
    std::string origin() const { return "https://127.0.0.1:" + std::to_string(sim->port()); }
    std::string opened(bool cookie) const {
        return std::string(cookie ? "setCookie " : "") + "title:Ostrel Ops Control - 2026 R1 \xE2\x80\x94 Lab " +
               "menuEnabled:true addScript:[\"127.0.0.1\"] navigate:" + origin() + "/control/";
    }
    void send(const json& line) { bridge->writeStdin(line.dump() + "\n"); }
    // The next line that matches; nullopt when none comes within 20 s.
    std::optional<json> next(const std::function<bool(const json&)>& match) {
        while (auto text = bridge->readLine(std::chrono::seconds(20))) {
            raw.push_back(*text);
            if (const json line = json::parse(*text, nullptr, false); match(line)) return line;
        }
        return std::nullopt;
    }
    std::optional<json> state(const std::string& phase = "") {
        return next([&](const json& j) {
            return j.value("event", "") == "state" && (phase.empty() || j.value("phase", "") == phase);
        });
    }
    // The actions up to and including the next one named `last`, each with its telling member.
    std::string actionsTo(const std::string& last) {
        std::string out;
        for (bool done = false; !done;) {
            const auto a = next([](const json& j) { return j.contains("action"); });
            if (!a) return out + " <time-out>";
            const std::string name = (*a)["action"];
            done = name == last;
            out += (out.empty() ? "" : " ") + name;
            for (const char* key : {"text", "enabled", "hosts", "result", "controllerNavigates", "url"}) {
                if (!a->contains(key) || (name == "decision" && key == std::string("url"))) continue;
                out += ":" + ((*a)[key].is_string() ? (*a)[key].get<std::string>() : (*a)[key].dump());
            }
        }
        return out;
    }
    std::optional<int> finish() {
        bridge->closeStdin();
        while (next([](const json&) { return false; })) {
        }
        const auto code = bridge->wait(std::chrono::seconds(30));
        bridge.reset();
        return code;
    }
    // Connects and returns the state that follows "connecting".
    json connect() {
        send({{"cmd", "connect"}, {"host", "127.0.0.1:" + std::to_string(sim->port())}});
        EXPECT_TRUE(state("connecting"));
        return state().value_or(json());
    }
    std::string login(const std::optional<std::string>& typed) {
        send(typed ? json{{"cmd", "login"}, {"password", *typed}} : json{{"cmd", "login"}});
        EXPECT_TRUE(state("signing-in"));
        return actionsTo("navigate");
    }
    void logoutSignal() {
        send({{"input", "pageMessage"},
              {"source", origin() + "/control/"},
              {"message", {{"ostrelHost", "signedOut"}, {"reason", "logout"}}}});
        EXPECT_EQ(actionsTo("navigate"), std::string("deleteCookies ") + kEnded);
    }

    test::TempDir dir;
    test::IsolatedUserDirs userDirs{dir.path()};
    std::unique_ptr<test::SimProcess> sim;
    std::unique_ptr<test::ChildProcess> bridge;
    std::vector<std::string> raw;  // every line the bridge wrote
};

TEST_F(ctlBridge, TypedSignInKeepsThePasswordUntilTheSystemRefusesIt) {
    sim = std::make_unique<test::SimProcess>(std::vector<std::string>{"--system-id", kId, "--system-name", "Lab",
                                                                      "--password", kPassword, "--token", kToken});
    ASSERT_TRUE(sim->ready()) << sim->failure();
    startBridge();
    ASSERT_EQ(connect()["phase"], "password");
    ASSERT_EQ(login(kPassword), opened(true));
    const auto auth = sim->requests("/api/control-auth");
    ASSERT_EQ(auth.size(), 1u);
    EXPECT_TRUE(auth[0]["body"] == json({{"password", kPassword}}).dump());
    ASSERT_EQ(finish(), std::optional<int>(0));

    // A new process: its first "getState" reopens the remembered session.
    startBridge();
    send({{"cmd", "getState"}});
    ASSERT_TRUE(state("host") && state("connecting"));
    EXPECT_EQ(actionsTo("navigate"), opened(false));
    // A logout line ended by a NUL and more bytes, and one nested 70,000 levels deep (re-serialising
    // it once overflowed the stack): neither is half-read into a sign-out, the next one is read.
    const std::string head = R"({"input":"pageMessage","source":")" + origin() +
                             R"(/control/","message":{"ostrelHost":"signedOut","reason":"logout")";
    bridge->writeStdin(head + "}}" + std::string(1, '\0') + "junk\n");
    bridge->writeStdin(head + R"(,"x":)" + std::string(70000, '[') + std::string(70000, ']') + "}}\n");
    logoutSignal();

    // The vault kept the password: the next sign-in needs none typed.
    const json again = connect();
    EXPECT_EQ(again["target"]["savedPassword"], true);
    EXPECT_EQ(again["systems"][0]["savedPassword"], true);
    EXPECT_EQ(login(std::nullopt), opened(true));
    EXPECT_TRUE(sim->requests("/api/control-auth").at(1)["body"] == auth[0]["body"]);
    logoutSignal();

    // The system's password changes: the saved one is refused and forgotten.
    ASSERT_TRUE(sim->configure({{"password", "a-new-" + kPassword}}));
    ASSERT_EQ(connect()["phase"], "password");
    send({{"cmd", "login"}});
    const auto refused = state("password");
    ASSERT_TRUE(refused);
    EXPECT_EQ((*refused)["error"], "The saved password is no longer correct. Type the current one.");
    EXPECT_EQ((*refused)["target"]["savedPassword"], false);

    // A trusted console: policy decisions and popups, and a sign-out that asks the page nothing.
    ASSERT_TRUE(sim->configure({{"trusted", true}}));
    send({{"cmd", "connect"}, {"host", "127.0.0.1:" + std::to_string(sim->port())}});
    EXPECT_EQ(actionsTo("navigate"), opened(false));
    const json inputs[] = {
        {{"input", "navigation"}, {"url", origin() + "/source?tab=1"}},
        {{"input", "certificateError"}, {"url", origin() + "/"}},
        {{"input", "certificateError"}, {"url", "https://127.0.0.2/"}},
        {{"input", "newWindow"}, {"url", origin() + "/control/popup"}, {"name", "ostrelPopup"}},
        {{"input", "navigation"}, {"url", "ostrel-app://control.ui/index.html"}, {"main", false}},  // in the popup
        {{"input", "webViewReady"}},  // a re-created main view while signed in
        {{"input", "menu"}, {"item", "signOut"}}};
    std::string actions;
    for (const json& line : inputs) {
        send(line);
        actions += actionsTo(line["input"] == "webViewReady" ? "webViewReady"
                             : line.contains("url")          ? "decision"
                                                             : "navigate") +
                   " ";
    }
    // The popup gets the host script; the main view the script and the Control UI again.
    EXPECT_EQ(actions,
              "decision:external decision:allow decision:refuse decision:popup addScript:[\"127.0.0.1\"] "
              "decision:cancel addScript:[\"127.0.0.1\"] navigate:" +
                  origin() + "/control/ webViewReady:true " + kEnded + " ");
    EXPECT_EQ(sim->requests("/api/control-auth").size(), 3u);
}

}  // namespace
}  // namespace ostrel::ctl::testing
