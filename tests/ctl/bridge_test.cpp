// The controller as the app runs it (real network, settings and vault) through
// `ostrel-control-cli bridge`, against the system simulator on loopback.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/ctl/bridge_client.h"
#include "tests/support/sim_process.h"
#include "tests/support/test_support.h"

namespace ostrel::ctl::testing {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kBaseTitle = "Ostrel Ops Control - 2026 R1";
constexpr const char* kStartPage = "ostrel-app://control.ui/index.html";
constexpr const char* kLogoutScript = "fetch('/api/control-logout', { method: 'POST', credentials: 'same-origin' })";

std::string sha256Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    static constexpr char kHex[] = "0123456789abcdef";
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(kHex[digest[i] >> 4]);
        hex.push_back(kHex[digest[i] & 15]);
    }
    return hex;
}

std::int64_t nowSeconds() {
    return std::chrono::duration_cast<seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

class ctlBridge : public ::testing::Test {
protected:
    // Every test gets its own system id: the keyring is shared by the whole test run.
    std::string systemId() const {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        return std::string("ctl-br-") + info->name();
    }
    std::string password() const { return "pw-" + systemId() + "-7Qx"; }
    std::string token() const { return "tk-" + systemId() + "-93f1"; }

    void startSim(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--system-id", systemId(), "--system-name", "Lab " + systemId(),
                                         "--password",  password(), "--token",       token()};
        args.insert(args.end(), extra.begin(), extra.end());
        sim = std::make_unique<ostrel::test::SimProcess>(args);
        ASSERT_TRUE(sim->ready()) << sim->failure();
        started = true;
    }
    std::string name() const { return "Lab " + systemId(); }
    std::string origin() const { return "https://127.0.0.1:" + std::to_string(sim->port()); }
    std::string controlUrl() const { return origin() + "/control/"; }

    // The start page loads and asks for the state, as it does when the app starts.
    void SetUp() override {
        ASSERT_TRUE(bridge.state());
        firstState = bridge.raw().back();
    }

    void TearDown() override {
        // Secrets never reach standard output or the log.
        for (const auto& line : bridge.raw()) {
            EXPECT_EQ(line.find(password()), std::string::npos) << "a password reached standard output";
            EXPECT_EQ(line.find(token()), std::string::npos) << "a token reached standard output";
        }
        for (const auto& file : ostrel::test::listFiles(userDirs.logs() / "control-cli")) {
            const std::string text = ostrel::test::readFile(file);
            EXPECT_EQ(text.find(password()), std::string::npos) << "a password reached the log";
            EXPECT_EQ(text.find(token()), std::string::npos) << "a token reached the log";
        }
        if (!finished) {
            const auto code = bridge.finish();
            EXPECT_EQ(code, std::optional<int>(0)) << bridge.stderrText();
        }
    }

    void connect() {
        bridge.command("connect", {{"host", "127.0.0.1:" + std::to_string(sim->port())}});
        ASSERT_TRUE(bridge.stateIn("connecting"));
    }

    // Connects and waits for the password phase; returns that state.
    json toPasswordPhase() {
        connect();
        const auto state = bridge.next(
            [](const json& j) { return j.value("event", "") == "state" && j.value("phase", "") != "connecting"; });
        EXPECT_TRUE(state.has_value());
        if (!state) return json();
        EXPECT_EQ((*state)["phase"], "password") << state->dump();
        return *state;
    }

    void login(const std::optional<std::string>& typed, bool remember) {
        json args = {{"remember", remember}};
        if (typed) args["password"] = *typed;
        bridge.command("login", args);
        ASSERT_TRUE(bridge.stateIn("signing-in"));
    }

    // The session opens: title, menu, host script, then the Control UI.
    void expectSessionOpened() {
        const auto title = bridge.nextAction("title");
        ASSERT_TRUE(title);
        EXPECT_EQ((*title)["text"], std::string(kBaseTitle) + " \xE2\x80\x94 " + name());
        const auto menu = bridge.nextAction("menuEnabled");
        ASSERT_TRUE(menu);
        EXPECT_EQ((*menu)["enabled"], true);
        const auto script = bridge.nextAction("addScript");
        ASSERT_TRUE(script);
        EXPECT_EQ((*script)["hosts"], json::array({"127.0.0.1"}));
        EXPECT_EQ((*script)["view"], "main");
        const auto navigate = bridge.nextAction("navigate");
        ASSERT_TRUE(navigate);
        EXPECT_EQ((*navigate)["url"], controlUrl());
    }

    // Whatever ended the session: the browser is undone and the window shows no session.
    void expectSessionEnded() {
        for (const char* action : {"closePopups", "clearCertificateDecisions", "removeScript"}) {
            EXPECT_TRUE(bridge.nextAction(action)) << action;
        }
        const auto title = bridge.nextAction("title");
        ASSERT_TRUE(title);
        EXPECT_EQ((*title)["text"], kBaseTitle);
        const auto menu = bridge.nextAction("menuEnabled");
        ASSERT_TRUE(menu);
        EXPECT_EQ((*menu)["enabled"], false);
        const auto navigate = bridge.nextAction("navigate");
        ASSERT_TRUE(navigate);
        EXPECT_EQ((*navigate)["url"], kStartPage);
    }

    void signInTyped(bool remember) {
        toPasswordPhase();
        login(password(), remember);
        const auto cookie = bridge.nextAction("setCookie");
        ASSERT_TRUE(cookie);
        EXPECT_TRUE((*cookie)["valueSha256"] == sha256Hex(token()));
        expectSessionOpened();
    }

    void pageSignal(const std::string& reason) {
        bridge.input("pageMessage",
                     {{"source", controlUrl()}, {"message", {{"ostrelHost", "signedOut"}, {"reason", reason}}}});
    }

    void expectCookieDeleted() {
        const auto deleted = bridge.nextAction("deleteCookies");
        ASSERT_TRUE(deleted);
        EXPECT_EQ(*deleted, (json{{"action", "deleteCookies"},
                                  {"name", "ostrel_control_session"},
                                  {"domain", "127.0.0.1"},
                                  {"path", "/"},
                                  {"view", "main"}}));
    }

    std::size_t authRequests() const { return sim->requests("/api/control-auth").size(); }

    ostrel::test::TempDir dir;
    ostrel::test::IsolatedUserDirs userDirs{dir.path()};
    std::unique_ptr<ostrel::test::SimProcess> sim;
    BridgeClient bridge;
    bool started = false;
    bool finished = false;
    std::string firstState;
};

