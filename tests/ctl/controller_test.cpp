// The controller's flows as scenarios that compare the whole ordered log of the fakes' calls, the
// events and the lines the process logged.
#include <gtest/gtest.h>

#include <sstream>

#include "ctl/start_page.h"
#include "log/log.h"
#include "tests/ctl/controller_fixture.h"
#include "tests/support/test_support.h"

namespace ostrel::ctl::testing {
namespace {

using json = nlohmann::json;
constexpr const char* kPassword = "pw-correct-horse";
constexpr const char* kToken = "tok-0123456789abcdef";
const std::string kStart = "navigate " + std::string(kStartPageUrl),
                  kControl = "navigate https://10.0.0.5:8443/control/";
const std::string kLogout = R"({"ostrelHost":"signedOut","reason":"logout"})";
const std::string kAuth = "http POST 10.0.0.5:8443/api/control-auth ";
const std::string kCookie = "setCookie ostrel_control_session=<token> 10.0.0.5/ Strict";
Lines operator+(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
std::string on(const std::string& name) {
    return "window on \xE2\x80\x94 " + name;
}

struct Folder : test::TempDir {
    test::IsolatedUserDirs userDirs{path()};
};

class ControllerTest : public ::testing::Test, public Folder, public Harness {
protected:
    ControllerTest() : Harness(path() / "config.json") {
        log.secrets = {{kPassword, "<pw>"}, {kToken, "<token>"}, {"saved-pw", "<saved>"}, {"site-key", "<key>"}};
        start();
    }
    // The calls since the last take(), then what the process logged meanwhile ("I message").
    Lines take() {
        Lines lines = log.take();
        const std::string all = logText();
        std::istringstream in(all.substr(std::min(logAt, all.size())));
        logAt = all.size();
        for (std::string line; std::getline(in, line);) log.add(line.substr(24, 1) + line.substr(line.find("] ") + 1));
        for (auto& line : log.take()) lines.push_back(std::move(line));
        return lines;
    }
    static std::string logText() {
        static test::TempDir folder;
        static const bool once = [] {
            ostrel::log::LogConfig config;
            config.source = "ctl-test";
            config.logDir = folder.path();
            config.consoleSink = false;
            return ostrel::log::init(config), true;
        }();
        ostrel::log::flushAndWait(std::chrono::seconds(10));
        return once ? test::readFile(ostrel::log::prettyLogPath()) : "";
    }
    void connect(const std::string& host, int port = 8443) {
        command({{"cmd", "connect"}, {"host", host}, {"port", port}});
    }
    void login(const std::string& password, bool remember = true) {
        command({{"cmd", "login"}, {"password", password}, {"remember", remember}});
    }
    void accept() { world.answers.push_back(answer(200, std::string(R"({"token":")") + kToken + "\"}")); }
    void toPasswordPhase(const std::string& id = "sys-a", const std::string& name = "Alpha") {
        world.connect = systemAt(id, name);
        connect("10.0.0.5");
        pump();
        ASSERT_EQ(controller->phase(), Phase::Password);
    }
    void signInTyped(bool remember, const std::string& id = "sys-a", const std::string& name = "Alpha") {
        toPasswordPhase(id, name);
        accept();
        login(kPassword, remember);
        pump();
        ASSERT_TRUE(controller->signedIn());
    }
    void signInTrusted(const std::string& id = "sys-t", const std::string& name = "Trusty") {
        world.connect = systemAt(id, name, true);
        connect("10.0.0.9");
        pump();
        ASSERT_TRUE(controller->signedIn());
    }
    // The settings in short: "LAST[ auto] | ID[+ when its session is remembered]@HOSTS ...".
    std::string stored() {
        const auto last = controller->store().lastSystem();
        std::string out = last.systemId + (last.autoSignIn ? " auto |" : " |");
        for (const auto& s : controller->store().systemsSnapshot()) {
            out += " " + s.systemId + (s.sessionRemembered ? "+" : "") + "@" + json(s.hosts).dump();
        }
        return out;
    }
    // What ending a session does, after the lines particular to the way out.
    static Lines ended(Lines lines, const std::string& state, const std::string& left) {
        for (const std::string& line : Lines{"timer stop", "closePopups", "clearCertificateDecisions",
                                             "removeScript s1", "window off", kStart, state, "I left " + left}) {
            if (!line.empty()) lines.push_back(line);
        }
        return lines;
    }

    std::size_t logAt = logText().size();
};

using ctlState = ControllerTest;

TEST_F(ctlState, FirstStateSinkSiteKeyAndForget) {
    command({{"cmd", "getState"}});
    EXPECT_EQ(
        events,
        Lines{
            R"({"app":{"build":"1.0.0.40","version":"2026 R1"},"error":"","event":"state","form":{"host":"","port":8443},"notice":"","phase":"host","siteKeySet":false,"systems":[],"target":{"host":"","name":"","port":8443,"savedPassword":false,"systemId":""}})"});
    controller->setEventSink(nullptr);  // dropped, not queued
    command({{"cmd", "getState"}});
    sink();
    command({{"cmd", "setSiteKey"}, {"siteKey", "site-key-1"}});
    command({{"cmd", "setSiteKey"}});
    world.vaultBroken = true;  // the state shows what is really stored
    command({{"cmd", "setSiteKey"}, {"siteKey", "site-key-2"}});
    command({{"cmd", "forget"}, {"systemId", ""}});
    command({{"cmd", "forget"}, {"systemId", "sys-unknown"}});  // still saves and answers
    EXPECT_EQ(take(), (Lines{"window off", "state host", "saveSiteKey <key>-1", "state host +key", "deleteSiteKey",
                             "state host", "saveSiteKey <key>-2", "state host", "state host",
                             "I forgot system sys-unknown and its saved password"}));
    EXPECT_TRUE(std::filesystem::exists(settingsPath));
}

using ctlConnect = ControllerTest;

TEST_F(ctlConnect, HostTextPhasesAndFailures) {
    connect(" \t ");  // no host in it
    login("x");       // phase host
    connect(" https://admin@10.0.0.5:9443/x?q=1 ", 1234);
    EXPECT_EQ(lastState()["form"], (json{{"host", "10.0.0.5"}, {"port", 9443}}));
    EXPECT_EQ(lastState()["target"],
              (json{{"host", "10.0.0.5"}, {"name", ""}, {"port", 9443}, {"savedPassword", false}, {"systemId", ""}}));
    connect("10.0.0.6");  // connecting: both ignored
    login("x");
    world.connect = systemAt("sys-a", "Alpha");
    pump();
    login("p");
    connect("10.0.0.7");  // signing-in: both ignored
    login("again");
    pump();  // no answer: the transport fails
    world.threads = FakeWorld::Threads::Fail;
    login("p");
    connect("10.0.0.5");
    EXPECT_EQ(lastState()["target"]["systemId"], "");  // a fresh target
    command({{"cmd", "discoverSystems"}});
    world.threads = FakeWorld::Threads::Queued;
    world.connect = [](auto&&...) { return ConnectResult{false, "Couldn't X.", {}, false}; };
    connect("10.0.0.5");
    pump();
    // clang-format off
    EXPECT_EQ(take(), (Lines{"window off", "state connecting", "probe 10.0.0.5:9443", "state password", "state signing-in",
        R"(http POST 10.0.0.5:9443/api/control-auth {"password":"p"})",
        "state password !Couldn't reach the system: the connection timed out.",
        "state signing-in", "state password !Couldn't start the sign-in. Try again.",
        "state connecting", "state host !Couldn't start the connection. Try again.",
        "discovery searching 0", "discovery done 0 !could not start a discovery run",
        "state connecting", "probe 10.0.0.5:8443", "state host !Couldn't X.", "I connecting to 10.0.0.5:9443",
        "I connecting to 10.0.0.5:8443", "I connecting to 10.0.0.5:8443", "W connect failed: Couldn't X."}));
    // clang-format on
}

TEST_F(ctlConnect, CancelKeepsTheNoticeAndDropsLateResults) {
    signInTrusted();
    controller->onMenuCommand(MenuCommand::SignOut);  // trusted: ends at once, with a notice
    take();
    command({{"cmd", "cancel"}});
    EXPECT_EQ(lastState()["form"]["host"], "10.0.0.9");
    EXPECT_EQ(lastState()["target"]["systemId"], "sys-t");
    world.connect = [](const std::string& host, int port, const FindSystemFunction& find) {
        return systemAt("sys-" + host, host, true)(host, port, find);
    };
    connect("first.example");
    command({{"cmd", "back"}});
    pump();  // its late result changes nothing
    connect("second.example");
    command({{"cmd", "cancel"}});
    connect("third.example");
    world.runJob(1);  // the newer probe answers first; the older one's late answer must not replace it
    pump();
    // clang-format off
    EXPECT_EQ(take(), (Lines{"state host ~You signed out.", "state connecting", "state host", "probe first.example:8443",
        "state connecting", "state host", "state connecting", "probe third.example:8443", "probe second.example:8443",
        on("third.example"), R"(addScript s2 ["third.example"])", "navigate https://third.example:8443/control/",
        "I connecting to first.example:8443", "I connecting to second.example:8443", "I connecting to third.example:8443",
        "I third.example trusts this machine as its console - no password needed"}));
    // clang-format on
}

TEST_F(ctlConnect, FirstGetStateReconnectsOnlyFromAFreshStart) {
    signInTyped(true, "sys-auto");
    start();  // a new process: the settings remember the session and autoSignIn
    take();
    command({{"cmd", "getState"}});
    command({{"cmd", "cancel"}});
    pump();
    command({{"cmd", "getState"}});  // the page reloads: no second reconnect
    EXPECT_EQ(take(), (Lines{"state host", "state connecting", "state host", "probe 10.0.0.5:8443", "state host",
                             "I connecting to 10.0.0.5:8443"}));
    start();  // signed in before the first "getState" (as the bridge can be): no connect over the session
    log.scriptIds = 0;
    signInTrusted();
    take();
    command({{"cmd", "getState"}});
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    EXPECT_EQ(take(), ended({"state signed-in"}, "", "Trusty (switching system)"));
    start();  // without autoSignIn no reconnect
    command({{"cmd", "getState"}});
    EXPECT_EQ(take(), (Lines{"window off", "state host"}));
}

using ctlLogin = ControllerTest;

TEST_F(ctlLogin, TypedPasswordWithAndWithoutRemember) {
    toPasswordPhase("sys-r", "Romeo");
    take();
    accept();
    login(kPassword);
    pump();
    // No state event when the session opens: the view leaves the start page.
    EXPECT_EQ(take(), (Lines{"state signing-in", kAuth + R"({"password":"<pw>"})", "savePassword sys-r <pw>",
                             kCookie + " 2082585600", on("Romeo"), R"(addScript s1 ["10.0.0.5"])", kControl,
                             "I signed in to Romeo"}));
    EXPECT_EQ(stored(), R"(sys-r auto | sys-r+@["10.0.0.5"])");
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    command({{"cmd", "getState"}});
    EXPECT_EQ(lastState()["systems"].dump(),
              R"([{"host":"10.0.0.5","lastUsedMs":1767225600000,"name":"Romeo","port":8443,"savedPassword":true,)"
              R"("systemId":"sys-r"}])");
    command({{"cmd", "forget"}, {"systemId", "sys-r"}});
    EXPECT_EQ(lastState()["systems"].size(), 0u);

    world.passwords["sys-nr"] = "older-password";  // without remember none is kept; the cookie is the browser's
    take();
    signInTyped(false, "sys-nr");
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    world.vaultBroken = true;  // a failed save does not stop the sign-in
    signInTyped(true, "sys-v");
    command({{"cmd", "getState"}});
    const Lines typed = {"state connecting", "probe 10.0.0.5:8443", "state password", "state signing-in",
                         kAuth + R"({"password":"<pw>"})"};
    // clang-format off
    EXPECT_EQ(take(), (typed + Lines{"deletePassword sys-nr", kCookie, on("Alpha"), R"(addScript s2 ["10.0.0.5"])", kControl,
        "timer stop", "closePopups", "clearCertificateDecisions", "removeScript s2", "window off", kStart} + typed +
        Lines{"savePassword sys-v <pw>", kCookie + " 2082585600", on("Alpha"), R"(addScript s3 ["10.0.0.5"])", kControl,
        "state signed-in", "I connecting to 10.0.0.5:8443", "I signed in to Alpha", "I left Alpha (switching system)",
        "I connecting to 10.0.0.5:8443", "I signed in to Alpha"}));
    // clang-format on
    EXPECT_EQ(stored(), R"(sys-v auto | sys-v+@["10.0.0.5"] sys-nr@["10.0.0.5"])");
}

TEST_F(ctlLogin, SavedPasswordAndRefusals) {
    // clang-format off
    const struct {
        HttpResult answer;
        bool typed;
        Lines lines;
    } cases[] = {
        {answer(401, "{}"), true, {"state password !Incorrect password.", "W sign-in to Xray refused: HTTP 401"}},
        {answer(200, "{}"), true, {"state password !Sign-in failed (HTTP 200).", "W sign-in to Xray refused: HTTP 200"}},
        {{false, 0, {}, {}, "timed out"}, true, {"state password !Couldn't reach the system: timed out."}},
        {answer(401, "{}"), false, {"deletePassword sys-x",
            "state password !The saved password is no longer correct. Type the current one.",
            "W sign-in to Xray refused: HTTP 401"}},
    };
    // clang-format on
    toPasswordPhase("sys-x", "Xray");
    take();
    accept();  // accepted after a cancel: neither saved nor used
    login(kPassword);
    command({{"cmd", "cancel"}});
    pump();
    world.passwords["sys-x"] = "";  // an empty saved password is no password
    toPasswordPhase("sys-x", "Xray");
    command({{"cmd", "login"}});
    EXPECT_EQ(take(), (Lines{"state signing-in", "state host", kAuth + R"({"password":"<pw>"})", "state connecting",
                             "probe 10.0.0.5:8443", "state password", "I connecting to 10.0.0.5:8443"}));
    world.passwords["sys-x"] = "saved-pw";
    for (const auto& c : cases) {
        world.answers.push_back(c.answer);
        command(c.typed ? json{{"cmd", "login"}, {"password", "typed"}} : json{{"cmd", "login"}});
        pump();
        Lines lines = {"state signing-in", kAuth + (c.typed ? R"({"password":"typed"})" : R"({"password":"<saved>"})")};
        lines.insert(lines.end(), c.lines.begin(), c.lines.end());
        EXPECT_EQ(take(), lines);
        EXPECT_EQ(lastState()["target"]["savedPassword"], c.typed);
    }
    world.passwords["sys-x"] = "saved-pw";
    accept();
    command({{"cmd", "login"}});
    pump();
    EXPECT_EQ(take(), (Lines{"state signing-in", kAuth + R"({"password":"<saved>"})", "savePassword sys-x <saved>",
                             kCookie + " 2082585600", on("Xray"), R"(addScript s1 ["10.0.0.5"])", kControl,
                             "I signed in to Xray"}));
}

TEST_F(ctlLogin, RememberedTrustedAndNoViewSignIns) {
    signInTyped(true, "sys-m", "Memo");
    controller->onMenuCommand(MenuCommand::SwitchSystem);  // keeps the cookie and the remembered flag
    take();
    // Remembered session: no password, no new cookie; the store merged the hosts.
    world.connect = [](const std::string& host, int port, const FindSystemFunction& find) {
        SystemEntry known;
        return systemAt(find("sys-m", known) ? "sys-m" : "?", "Memo", false, {"LAB.example"})(host, port, find);
    };
    connect("LAB.example");
    pump();
    EXPECT_EQ(stored(), R"(sys-m auto | sys-m+@["LAB.example","10.0.0.5"])");
    // A trusted answer wins over the remembered session, which is then no longer remembered.
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    signInTrusted("sys-m", "Memo");
    EXPECT_TRUE(controller->trustedConsole());
    start(false);  // no view yet: the operator is asked to try again, nothing is stored
    world.connect = systemAt("sys-nv", "NoView", true);
    connect("10.0.0.5");
    pump();
    // clang-format off
    EXPECT_EQ(take(), (Lines{"state connecting", "probe LAB.example:8443", on("Memo"),
        R"(addScript s2 ["lab.example","10.0.0.5"])", "navigate https://LAB.example:8443/control/", "timer stop",
        "closePopups", "clearCertificateDecisions", "removeScript s2", "window off", kStart, "state connecting",
        "probe 10.0.0.9:8443", on("Memo"), R"(addScript s3 ["10.0.0.9","lab.example","10.0.0.5"])",
        "navigate https://10.0.0.9:8443/control/", "window off", "state connecting", "probe 10.0.0.5:8443",
        "state host !The window isn't ready yet. Try again in a moment.", "I connecting to LAB.example:8443",
        "I reopening Memo with its remembered session", "I left Memo (switching system)", "I connecting to 10.0.0.9:8443",
        "I Memo trusts this machine as its console - no password needed", "I connecting to 10.0.0.5:8443",
        "I NoView trusts this machine as its console - no password needed"}));
    // clang-format on
    EXPECT_EQ(stored(), R"(sys-m auto | sys-m@["10.0.0.9","LAB.example","10.0.0.5"])");
}

using ctlSession = ControllerTest;

TEST_F(ctlSession, EveryWayOutUndoesTheSession) {
    const std::string exec = std::string("executeScript ") + kLogoutScript,
                      cookie = "deleteCookies ostrel_control_session ";
    const Lines deleted = {cookie + "10.0.0.5 /", cookie + "fe80::1 /"};
    const std::string out = "state host ~You signed out.", ended = "Your session has ended. Sign in again.";
    // clang-format off
    const struct {
        const char* steps;  // s switch, o sign out, t time limit, l / e the page says logout / expired
        bool trusted;
        Lines before;
        std::string state, left, stored;
    } cases[] = {
        {"s", false, {}, "state host", "Two (switching system)", "sys-two | sys-two+"},  // the cookie stays for later
        {"to", true, {"timer stop"}, out, "Two (You signed out.)", "sys-two | sys-two"},  // the page is asked nothing
        {"tol", false, {"timer stop", exec, "timer 3000", deleted[0], deleted[1]}, out, "Two (You signed out.)", "sys-two | sys-two"},
        {"tot", false, {"timer stop", exec, "timer 3000", "timer stop", deleted[0], deleted[1]}, out, "Two (You signed out.)",
         "sys-two | sys-two"},
        {"l", false, deleted, out, "Two (You signed out.)", "sys-two | sys-two"},
        {"e", false, deleted, "state password ~" + ended, "Two (" + ended + ")", "sys-two auto | sys-two"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps);
        view = std::make_shared<FakeView>(log);
        log.scriptIds = 0;
        start();
        command({{"cmd", "getState"}});  // the start page has loaded: later "getState" calls never reconnect
        world.connect = systemAt("sys-two", "Two", c.trusted, {"10.0.0.5", "[FE80::1]"});
        connect("10.0.0.5");
        pump();
        accept();
        login(kPassword);
        pump();
        take();
        for (const char* step = c.steps; *step; ++step) {
            if (*step == 's') controller->onMenuCommand(MenuCommand::SwitchSystem);
            if (*step == 'o') controller->onMenuCommand(MenuCommand::SignOut);
            if (*step == 't') controller->onSignOutTimer();  // ends nothing before a sign-out was asked for
            if (*step == 'l') controller->handlePageMessage("https://[fe80::1]:8443/control/", kLogout);
            if (*step == 'e')
                controller->handlePageMessage("https://10.0.0.5:8443/control/s",
                                              R"({"ostrelHost":"signedOut","reason":"expired"})");
        }
        command({{"cmd", "getState"}});
        EXPECT_EQ(lastState()["form"], (json{{"host", "10.0.0.5"}, {"port", 8443}}));
        EXPECT_EQ(take(), this->ended(c.before, c.state, c.left));
        EXPECT_EQ(stored(), c.stored + R"(@["10.0.0.5","[FE80::1]"])");
        EXPECT_FALSE(controller->signedIn() || controller->signingOut());
    }
    // The password phase after an expired session works against the kept target.
    accept();
    login(kPassword);
    pump();
    EXPECT_TRUE(controller->signedIn());
    // Signed out, the menu items change nothing.
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    const std::string before = test::readFile(settingsPath);
    take();
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    controller->onMenuCommand(MenuCommand::SignOut);
    EXPECT_EQ(test::readFile(settingsPath), before);
    EXPECT_EQ(take(), Lines{});
}

TEST_F(ctlSession, PageMessagesFromElsewhereOrOfUnknownKindsKeepTheSession) {
    controller->handlePageMessage("https://10.0.0.5/control/", kLogout);  // not signed in
    signInTyped(true, "sys-p", "Pat");
    take();
    for (const std::string& source :
         Lines{"https://10.0.0.6/control/", "https://evil.example/?h=10.0.0.5", "not a url", "",
               std::string(kStartPageUrl), std::string("https://10.0.0.5\0@evil.example/", 30)}) {
        controller->handlePageMessage(source, kLogout);
    }
    for (const std::string& message :
         Lines{R"("signedOut")", R"({"ostrelHost":"signedout","reason":"logout"})", "{oops",
               R"({"ostrelHost":true,"reason":"logout"})", R"([{"ostrelHost":"signedOut"}])", kLogout + '\0' + "x",
               R"({"ostrelHost":"signedOut","reason":"logout","x":)" + std::string(64, '[') + std::string(64, ']') +
                   "}"}) {
        controller->handlePageMessage("https://10.0.0.5/control/", message);
    }
    // An unknown reason clears the cookie and the remembered session but keeps the session.
    for (const char* message : {R"({"ostrelHost":"signedOut","reason":"bored"})", R"({"ostrelHost":"signedOut"})"}) {
        controller->handlePageMessage("https://10.0.0.5/control/", message);
    }
    EXPECT_EQ(stored(), R"(sys-p auto | sys-p@["10.0.0.5"])");
    controller->handlePageMessage("http://10.0.0.5:1/x", kLogout);  // scheme and port play no part
    const std::string cookie = "deleteCookies ostrel_control_session 10.0.0.5 /";
    EXPECT_EQ(take(), ended({cookie, cookie, cookie}, "", "Pat (You signed out.)"));
}

using ctlViews = ControllerTest;

TEST_F(ctlViews, RecreatedViewsAndLateScriptRegistrations) {
    view->deferScripts = true;  // the start page still shows: the script registration is running
    signInTyped(true);
    take();
    command({{"cmd", "cancel"}});  // signed in, the start page changes nothing
    command({{"cmd", "back"}});
    connect("10.0.0.66");
    EXPECT_EQ(take(), Lines{});
    view->completeScripts(true);
    EXPECT_EQ(view->handlers.certificateError("https://10.0.0.66/"), Decision::Refuse);
    EXPECT_EQ(take(), (Lines{kControl, "W certificate error refused for https://10.0.0.66/"}));
    auto fresh = std::make_shared<FakeView>(log, "new ");
    EXPECT_TRUE(controller->onWebViewReady(fresh));  // the old id means nothing to the new view
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    auto third = std::make_shared<FakeView>(log, "3rd ");
    EXPECT_FALSE(controller->onWebViewReady(third));  // signed out: the shell opens the start page
    EXPECT_TRUE(static_cast<bool>(third->handlers.navigationStarting));
    third->deferScripts = true;
    connect("10.0.0.5");
    pump();  // remembered session: signed in again, the registration waits and so does the Control UI
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    third->completeScripts(true);  // completes after the session ended: removed again
    connect("10.0.0.5");
    pump();
    controller->onWebViewReady(third);  // two registrations of one session complete late: only the last stays
    third->completeScripts(true);
    controller->onWebViewReady(third);
    third->completeScripts(false);  // a failed registration is logged and the Control UI still opens
    const std::string hosts = R"( ["10.0.0.5"])", left = "I left Alpha (switching system)";
    const std::string reopening = "I reopening Alpha with its remembered session",
                      connecting = "I connecting to 10.0.0.5:8443";
    // clang-format off
    EXPECT_EQ(take(), (Lines{"new addScript s2" + hosts, "new " + kControl, "timer stop", "new closePopups",
        "new clearCertificateDecisions", "new removeScript s2", "window off", "new " + kStart, "state connecting",
        "probe 10.0.0.5:8443", on("Alpha"), "3rd addScript s3" + hosts, "timer stop", "3rd closePopups",
        "3rd clearCertificateDecisions", "window off", "3rd " + kStart, "3rd removeScript s3", "state connecting",
        "probe 10.0.0.5:8443", on("Alpha"), "3rd addScript s4" + hosts, "3rd addScript s5" + hosts, "3rd " + kControl,
        "3rd removeScript s4", "3rd " + kControl, "3rd addScript s6" + hosts, "3rd " + kControl, left, connecting,
        reopening, left, connecting, reopening, "E page-side script registration failed 0x80070005"}));
    // clang-format on
}

TEST_F(ctlViews, PoliciesAreDecidedLoggedAndWiredIntoPopups) {
    view->certificateEvents = false;
    view->cookiesOk = false;
    controller->onWebViewReady(view);
    Lines got;
    const auto decided = [&](Decision d) { got.push_back(decisionName(d)); };
    EXPECT_FALSE(static_cast<bool>(view->handlers.certificateError));
    decided(view->handlers.newWindow("https://10.0.0.5/control/popup", ""));
    signInTyped(true);
    const Lines lines = take();
    EXPECT_EQ(Lines(lines.end() - 4, lines.end()),
              (Lines{"E this WebKitGTK runtime has no certificate-error event - update the WebKitGTK runtime",
                     "I connecting to 10.0.0.5:8443", "I signed in to Alpha",
                     "E cookie manager unavailable - the Control UI will ask for the password itself"}));
    for (const std::string& url : Lines{"https://10.0.0.5:9000/x", std::string(kStartPageUrl),
                                        "https://10.0.0.5/source?tab=1", "mailto:ops@example.com"}) {
        decided(view->handlers.navigationStarting(url));
    }
    decided(view->handlers.newWindow("https://10.0.0.5/control/popup", "ostrelSourceTab"));
    auto popup = std::make_shared<FakeView>(log, "popup ");
    decided(view->handlers.newWindow("https://10.0.0.5/control/popup", "ostrelPopup"));
    view->handlers.popupCreated(popup);
    decided(popup->handlers.navigationStarting(std::string(kStartPageUrl)));
    decided(popup->handlers.navigationStarting("https://10.0.0.5/control/x"));
    decided(popup->handlers.certificateError("https://10.0.0.5:1234/any"));
    decided(popup->handlers.certificateError("https://10.0.0.6/"));
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    decided(popup->handlers.certificateError("https://10.0.0.5/"));
    auto late = std::make_shared<FakeView>(log, "late ");
    view->handlers.popupCreated(late);  // created while signed out: wired, no script
    EXPECT_TRUE(static_cast<bool>(late->handlers.newWindow));
    EXPECT_EQ(got, (Lines{"external", "allow", "allow", "external", "cancel", "refuse", "popup", "cancel", "allow",
                          "allow", "refuse", "refuse"}));
    // clang-format off
    EXPECT_EQ(take(), (Lines{R"(popup addScript s2 ["10.0.0.5"])", "timer stop", "closePopups", "clearCertificateDecisions",
        "removeScript s1", "window off", kStart, "I navigation kept out of the app: https://10.0.0.5/source?tab=1",
        "I navigation kept out of the app: mailto:ops@example.com",
        "I Add Source popup refused - this app does not host a source client",
        "I navigation kept out of the app: ostrel-app://control.ui/index.html",
        "W certificate error refused for https://10.0.0.6/", "I left Alpha (switching system)",
        "W certificate error refused for https://10.0.0.5/"}));
    // clang-format on
}

using ctlDiscovery = ControllerTest;

TEST_F(ctlDiscovery, RunPublishesSearchingThenTheSystemsAndIsThrottled) {
    DiscoveredSystem system{"4f2c0000", "Wall A", "North", "", "ok", {}, false};
    system.addresses = {{"10.0.0.5", 8443, true, false, 12}, {"10.0.1.5", 8443, false, false, 30}};
    world.discovery = DiscoveryResult{{system}, 6, 2, 3, 1, false, ""};
    world.siteKey = "site-key";
    command({{"cmd", "getState"}});
    command({{"cmd", "discoverSystems"}});
    command({{"cmd", "discoverSystems"}});  // one run at a time
    pump();
    command({{"cmd", "getState"}});  // repeats the last discovery after the state
    EXPECT_EQ(events.back(),
              "{\"error\":\"\",\"event\":\"discovery\",\"state\":\"done\",\"systems\":[{\"addresses\":2,"
              "\"displayName\":\"North \xE2\x80\x94 Wall A\",\"host\":\"10.0.0.5\",\"port\":8443,\"status\":\"ok\","
              "\"systemId\":\"4f2c0000\"}]}");
    const std::string done = "discovery done 1";
    EXPECT_EQ(take(), (Lines{"window off", "state host +key", "discovery searching 0", "discover control-native <key>",
                             done, "state host +key", done,
                             "I discovery: 6 probes on 2 interfaces, 3 offers (1 rejected), 1 systems"}));

    world.discovery = DiscoveryResult{{}, 0, 0, 0, 0, true, "no usable network interface"};
    world.monoMs += 4999;  // the throttle counts from the last accepted start, in every controller
    command({{"cmd", "discoverSystems"}});
    Lines other;
    auto second = std::make_shared<AppController>(world.services(path() / "other.json"));
    second->setEventSink([&](const std::string& text) { other.push_back(text); });
    second->handleCommand(R"({"cmd":"discoverSystems"})");
    EXPECT_EQ(other, Lines{R"({"error":"","event":"discovery","state":"throttled","systems":[]})"});
    world.monoMs += 1;  // a throttled call does not move the start time
    command({{"cmd", "discoverSystems"}});
    pump();
    EXPECT_EQ(take(), (Lines{"discovery throttled 1", "discovery searching 1", "discover control-native <key>",
                             "discovery done 0 !no usable network interface",
                             "I discovery: 0 probes on 0 interfaces, 0 offers (0 rejected), 0 systems"}));

    // A detached controller drops the posts of its workers, so the last of them frees it.
    connect("10.0.0.5");
    std::weak_ptr<AppController> weak = controller;
    controller->detachShell();
    controller.reset();
    view->handlers = {};           // the shell destroys its views
    EXPECT_FALSE(weak.expired());  // the worker still holds it
    world.runJob(0);
    EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace ostrel::ctl::testing
