// What only the real stack shows: the controller as the app runs it (real network, settings and
// vault) through `ostrel-control-cli bridge`, against the system simulator on loopback.
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

constexpr const char* kBaseTitle = "Ostrel Ops Control - 2026 R1";
constexpr const char* kStartPage = "ostrel-app://control.ui/index.html";

std::string sha256Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) hex += {kHex[digest[i] >> 4], kHex[digest[i] & 15]};
    return hex;
}

class ctlBridge : public ::testing::Test {
protected:
    // Every test gets its own system id: the keyring is shared by the whole test run.
    std::string systemId() const {
        return std::string("ctl-br-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    std::string password() const { return "pw-" + systemId() + "-7Qx"; }
    std::string token() const { return "tk-" + systemId() + "-93f1"; }
    std::string name() const { return "Lab " + systemId(); }
    std::string origin() const { return "https://127.0.0.1:" + std::to_string(sim->port()); }

    void startSim(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--system-id", systemId(), "--system-name", name(),
                                         "--password",  password(), "--token",       token()};
        args.insert(args.end(), extra.begin(), extra.end());
        sim = std::make_unique<ostrel::test::SimProcess>(args);
        ASSERT_TRUE(sim->ready()) << sim->failure();
        bridge.command("getState");  // the start page loads and asks, as when the app starts
        ASSERT_TRUE(bridge.state("host"));
    }

    void TearDown() override {
        if (!finished) {
            EXPECT_EQ(bridge.finish(), std::optional<int>(0)) << bridge.stderrText();
        }
        // Secrets never reach standard output or the log.
        std::vector<std::string> texts = bridge.raw();
        for (const auto& file : ostrel::test::listFiles(userDirs.logs() / "control-cli")) {
            texts.push_back(ostrel::test::readFile(file));
        }
        for (const auto& text : texts) {
            EXPECT_TRUE(text.find(password()) == std::string::npos && text.find(token()) == std::string::npos)
                << "a secret reached standard output or the log";
        }
    }

    // Connects and returns the state that follows "connecting".
    json connect() {
        bridge.command("connect", {{"host", "127.0.0.1:" + std::to_string(sim->port())}});
        EXPECT_TRUE(bridge.state("connecting"));
        const auto state = bridge.next(
            [](const json& j) { return j.value("event", "") == "state" && j.value("phase", "") != "connecting"; });
        return state ? *state : json();
    }

    void login(const std::optional<std::string>& typed) {
        json args = json::object();
        if (typed) args["password"] = *typed;
        bridge.command("login", args);
        ASSERT_TRUE(bridge.state("signing-in"));
    }

    // The session opens: title, menu, host script, then the Control UI.
    void expectSessionOpened() {
        const auto title = bridge.action("title");
        ASSERT_TRUE(title);
        EXPECT_EQ((*title)["text"], std::string(kBaseTitle) + " \xE2\x80\x94 " + name());
        EXPECT_EQ(bridge.action("menuEnabled").value_or(json())["enabled"], true);
        const auto script = bridge.action("addScript");
        ASSERT_TRUE(script);
        EXPECT_EQ((*script)["hosts"], json::array({"127.0.0.1"}));
        EXPECT_EQ(bridge.action("navigate").value_or(json())["url"], origin() + "/control/");
    }

    void expectSessionEnded() {
        for (const char* action : {"closePopups", "clearCertificateDecisions", "removeScript"}) {
            EXPECT_TRUE(bridge.action(action)) << action;
        }
        EXPECT_EQ(bridge.action("title").value_or(json())["text"], kBaseTitle);
        EXPECT_EQ(bridge.action("menuEnabled").value_or(json())["enabled"], false);
        EXPECT_EQ(bridge.action("navigate").value_or(json())["url"], kStartPage);
    }

    void signInTyped() {
        ASSERT_EQ(connect()["phase"], "password");
        login(password());
        const auto cookie = bridge.action("setCookie");
        ASSERT_TRUE(cookie);
        EXPECT_TRUE((*cookie)["valueSha256"] == sha256Hex(token()));
        const auto now =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        EXPECT_NEAR((*cookie)["expires"].get<double>(), static_cast<double>(now + 315360000), 120.0);
        expectSessionOpened();
    }

    void logoutSignal() {
        bridge.input("pageMessage", {{"source", origin() + "/control/"},
                                     {"message", {{"ostrelHost", "signedOut"}, {"reason", "logout"}}}});
        EXPECT_EQ(bridge.action("deleteCookies").value_or(json())["domain"], "127.0.0.1");
        expectSessionEnded();
    }

    ostrel::test::TempDir dir;
    ostrel::test::IsolatedUserDirs userDirs{dir.path()};
    std::unique_ptr<ostrel::test::SimProcess> sim;
    BridgeClient bridge;
    bool finished = false;
};

TEST_F(ctlBridge, TypedSignInKeepsThePasswordUntilTheSystemRefusesIt) {
    startSim();
    signInTyped();
    const auto auth = sim->requests("/api/control-auth");
    ASSERT_EQ(auth.size(), 1u);
    EXPECT_TRUE(auth[0]["body"] == json({{"password", password()}}).dump());
    logoutSignal();

    // The vault kept the password: the next sign-in needs none typed.
    const json again = connect();
    EXPECT_EQ(again["target"]["savedPassword"], true);
    EXPECT_EQ(again["systems"][0]["savedPassword"], true);
    login(std::nullopt);
    ASSERT_TRUE(bridge.action("setCookie"));
    expectSessionOpened();
    EXPECT_TRUE(sim->requests("/api/control-auth").at(1)["body"] == auth[0]["body"]);
    logoutSignal();

    // The system's password changes: the saved one is refused and forgotten.
    ASSERT_TRUE(sim->configure({{"password", "a-new-" + password()}}));
    ASSERT_EQ(connect()["phase"], "password");
    login(std::nullopt);
    const auto refused = bridge.state("password");
    ASSERT_TRUE(refused);
    EXPECT_EQ((*refused)["error"], "The saved password is no longer correct. Type the current one.");
    EXPECT_EQ((*refused)["target"]["savedPassword"], false);
}

TEST_F(ctlBridge, FirstGetStateOfANewProcessReconnectsOnce) {
    startSim();
    signInTyped();
    finished = true;
    ASSERT_EQ(bridge.finish(), std::optional<int>(0));
    const std::size_t probes = sim->requests("/api/source-config").size();

    bridge.start();  // a new process: the remembered session opens by itself
    bridge.command("getState");
    ASSERT_TRUE(bridge.state("host"));
    ASSERT_TRUE(bridge.state("connecting"));
    expectSessionOpened();
    bridge.input("menu", {{"item", "switchSystem"}});
    expectSessionEnded();
    bridge.command("getState");
    const std::size_t from = bridge.mark();
    ASSERT_EQ(bridge.finish(), std::optional<int>(0));
    for (const auto& line : bridge.linesSince(from)) EXPECT_NE(line.value("phase", ""), "connecting");
    EXPECT_EQ(sim->requests("/api/source-config").size(), probes + 1);
}

TEST_F(ctlBridge, PolicyDecisionsAndPopupsOfATrustedSession) {
    startSim({"--trusted", "true"});
    bridge.command("connect", {{"host", "127.0.0.1:" + std::to_string(sim->port())}});
    ASSERT_TRUE(bridge.state("connecting"));
    expectSessionOpened();
    struct Case {
        const char* input;
        std::string url, name;
        const char* result;
    };
    const Case cases[] = {
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
        EXPECT_EQ(bridge.action("decision"),
                  (json{{"action", "decision"}, {"input", c.input}, {"result", c.result}, {"url", c.url}}));
    }
    // The popup is wired and receives the host script; it never shows the start page.
    EXPECT_EQ(bridge.action("addScript").value_or(json())["view"], "popup");
    bridge.input("navigation", {{"url", kStartPage}, {"main", false}});
    EXPECT_EQ(bridge.action("decision").value_or(json())["result"], "cancel");
    // A re-created main view while signed in gets the script and the Control UI again.
    bridge.input("webViewReady");
    ASSERT_TRUE(bridge.action("addScript"));
    EXPECT_EQ(bridge.action("navigate").value_or(json())["url"], origin() + "/control/");
    EXPECT_EQ(bridge.action("webViewReady").value_or(json())["controllerNavigates"], true);
    // Signing out of a trusted console asks the page nothing.
    const std::size_t from = bridge.mark();
    bridge.input("menu", {{"item", "signOut"}});
    expectSessionEnded();
    for (const auto& line : bridge.linesSince(from)) EXPECT_NE(line.value("action", ""), "executeScript");
    EXPECT_EQ(sim->requests("/api/control-auth").size(), 0u);
}

TEST_F(ctlBridge, HalfReadOrTooDeepPageMessagesAreIgnored) {
    startSim();
    signInTyped();
    // A logout line ended by a NUL and more bytes, and one nested 70,000 levels deep
    // (re-serialising it once overflowed the stack): neither is half-read into a sign-out.
    const std::string head = R"({"input":"pageMessage","source":")" + origin() +
                             R"(/control/","message":{"ostrelHost":"signedOut","reason":"logout")";
    const std::size_t from = bridge.mark();
    bridge.sendText(head + "}}" + std::string(1, '\0') + "junk");
    bridge.sendText(head + R"(,"x":)" + std::string(70000, '[') + std::string(70000, ']') + "}}");
    bridge.input("navigation", {{"url", origin() + "/control/next"}});
    EXPECT_EQ(bridge.action("decision").value_or(json())["result"], "allow");
    for (const auto& line : bridge.linesSince(from)) EXPECT_NE(line.value("action", ""), "deleteCookies");
    logoutSignal();  // a well-formed one still ends the session
}

}  // namespace
}  // namespace ostrel::ctl::testing