TEST_F(ctlBridge, StartsSignedOutWithTheFreshInstallState) {
    const auto startLines = bridge.linesSince(0);
    ASSERT_GE(startLines.size(), 3u);
    EXPECT_EQ(startLines[0], (json{{"action", "title"}, {"text", kBaseTitle}}));
    EXPECT_EQ(startLines[1], (json{{"action", "menuEnabled"}, {"enabled", false}}));
    EXPECT_EQ(
        firstState,
        R"({"app":{"build":"1.0.0.40","version":"2026 R1"},"error":"","event":"state","form":{"host":"","port":8443},"notice":"","phase":"host","siteKeySet":false,"systems":[],"target":{"host":"","name":"","port":8443,"savedPassword":false,"systemId":""}})");
}

TEST_F(ctlBridge, TypedSignInWithRememberSavesThePasswordAndALastingCookie) {
    startSim();
    toPasswordPhase();
    login(password(), true);
    const auto cookie = bridge.nextAction("setCookie");
    ASSERT_TRUE(cookie);
    EXPECT_EQ((*cookie)["name"], "ostrel_control_session");
    EXPECT_EQ((*cookie)["domain"], "127.0.0.1");
    EXPECT_EQ((*cookie)["path"], "/");
    EXPECT_EQ((*cookie)["httpOnly"], true);
    EXPECT_EQ((*cookie)["secure"], true);
    EXPECT_EQ((*cookie)["sameSite"], "Strict");
    ASSERT_TRUE((*cookie)["expires"].is_number_integer());
    EXPECT_NEAR(static_cast<double>((*cookie)["expires"].get<std::int64_t>()),
                static_cast<double>(nowSeconds() + 315360000), 120.0);
    EXPECT_TRUE((*cookie)["valueSha256"] == sha256Hex(token()));
    expectSessionOpened();

    const auto auth = sim->requests("/api/control-auth");
    ASSERT_EQ(auth.size(), 1u);
    EXPECT_TRUE(auth[0]["body"] == json({{"password", password()}}).dump());

    bridge.input("menu", {{"item", "switchSystem"}});
    expectSessionEnded();
    const auto state = bridge.state();
    ASSERT_TRUE(state);
    EXPECT_EQ((*state)["phase"], "host");
    EXPECT_EQ((*state)["notice"], "");
    EXPECT_EQ((*state)["target"]["savedPassword"], true);
    ASSERT_EQ((*state)["systems"].size(), 1u);
    EXPECT_EQ((*state)["systems"][0]["savedPassword"], true);
    EXPECT_EQ((*state)["systems"][0]["systemId"], systemId());
}

