// The controller's state, connect and sign-in flows against a fake browser, window and world.
#include <gtest/gtest.h>

#include "ctl/page_policy.h"
#include "tests/ctl/controller_fixture.h"

namespace ostrel::ctl::testing {
namespace {

using ctlState = ControllerTest;

TEST_F(ctlState, FirstStateSinkSiteKeyAndForget) {
    start();
    command({{"cmd", "getState"}});
    ASSERT_EQ(events.size(), 1u);  // no discovery event before a discovery ran
    EXPECT_EQ(
        events[0],
        R"({"app":{"build":"1.0.0.40","version":"2026 R1"},"error":"","event":"state","form":{"host":"","port":8443},"notice":"","phase":"host","siteKeySet":false,"systems":[],"target":{"host":"","name":"","port":8443,"savedPassword":false,"systemId":""}})");
    controller->setEventSink(nullptr);  // dropped, not queued
    command({{"cmd", "getState"}});
    controller->setEventSink([this](const std::string& text) { events.push_back(text); });
    EXPECT_EQ(events.size(), 1u);

    command({{"cmd", "setSiteKey"}, {"siteKey", "k-secret-1"}});
    EXPECT_TRUE(lastState()["siteKeySet"].get<bool>() && world.siteKey == "k-secret-1");
    command({{"cmd", "setSiteKey"}});
    EXPECT_FALSE(lastState()["siteKeySet"].get<bool>());
    world.vaultBroken = true;  // the state shows what is really stored
    command({{"cmd", "setSiteKey"}, {"siteKey", "k-secret-2"}});
    EXPECT_FALSE(lastState()["siteKeySet"].get<bool>());
    EXPECT_EQ(eventsOf("state").size(), 4u);

    command({{"cmd", "forget"}, {"systemId", ""}});
    EXPECT_EQ(events.size(), 4u);
    command({{"cmd", "forget"}, {"systemId", "sys-unknown"}});  // still saves and answers
    EXPECT_EQ(events.size(), 5u);
    EXPECT_TRUE(logged("forgot system sys-unknown and its saved password"));
    EXPECT_TRUE(std::filesystem::exists(settingsPath()));
}

using ctlConnect = ControllerTest;

TEST_F(ctlConnect, HostTextIsNormalisedAndUnusableConnectsChangeNothing) {
    start();
    world.threads = FakeWorld::Threads::Queued;
    for (const json& cmd :
         {json{{"cmd", "connect"}, {"host", " \t "}}, json{{"cmd", "connect"}},
          json{{"cmd", "connect"}, {"host", "a"}, {"port", 70000}}, json{{"cmd", "connect"}, {"host", "https://"}}}) {
        command(cmd);
    }
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(controller->generation(), 0u);
    connect(" https://admin@10.0.0.5:9443/x?q=1 ", 1234);
    EXPECT_EQ(world.queuedJobs(), 1u);
    EXPECT_EQ(lastState()["phase"], "connecting");
    EXPECT_EQ(lastState()["form"], (json{{"host", "10.0.0.5"}, {"port", 9443}}));
    EXPECT_EQ(lastState()["target"]["port"], 9443);
    EXPECT_TRUE(logged("connecting to 10.0.0.5:9443"));
}

TEST_F(ctlConnect, CommandsThatDoNotFitThePhaseAreIgnored) {
    start();
    world.threads = FakeWorld::Threads::Queued;
    login("x");  // phase host
    connect("10.0.0.5");
    connect("10.0.0.6");  // connecting
    login("x");
    EXPECT_EQ(world.queuedJobs(), 1u);
    EXPECT_EQ(controller->target().host, "10.0.0.5");
    world.connect = systemAt("sys-a", "Alpha");
    pump();
    login("p");  // password phase: signing in
    ASSERT_EQ(lastState()["phase"], "signing-in");
    const auto states = eventsOf("state").size();
    connect("10.0.0.7");
    login("again");
    EXPECT_EQ(world.queuedJobs(), 1u);
    EXPECT_EQ(eventsOf("state").size(), states);
    EXPECT_EQ(controller->phase(), Phase::SigningIn);
    EXPECT_EQ(controller->target().host, "10.0.0.5");
}

TEST_F(ctlConnect, ConnectFromThePasswordPhaseStartsAFreshTargetAndClearsTheNotice) {
    start();
    signInTyped(true);
    controller->handlePageMessage("https://10.0.0.5/control/", R"({"ostrelHost":"signedOut","reason":"expired"})");
    ASSERT_EQ(stateNow()["notice"], "Your session has ended. Sign in again.");
    world.connect = systemAt("sys-other", "Other");
    connect("10.0.0.8", 9443);
    EXPECT_EQ(lastState()["notice"], "");
    EXPECT_EQ(lastState()["target"],
              (json{{"host", "10.0.0.8"}, {"name", ""}, {"port", 9443}, {"savedPassword", false}, {"systemId", ""}}));
    pump();
    EXPECT_EQ(lastState()["target"]["systemId"], "sys-other");
    EXPECT_EQ(lastState()["phase"], "password");
}

TEST_F(ctlConnect, CancelKeepsNoticeTargetAndFormAndDropsLateResults) {
    start();
    signInTrusted();
    controller->onMenuCommand(MenuCommand::SignOut);  // phase host with a notice, form and target
    command({{"cmd", "cancel"}});
    EXPECT_EQ(lastState()["notice"], "You signed out.");
    EXPECT_EQ(lastState()["form"]["host"], "10.0.0.9");
    EXPECT_EQ(lastState()["target"]["systemId"], "sys-t");
    world.threads = FakeWorld::Threads::Queued;
    world.connect = [](const std::string& host, int port, const FindSystemFunction& find) {
        return systemAt("sys-" + host, host, true)(host, port, find);
    };
    connect("first.example");
    EXPECT_EQ(lastState()["notice"], "");
    command({{"cmd", "back"}});
    EXPECT_EQ(lastState()["phase"], "host");
    const auto states = eventsOf("state").size();
    pump();
    EXPECT_EQ(eventsOf("state").size(), states);
    EXPECT_FALSE(controller->signedIn());
    // The newer probe answers first; the older one's late answer must not replace it.
    connect("second.example");
    command({{"cmd", "cancel"}});
    connect("third.example");
    world.runJobs(true);
    pump();
    EXPECT_EQ(controller->target().systemId, "sys-third.example");
    EXPECT_TRUE(controller->signedIn());
}

TEST_F(ctlConnect, FailuresReturnToThePreviousStepWithTheirText) {
    start();
    world.connect = [](const std::string&, int, const FindSystemFunction&) {
        return ConnectResult{false, "Couldn't X.", {}, false};
    };
    connect("10.0.0.5");
    pump();
    EXPECT_EQ(lastState()["phase"], "host");
    EXPECT_EQ(lastState()["error"], "Couldn't X.");
    EXPECT_TRUE(logged("connect failed: Couldn't X."));

    toPasswordPhase();
    world.threads = FakeWorld::Threads::Fail;  // workers that cannot start
    login("p");
    EXPECT_EQ(lastState()["phase"], "password");
    EXPECT_EQ(lastState()["error"], "Couldn't start the sign-in. Try again.");
    EXPECT_EQ(lastState()["target"]["systemId"], "sys-a");
    connect("10.0.0.5");
    EXPECT_EQ(lastState()["phase"], "host");
    EXPECT_EQ(lastState()["error"], "Couldn't start the connection. Try again.");
    EXPECT_EQ(lastState()["target"]["systemId"], "");  // a fresh target
    command({{"cmd", "discoverSystems"}});
    EXPECT_EQ(events.back(),
              R"({"error":"could not start a discovery run","event":"discovery","state":"done","systems":[]})");
}

TEST_F(ctlConnect, FirstGetStateReconnectsOnlyFromAFreshStart) {
    start();
    signInTyped(true, "sys-auto");
    start();  // a new process: the settings remember the session and autoSignIn
    world.threads = FakeWorld::Threads::Queued;
    events.clear();
    command({{"cmd", "getState"}});
    ASSERT_EQ(eventsOf("state").size(), 2u);
    EXPECT_EQ(eventsOf("state")[1]["phase"], "connecting");
    EXPECT_EQ(world.probes.back().first, "10.0.0.5");
    command({{"cmd", "cancel"}});
    pump();
    command({{"cmd", "getState"}});  // the page reloads: no second reconnect
    EXPECT_EQ(world.queuedJobs(), 0u);

    start();  // signed in before the first "getState" (as the bridge can be): no connect over the session
    world.threads = FakeWorld::Threads::Inline;
    signInTrusted();
    const auto probes = world.probes.size();
    command({{"cmd", "getState"}});
    EXPECT_EQ(controller->phase(), Phase::SignedIn);
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    start();  // without autoSignIn no reconnect
    command({{"cmd", "getState"}});
    EXPECT_EQ(world.probes.size(), probes);
}

using ctlLogin = ControllerTest;

TEST_F(ctlLogin, TypedPasswordWithRememberOpensTheSessionAndListsTheSystem) {
    start();
    toPasswordPhase("sys-r", "Romeo");
    world.auth = answer(200, std::string("{\"token\":\"") + kToken + "\"}");
    const auto states = eventsOf("state").size();
    login(kPassword);
    pump();
    // One state event for "signing-in", none when the session opens: the view leaves the page.
    EXPECT_EQ(eventsOf("state").size(), states + 1);
    EXPECT_TRUE(world.httpCalls == std::vector<std::string>{std::string("POST 10.0.0.5:8443/api/control-auth ") +
                                                            "{\"password\":\"" + kPassword + "\"}"});
    EXPECT_TRUE(world.passwords["sys-r"] == kPassword);
    ASSERT_EQ(view->cookies.size(), 1u);
    EXPECT_TRUE(view->cookies[0].value == kToken);
    EXPECT_EQ(view->cookies[0].expires, world.wallMs.load() / 1000 + 315360000);
    EXPECT_EQ(view->cookies[0].domain, "10.0.0.5");
    EXPECT_EQ(controller->phase(), Phase::SignedIn);
    EXPECT_EQ(window->title, "Ostrel Ops Control - 2026 R1 \xE2\x80\x94 Romeo");
    EXPECT_TRUE(*window->menuEnabled);
    // Host script first, then the Control UI.
    ASSERT_EQ(view->scripts.size(), 1u);
    EXPECT_EQ(view->scripts.begin()->second, hostScriptText({"10.0.0.5"}));
    EXPECT_EQ(controller->hostScriptId(), view->scripts.begin()->first);
    EXPECT_EQ(view->navigations, std::vector<std::string>{kControl});
    EXPECT_TRUE(logged("signed in to Romeo"));
    EXPECT_TRUE(stored("sys-r").sessionRemembered);
    EXPECT_EQ(controller->store().lastSystem().systemId, "sys-r");
    EXPECT_TRUE(controller->store().lastSystem().autoSignIn);
    const std::string log = settledLog();
    EXPECT_TRUE(log.find(kPassword) == std::string::npos && log.find(kToken) == std::string::npos);

    controller->onMenuCommand(MenuCommand::SwitchSystem);
    const auto state = stateNow();
    EXPECT_EQ(state["systems"].dump(), R"([{"host":"10.0.0.5","lastUsedMs":)" + std::to_string(world.wallMs.load()) +
                                           R"(,"name":"Romeo","port":8443,"savedPassword":true,"systemId":"sys-r"}])");
    EXPECT_TRUE(state["target"]["savedPassword"].get<bool>());
    EXPECT_EQ(state["form"], (json{{"host", "10.0.0.5"}, {"port", 8443}}));
    command({{"cmd", "forget"}, {"systemId", "sys-r"}});
    EXPECT_EQ(lastState()["systems"].size(), 0u);
    EXPECT_EQ(json::parse(test::readFile(settingsPath()))["lastSystemId"], "");
}

TEST_F(ctlLogin, WithoutRememberOrAWorkingVaultNoPasswordIsKept) {
    start();
    world.passwords["sys-nr"] = "older-password";
    signInTyped(false, "sys-nr");
    EXPECT_EQ(world.passwords.count("sys-nr"), 0u);
    ASSERT_EQ(view->cookies.size(), 1u);
    EXPECT_FALSE(view->cookies[0].expires.has_value());
    EXPECT_FALSE(stored("sys-nr").sessionRemembered);

    controller->onMenuCommand(MenuCommand::SwitchSystem);
    world.vaultBroken = true;  // a failed save does not stop the sign-in
    signInTyped(true, "sys-v");
    EXPECT_EQ(world.passwordSaves, 1);
    EXPECT_EQ(view->navigations.back(), kControl);
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    EXPECT_FALSE(stateNow()["target"]["savedPassword"].get<bool>());
}

TEST_F(ctlLogin, SavedPasswordIsUsedWhenNoneIsTyped) {
    start();
    world.passwords["sys-s"] = "saved-secret";
    toPasswordPhase("sys-s");
    EXPECT_TRUE(lastState()["target"]["savedPassword"].get<bool>());
    const auto states = eventsOf("state").size();
    world.auth = answer(200, R"({"token":"t-saved"})");
    world.passwords["sys-s"] = "";  // an empty saved password is no password
    login("");
    EXPECT_EQ(eventsOf("state").size(), states);
    world.passwords["sys-s"] = "saved-secret";
    command({{"cmd", "login"}});
    pump();
    ASSERT_EQ(world.httpCalls.size(), 1u);
    EXPECT_NE(world.httpCalls[0].find(R"({"password":"saved-secret"})"), std::string::npos);
    EXPECT_TRUE(controller->signedIn());
    EXPECT_TRUE(world.passwords["sys-s"] == "saved-secret");
}

TEST_F(ctlLogin, RefusalsShowTheOperatorTextAndForgetARefusedSavedPassword) {
    const struct {
        HttpResult answer;
        bool typed;
        const char* error;
        bool logged;
    } cases[] = {
        {{true, 401, "{}", {}, {}}, true, "Incorrect password.", true},
        {{true, 200, "{}", {}, {}}, true, "Sign-in failed (HTTP 200).", true},
        {{false, 0, {}, {}, "the connection timed out"},
         true,
         "Couldn't reach the system: the connection timed out.",
         false},
        {{true, 401, "{}", {}, {}}, false, "The saved password is no longer correct. Type the current one.", true},
    };
    start();
    world.passwords["sys-x"] = "saved-one";
    toPasswordPhase("sys-x", "Xray");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        const std::size_t before = settledLog().size();
        world.auth = [&] { return c.answer; };
        command(c.typed ? json{{"cmd", "login"}, {"password", "typed-one"}} : json{{"cmd", "login"}});
        pump();
        EXPECT_EQ(lastState()["phase"], "password");
        EXPECT_EQ(lastState()["error"], c.error);
        const std::string line = "sign-in to Xray refused: HTTP " + std::to_string(c.answer.status);
        EXPECT_EQ(settledLog().substr(before).find(line) != std::string::npos, c.logged);
        EXPECT_EQ(lastState()["target"]["savedPassword"], c.typed);
    }
    EXPECT_FALSE(controller->signedIn());
    EXPECT_TRUE(view->cookies.empty());
}

TEST_F(ctlLogin, PasswordAcceptedAfterCancelIsNeitherSavedNorUsed) {
    start();
    toPasswordPhase("sys-late");
    world.threads = FakeWorld::Threads::Queued;
    world.auth = answer(200, R"({"token":"late-token"})");
    login("late-password");
    command({{"cmd", "cancel"}});
    const auto before = events.size();
    pump();
    EXPECT_EQ(events.size(), before);
    EXPECT_FALSE(controller->signedIn());
    EXPECT_EQ(world.passwordSaves, 0);
    EXPECT_TRUE(view->cookies.empty() && view->navigations.empty());
    EXPECT_FALSE(known("sys-late"));
}

TEST_F(ctlLogin, TrustedRememberedAndNoViewSignIns) {
    start();
    signInTyped(true, "sys-m", "Memo");
    controller->onMenuCommand(MenuCommand::SwitchSystem);  // keeps the cookie and the remembered flag
    view->cookies.clear();
    // Remembered session: no password, no new cookie; the store merged the hosts.
    world.connect = [](const std::string& host, int port, const FindSystemFunction& find) {
        SystemEntry known;
        EXPECT_TRUE(find("sys-m", known));
        return systemAt("sys-m", "Memo", false, {"LAB.example"})(host, port, find);
    };
    connect("LAB.example");
    pump();
    EXPECT_TRUE(controller->signedIn());
    EXPECT_EQ(world.httpCalls.size(), 1u);  // only the first sign-in asked
    EXPECT_TRUE(view->cookies.empty());
    EXPECT_TRUE(logged("reopening Memo with its remembered session"));
    EXPECT_EQ(controller->target().hosts, (std::vector<std::string>{"LAB.example", "10.0.0.5"}));
    EXPECT_EQ(view->scripts.begin()->second, hostScriptText({"lab.example", "10.0.0.5"}));
    EXPECT_TRUE(stored("sys-m").sessionRemembered);

    // A trusted answer wins over the remembered session, which is then no longer remembered.
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    signInTrusted("sys-m", "Memo");
    EXPECT_TRUE(controller->trustedConsole());
    EXPECT_TRUE(view->cookies.empty());
    EXPECT_TRUE(logged("Memo trusts this machine as its console - no password needed"));
    EXPECT_FALSE(stored("sys-m").sessionRemembered);
    EXPECT_EQ(view->navigations.back(), "https://10.0.0.9:8443/control/");

    start(false);  // no view yet: the operator is asked to try again, nothing is stored
    world.connect = systemAt("sys-nv", "NoView", true);
    connect("10.0.0.5");
    const auto generation = controller->generation();
    pump();
    EXPECT_FALSE(controller->signedIn());
    EXPECT_EQ(controller->generation(), generation);
    EXPECT_EQ(lastState()["phase"], "host");
    EXPECT_EQ(lastState()["error"], "The window isn't ready yet. Try again in a moment.");
    EXPECT_FALSE(known("sys-nv"));
}

}  // namespace
}  // namespace ostrel::ctl::testing