TEST_F(ctlBridge, SignInWithoutRememberDeletesTheSavedPassword) {
    startSim();
    signInTyped(true);
    pageSignal("logout");
    expectCookieDeleted();
    expectSessionEnded();
    EXPECT_EQ(toPasswordPhase()["target"]["savedPassword"], true);
    login(password(), false);
    const auto cookie = bridge.nextAction("setCookie");
    ASSERT_TRUE(cookie);
    EXPECT_TRUE((*cookie)["expires"].is_null());
    expectSessionOpened();
    pageSignal("logout");
    expectSessionEnded();
    const auto state = bridge.state();
    ASSERT_TRUE(state);
    EXPECT_EQ((*state)["notice"], "You signed out.");
    EXPECT_EQ((*state)["target"]["savedPassword"], false);
    EXPECT_EQ((*state)["systems"][0]["savedPassword"], false);
}

TEST_F(ctlBridge, SavedPasswordSignsInAndARefusedOneIsDeleted) {
    startSim();
    signInTyped(true);
    pageSignal("logout");
    expectSessionEnded();

    // No password typed: the saved one is sent.
    toPasswordPhase();
    login(std::nullopt, true);
    ASSERT_TRUE(bridge.nextAction("setCookie"));
    expectSessionOpened();
    const auto auth = sim->requests("/api/control-auth");
    ASSERT_EQ(auth.size(), 2u);
    EXPECT_TRUE(auth[1]["body"] == auth[0]["body"]);
    pageSignal("logout");
    expectSessionEnded();

    // The system's password changes: the saved one is refused and forgotten.
    ASSERT_TRUE(sim->configure({{"password", "a-new-" + password()}}));
    toPasswordPhase();
    login(std::nullopt, true);
    const auto refused = bridge.stateIn("password");
    ASSERT_TRUE(refused);
    EXPECT_EQ((*refused)["error"], "The saved password is no longer correct. Type the current one.");
    EXPECT_EQ((*refused)["target"]["savedPassword"], false);
    // Typed wrong: the plain text.
    login(std::string("wrong-") + password(), true);
    const auto wrong = bridge.stateIn("password");
    ASSERT_TRUE(wrong);
    EXPECT_EQ((*wrong)["error"], "Incorrect password.");
}

TEST_F(ctlBridge, TrustedConsoleSignsInAtOnceAndSignsOutWithoutAsking) {
    startSim({"--trusted", "true"});
    connect();
    expectSessionOpened();
    bridge.input("menu", {{"item", "signOut"}});
    expectSessionEnded();
    for (const auto& line : bridge.linesSince(0)) {
        EXPECT_NE(line.value("action", ""), "setCookie");
        EXPECT_NE(line.value("action", ""), "executeScript");
    }
    EXPECT_EQ(authRequests(), 0u);
    const auto state = bridge.state();
    ASSERT_TRUE(state);
    EXPECT_EQ((*state)["notice"], "You signed out.");
    EXPECT_EQ((*state)["phase"], "host");
}

TEST_F(ctlBridge, RememberedSessionReopensWithoutAPassword) {
    startSim();
    signInTyped(true);
    bridge.input("menu", {{"item", "switchSystem"}});
    expectSessionEnded();
    const std::size_t from = bridge.mark();
    connect();
    expectSessionOpened();
    for (const auto& line : bridge.linesSince(from)) {
        EXPECT_NE(line.value("action", ""), "setCookie");
        EXPECT_NE(line.value("phase", ""), "password");
    }
    EXPECT_EQ(authRequests(), 1u);
}

TEST_F(ctlBridge, TooManyAttemptsTexts) {
    startSim({"--config-json", R"({"controlAuth":{"status":429,"retryAfter":"30"}})"});
    toPasswordPhase();
    login(password(), true);
    auto state = bridge.stateIn("password");
    ASSERT_TRUE(state);
    EXPECT_EQ((*state)["error"], "Too many attempts. Try again in 30 seconds.");
    ASSERT_TRUE(sim->configure({{"controlAuth", {{"status", 429}, {"retryAfter", nullptr}}}}));
    login(password(), true);
    state = bridge.stateIn("password");
    ASSERT_TRUE(state);
    EXPECT_EQ((*state)["error"], "Too many attempts. Wait a moment and try again.");
}

TEST_F(ctlBridge, AcceptedWithoutATokenIsARefusal) {
    startSim({"--config-json", R"({"controlAuth":{"status":200,"body":"{}"}})"});
    toPasswordPhase();
    login(password(), true);
    const auto state = bridge.stateIn("password");
    ASSERT_TRUE(state);
    EXPECT_EQ((*state)["error"], "Sign-in failed (HTTP 200).");
    EXPECT_EQ((*state)["target"]["savedPassword"], false);
}

TEST_F(ctlBridge, UnreachableSystemAndSystemGoneBeforeSignIn) {
    const int closed = ostrel::test::closedLoopbackPort();
    bridge.command("connect", {{"host", "127.0.0.1"}, {"port", closed}});
    ASSERT_TRUE(bridge.stateIn("connecting"));
    const auto failed = bridge.stateIn("host");
    ASSERT_TRUE(failed);
    const std::string error = (*failed)["error"];
    EXPECT_EQ(error.rfind("Couldn't reach 127.0.0.1:" + std::to_string(closed) + ": ", 0), 0u) << error;

    startSim();
    toPasswordPhase();
    sim->stop();
    login(password(), true);
    const auto gone = bridge.stateIn("password");
    ASSERT_TRUE(gone);
    const std::string text = (*gone)["error"];
    EXPECT_EQ(text.rfind("Couldn't reach the system: ", 0), 0u) << text;
    EXPECT_EQ(text.back(), '.');
}

TEST_F(ctlBridge, CancelWhileConnectingDropsTheLateResult) {
    startSim({"--trusted", "true", "--delay-ms", "1500"});
    connect();
    bridge.command("cancel");
    const auto cancelled = bridge.stateIn("host");
    ASSERT_TRUE(cancelled);
    const std::size_t from = bridge.mark();
    // End the input at once: the bridge waits for the probe, then exits.
    finished = true;
    EXPECT_EQ(bridge.finish(), std::optional<int>(0));
    EXPECT_GE(sim->requests("/api/control-session").size(), 1u);  // the probe did finish
    EXPECT_TRUE(bridge.linesSince(from).empty()) << bridge.linesSince(from).front().dump();
}

TEST_F(ctlBridge, FirstGetStateReconnectsOnceAndNeverAgain) {
    startSim();
    signInTyped(true);
    finished = true;
    ASSERT_EQ(bridge.finish(), std::optional<int>(0));
    const std::size_t probesBefore = sim->requests("/api/source-config").size();

    // A new process: the remembered session opens by itself on the first "getState".
    bridge.start();
    bridge.command("getState");
    ASSERT_TRUE(bridge.stateIn("host"));
    ASSERT_TRUE(bridge.stateIn("connecting"));
    expectSessionOpened();
    bridge.input("menu", {{"item", "switchSystem"}});
    expectSessionEnded();
    const auto state = bridge.state();
    ASSERT_TRUE(state);
    EXPECT_EQ((*state)["phase"], "host");
    bridge.command("getState");
    const std::size_t from = bridge.mark();
    ASSERT_EQ(bridge.finish(), std::optional<int>(0));
    for (const auto& line : bridge.linesSince(from)) EXPECT_NE(line.value("phase", ""), "connecting");
    EXPECT_EQ(sim->requests("/api/source-config").size(), probesBefore + 1);
}

TEST_F(ctlBridge, SignOutEndsOnThePageLogoutSignal) {
    startSim();
    signInTyped(true);
    const auto begun = std::chrono::steady_clock::now();
    bridge.input("menu", {{"item", "signOut"}});
    const auto script = bridge.nextAction("executeScript");
    ASSERT_TRUE(script);
    EXPECT_EQ((*script)["script"], kLogoutScript);
    pageSignal("logout");
    expectCookieDeleted();
    expectSessionEnded();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, milliseconds(2500));
    const auto state = bridge.state();
    ASSERT_TRUE(state);
    EXPECT_EQ((*state)["notice"], "You signed out.");
    EXPECT_EQ((*state)["phase"], "host");
    EXPECT_EQ((*state)["form"]["host"], "127.0.0.1");
    EXPECT_EQ((*state)["form"]["port"], sim->port());
    // The fallback timer was stopped: nothing more happens before the input ends.
    const std::size_t from = bridge.mark();
    finished = true;
    EXPECT_EQ(bridge.finish(), std::optional<int>(0));
    EXPECT_TRUE(bridge.linesSince(from).empty());
}

TEST_F(ctlBridge, SignOutEndsAfterThreeSecondsWithoutThePage) {
    startSim();
    signInTyped(false);
    bridge.input("menu", {{"item", "signOut"}});
    ASSERT_TRUE(bridge.nextAction("executeScript"));
    const auto asked = std::chrono::steady_clock::now();
    expectCookieDeleted();
    const auto waited = std::chrono::steady_clock::now() - asked;
    EXPECT_GE(waited, milliseconds(2800));
    EXPECT_LT(waited, milliseconds(6000));
    expectSessionEnded();
    const auto state = bridge.state();
    ASSERT_TRUE(state);
    EXPECT_EQ((*state)["notice"], "You signed out.");
}

TEST_F(ctlBridge, ExpiredSessionReturnsToThePasswordPhase) {
    startSim();
    signInTyped(true);
    pageSignal("expired");
    expectCookieDeleted();
    expectSessionEnded();
    const auto state = bridge.state();
    ASSERT_TRUE(state);
    EXPECT_EQ((*state)["phase"], "password");
    EXPECT_EQ((*state)["notice"], "Your session has ended. Sign in again.");
    EXPECT_EQ((*state)["target"]["systemId"], systemId());
    // The saved password signs in again from here.
    login(std::nullopt, true);
    ASSERT_TRUE(bridge.nextAction("setCookie"));
    expectSessionOpened();
}

TEST_F(ctlBridge, UnknownReasonKeepsTheSessionOpen) {
    startSim();
    signInTyped(true);
    pageSignal("maintenance");
    expectCookieDeleted();
    // Foreign pages cannot sign the session out.
    bridge.input("pageMessage", {{"source", "https://127.0.0.2/control/"},
                                 {"message", {{"ostrelHost", "signedOut"}, {"reason", "logout"}}}});
    // Malformed lines are ignored, not half-read: a logout line ended by a NUL and more bytes,
    // and a logout line nested 70,000 levels deep (re-serialising it overflowed the stack).
    const std::string head = R"({"input":"pageMessage","source":")" + controlUrl() +
                             R"(","message":{"ostrelHost":"signedOut","reason":"logout")";
    bridge.sendText(head + "}}" + std::string(1, '\0') + "junk");
    bridge.sendText(head + R"(,"x":)" + std::string(70000, '[') + std::string(70000, ']') + "}}");
    bridge.input("navigation", {{"url", controlUrl() + "next"}});
    const auto decision = bridge.nextAction("decision");
    ASSERT_TRUE(decision);
    EXPECT_EQ((*decision)["result"], "allow");
    for (const auto& line : bridge.linesSince(0)) {
        if (line.value("action", "") == "navigate") {
            EXPECT_NE(line["url"], kStartPage);
        }
    }
    bridge.input("menu", {{"item", "switchSystem"}});
    expectSessionEnded();
}

TEST_F(ctlBridge, PolicyDecisionsAndPopupsWhileSignedIn) {
    startSim();
    signInTyped(true);
    struct Case {
        const char* input;
        std::string url;
        std::string name;
        const char* result;
    };
    const std::vector<Case> cases = {
        {"navigation", origin() + "/source?tab=1", "", "external"},
        {"navigation", "mailto:ops@example.com", "", "cancel"},
        {"navigation", kStartPage, "", "allow"},
        {"newWindow", origin() + "/control/popup", "ostrelSourceTab", "refuse"},
        {"certificateError", origin() + "/", "", "allow"},
        {"certificateError", "https://127.0.0.2/", "", "refuse"},
        {"newWindow", origin() + "/control/popup", "ostrelPopup", "popup"},
    };
    for (const auto& c : cases) {
        json args = {{"url", c.url}};
        if (!c.name.empty()) args["name"] = c.name;
        bridge.input(c.input, args);
        const auto decision = bridge.nextAction("decision");
        ASSERT_TRUE(decision) << c.url;
        EXPECT_EQ((*decision)["input"], c.input);
        EXPECT_EQ((*decision)["url"], c.url);
        EXPECT_EQ((*decision)["result"], c.result) << c.url;
    }
    // The popup is wired and receives the host script.
    const auto script = bridge.nextAction("addScript");
    ASSERT_TRUE(script);
    EXPECT_EQ((*script)["view"], "popup");
    bridge.input("navigation", {{"url", kStartPage}, {"main", false}});
    const auto popupNav = bridge.nextAction("decision");
    ASSERT_TRUE(popupNav);
    EXPECT_EQ((*popupNav)["result"], "cancel");
    // A re-created main view while signed in gets the script and the Control UI again.
    bridge.input("webViewReady");
    ASSERT_TRUE(bridge.nextAction("addScript"));
    const auto navigate = bridge.nextAction("navigate");
    ASSERT_TRUE(navigate);
    EXPECT_EQ((*navigate)["url"], controlUrl());
    const auto ready = bridge.nextAction("webViewReady");
    ASSERT_TRUE(ready);
    EXPECT_EQ((*ready)["controllerNavigates"], true);
}

}  // namespace
}  // namespace ostrel::ctl::testing
