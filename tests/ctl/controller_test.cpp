// The controller's flows against a fake browser, window and world, pumped by hand.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "ctl/page_policy.h"
#include "tests/ctl/controller_fixture.h"

namespace ostrel::ctl::testing {
namespace {

using nlohmann::json;

// ---------------------------------------------------------------------------------------------
// Connect

using ctlConnect = ControllerTest;

TEST_F(ctlConnect, HostTextIsNormalisedBeforeConnecting) {
    struct Case {
        std::string text;
        json port;  // null: member absent
        std::string host;
        int expectedPort;
    };
    const std::vector<Case> cases = {
        {" \thttps://admin@10.0.0.5:9443/path?q=1 \t", nullptr, "10.0.0.5", 9443},
        {"[fe80::1]:8443", 1234, "[fe80::1]", 8443},
        {"[fe80::1]", 1234, "[fe80::1]", 1234},
        {"fe80::1", 9000, "fe80::1", 9000},
        {"fe80::1", nullptr, "fe80::1", 8443},
        {"lab.example:0", 7000, "lab.example", 7000},
        {"lab.example:99999", nullptr, "lab.example", 8443},
        {"lab.example:abc", 7001, "lab.example", 7001},
        {"u@v@lab#frag", nullptr, "lab", 8443},
    };
    start();
    world.connect = [](const std::string&, int, const FindSystemFunction&) {
        ConnectResult failed;
        failed.error = "nope.";
        return failed;
    };
    for (const auto& c : cases) {
        json cmd = {{"cmd", "connect"}, {"host", c.text}};
        if (!c.port.is_null()) cmd["port"] = c.port;
        world.probes.clear();
        command(cmd);
        ASSERT_EQ(world.probes.size(), 1u) << c.text;
        EXPECT_EQ(world.probes[0].first, c.host) << c.text;
        EXPECT_EQ(world.probes[0].second, c.expectedPort) << c.text;
        const auto state = lastState();
        EXPECT_EQ(state["phase"], "connecting");
        EXPECT_EQ(state["form"]["host"], c.host);
        EXPECT_EQ(state["target"]["port"], c.expectedPort);
        pump();
        EXPECT_EQ(controller->phase(), Phase::Host);
    }
}

TEST_F(ctlConnect, UnusableConnectsChangeNothing) {
    start();
    world.threads = FakeWorld::Threads::Queued;
    for (const json& cmd : {json{{"cmd", "connect"}, {"host", " \t "}}, json{{"cmd", "connect"}},
                            json{{"cmd", "connect"}, {"host", "a"}, {"port", 70000}},
                            json{{"cmd", "connect"}, {"host", 10}}, json{{"cmd", "connect"}, {"host", "https://"}}}) {
        command(cmd);
    }
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(world.queuedJobs(), 0u);
    EXPECT_EQ(controller->generation(), 0u);
}

TEST_F(ctlConnect, ConnectIsIgnoredWhileAFlowRunsOrASessionIsOpen) {
    start();
    world.threads = FakeWorld::Threads::Queued;
    command({{"cmd", "connect"}, {"host", "10.0.0.5"}});
    command({{"cmd", "connect"}, {"host", "10.0.0.6"}});
    EXPECT_EQ(world.queuedJobs(), 1u);
    EXPECT_EQ(controller->target().host, "10.0.0.5");

    world.threads = FakeWorld::Threads::Inline;
    world.runJobs();
    controller->runPostedTasks();  // probe answered nothing useful: back to host
    signInTyped(true);
    world.probes.clear();
    command({{"cmd", "connect"}, {"host", "10.0.0.7"}});
    EXPECT_TRUE(world.probes.empty());
    EXPECT_TRUE(controller->signedIn());
}

TEST_F(ctlConnect, ConnectFromThePasswordPhaseStartsAFreshTarget) {
    start();
    connectToPasswordPhase();
    world.connect = [](const std::string& host, int port, const FindSystemFunction&) {
        return systemAt(host, port, "sys-ctl-other", "Other");
    };
    command({{"cmd", "connect"}, {"host", "10.0.0.8"}, {"port", 9443}});
    const auto connecting = lastState();
    EXPECT_EQ(connecting["target"],
              (json{{"host", "10.0.0.8"}, {"name", ""}, {"port", 9443}, {"savedPassword", false}, {"systemId", ""}}));
    pump();
    EXPECT_EQ(lastState()["target"]["systemId"], "sys-ctl-other");
    EXPECT_EQ(lastState()["phase"], "password");
}

TEST_F(ctlConnect, ProbeFailureShowsItsTextAndLogs) {
    start();
    world.connect = [](const std::string&, int, const FindSystemFunction&) {
        ConnectResult failed;
        failed.error = "Couldn't reach 10.0.0.5:8443: nothing answered at that address.";
        return failed;
    };
    command({{"cmd", "connect"}, {"host", "10.0.0.5"}});
    pump();
    const auto state = lastState();
    EXPECT_EQ(state["phase"], "host");
    EXPECT_EQ(state["error"], "Couldn't reach 10.0.0.5:8443: nothing answered at that address.");
    EXPECT_TRUE(log.contains("connecting to 10.0.0.5:8443"));
    EXPECT_TRUE(log.contains("connect failed: Couldn't reach 10.0.0.5:8443: nothing answered at that address."));
}

TEST_F(ctlConnect, ProbeSeesTheStoredSystem) {
    start();
    signInTyped(false, "sys-ctl-known");
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    bool found = false;
    std::vector<std::string> storedHosts;
    world.connect = [&](const std::string& host, int port, const FindSystemFunction& find) {
        SystemEntry entry;
        found = find("sys-ctl-known", entry);
        storedHosts = entry.hosts;
        return systemAt(host, port, "sys-ctl-known", "Known");
    };
    command({{"cmd", "connect"}, {"host", "10.0.0.5"}});
    pump();
    EXPECT_TRUE(found);
    EXPECT_EQ(storedHosts, std::vector<std::string>{"10.0.0.5"});
}

TEST_F(ctlConnect, CancelWhileConnectingDropsTheLateResult) {
    start();
    world.threads = FakeWorld::Threads::Queued;
    world.connect = [](const std::string& host, int port, const FindSystemFunction&) {
        return systemAt(host, port, "sys-ctl-late", "Late", true);
    };
    command({{"cmd", "connect"}, {"host", "10.0.0.5"}});
    command({{"cmd", "cancel"}});
    EXPECT_EQ(lastState()["phase"], "host");
    const auto before = events.size();
    pump();
    EXPECT_EQ(events.size(), before);
    EXPECT_FALSE(controller->signedIn());
    EXPECT_EQ(controller->phase(), Phase::Host);
    EXPECT_TRUE(view->navigations.empty());
}

TEST_F(ctlConnect, CancelThenConnectKeepsOnlyTheSecondResult) {
    start();
    world.threads = FakeWorld::Threads::Queued;
    world.connect = [](const std::string& host, int port, const FindSystemFunction&) {
        return systemAt(host, port, "sys-" + host, host);
    };
    command({{"cmd", "connect"}, {"host", "first.example"}});
    command({{"cmd", "back"}});
    command({{"cmd", "connect"}, {"host", "second.example"}});
    // The second probe answers first; the first one's late answer must not replace it.
    ASSERT_TRUE(world.runNewestJob());
    controller->runPostedTasks();
    pump();
    EXPECT_EQ(controller->phase(), Phase::Password);
    EXPECT_EQ(controller->target().systemId, "sys-second.example");
    EXPECT_EQ(eventsOf("state").back()["target"]["host"], "second.example");
}

TEST_F(ctlConnect, ThreadThatCannotStartReturnsToChoosing) {
    start();
    world.threads = FakeWorld::Threads::Fail;
    command({{"cmd", "connect"}, {"host", "10.0.0.5"}});
    const auto states = eventsOf("state");
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[0]["phase"], "connecting");
    EXPECT_EQ(states[1]["phase"], "host");
    EXPECT_EQ(states[1]["error"], "Couldn't start the connection. Try again.");
    // A later connect works once threads can start again.
    world.threads = FakeWorld::Threads::Inline;
    world.connect = [](const std::string& host, int port, const FindSystemFunction&) {
        return systemAt(host, port, "sys-ctl-c", "C");
    };
    command({{"cmd", "connect"}, {"host", "10.0.0.5"}});
    pump();
    EXPECT_EQ(lastState()["phase"], "password");
    EXPECT_EQ(lastState()["error"], "");
}

TEST_F(ctlConnect, FirstGetStateReconnectsToTheLastSystemOnce) {
    start();
    signInTyped(true, "sys-ctl-auto", "Auto");
    controller->detachShell();
    controller.reset();  // a new process: the settings remember the session and autoSignIn
    view = std::make_shared<FakeView>();
    world.threads = FakeWorld::Threads::Queued;
    start();
    events.clear();
    command({{"cmd", "getState"}});
    ASSERT_EQ(eventsOf("state").size(), 2u);
    EXPECT_EQ(eventsOf("state")[0]["phase"], "host");
    EXPECT_EQ(eventsOf("state")[1]["phase"], "connecting");
    EXPECT_EQ(world.queuedJobs(), 1u);
    command({{"cmd", "cancel"}});
    pump();
    // The page reloads: no second reconnect.
    command({{"cmd", "getState"}});
    command({{"cmd", "getState"}});
    EXPECT_EQ(world.queuedJobs(), 0u);
    EXPECT_EQ(controller->phase(), Phase::Host);
    EXPECT_EQ(lastState()["phase"], "host");
}

TEST_F(ctlConnect, NoReconnectWithoutAutoSignIn) {
    start();
    signInTyped(true, "sys-ctl-noauto");
    controller->onMenuCommand(MenuCommand::SwitchSystem);  // autoSignIn off
    controller->detachShell();
    controller.reset();
    view = std::make_shared<FakeView>();
    start();
    world.probes.clear();
    command({{"cmd", "getState"}});
    EXPECT_TRUE(world.probes.empty());
}

// ---------------------------------------------------------------------------------------------
// Sign-in

using ctlLogin = ControllerTest;

TEST_F(ctlLogin, TypedPasswordWithRememberSavesItAndSetsALastingCookie) {
    start();
    connectToPasswordPhase("sys-ctl-r", "Romeo");
    world.threads = FakeWorld::Threads::Queued;
    world.auth = [] { return httpAnswer(200, std::string("{\"token\":\"") + kToken + "\"}"); };
    const auto before = eventsOf("state").size();
    command({{"cmd", "login"}, {"password", kPassword}, {"remember", true}});
    EXPECT_EQ(lastState()["phase"], "signing-in");
    pump();
    // No state event when the session opens: the view leaves the start page.
    EXPECT_EQ(eventsOf("state").size(), before + 1);

    ASSERT_EQ(world.httpCalls.size(), 1u);
    EXPECT_EQ(world.httpCalls[0].method, "POST");
    EXPECT_EQ(world.httpCalls[0].path, "/api/control-auth");
    EXPECT_EQ(world.httpCalls[0].host, "10.0.0.5");
    EXPECT_TRUE(world.httpCalls[0].body == std::string("{\"password\":\"") + kPassword + "\"}");
    EXPECT_TRUE(world.passwords["sys-ctl-r"] == kPassword);

    ASSERT_EQ(view->cookies.size(), 1u);
    const SessionCookie& cookie = view->cookies[0];
    EXPECT_EQ(cookie.name, "ostrel_control_session");
    EXPECT_TRUE(cookie.value == kToken);
    EXPECT_EQ(cookie.domain, "10.0.0.5");
    EXPECT_EQ(cookie.path, "/");
    EXPECT_TRUE(cookie.httpOnly);
    EXPECT_TRUE(cookie.secure);
    EXPECT_EQ(cookie.sameSite, "Strict");
    ASSERT_TRUE(cookie.expires.has_value());
    EXPECT_EQ(*cookie.expires, world.wallMs.load() / 1000 + 315360000);

    EXPECT_EQ(controller->phase(), Phase::SignedIn);
    EXPECT_EQ(window->title(), "Ostrel Ops Control - 2026 R1 \xE2\x80\x94 Romeo");
    EXPECT_TRUE(*window->menuEnabled());
    // Host script first, then the Control UI.
    ASSERT_EQ(view->scripts.size(), 1u);
    EXPECT_EQ(view->scripts.begin()->second, hostScriptText({"10.0.0.5"}));
    EXPECT_EQ(controller->hostScriptId(), view->scripts.begin()->first);
    ASSERT_EQ(view->navigations.size(), 1u);
    EXPECT_EQ(view->navigations[0], "https://10.0.0.5:8443/control/");
    EXPECT_TRUE(log.contains("signed in to Romeo"));

    SystemEntry stored;
    ASSERT_TRUE(controller->store().findSystem("sys-ctl-r", stored));
    EXPECT_TRUE(stored.sessionRemembered);
    EXPECT_EQ(stored.lastUsedMs, world.wallMs.load());
    EXPECT_EQ(controller->store().lastSystem().systemId, "sys-ctl-r");
    EXPECT_TRUE(controller->store().lastSystem().autoSignIn);
    EXPECT_EQ(log.settledText().find(kPassword), std::string::npos);
    EXPECT_EQ(log.settledText().find(kToken), std::string::npos);
}

TEST_F(ctlLogin, WithoutRememberThePasswordIsDeletedAndTheCookieEndsWithTheBrowser) {
    start();
    world.passwords["sys-ctl-nr"] = "older-password";
    signInTyped(false, "sys-ctl-nr");
    EXPECT_EQ(world.passwords.count("sys-ctl-nr"), 0u);
    ASSERT_EQ(view->cookies.size(), 1u);
    EXPECT_FALSE(view->cookies[0].expires.has_value());
    SystemEntry stored;
    ASSERT_TRUE(controller->store().findSystem("sys-ctl-nr", stored));
    EXPECT_FALSE(stored.sessionRemembered);
}

TEST_F(ctlLogin, SavedPasswordIsUsedWhenNoneIsTypedAndStaysSaved) {
    start();
    world.passwords["sys-ctl-s"] = "saved-secret";
    connectToPasswordPhase("sys-ctl-s");
    EXPECT_TRUE(lastState()["target"]["savedPassword"].get<bool>());
    world.auth = [] { return httpAnswer(200, R"({"token":"t-saved"})"); };
    command({{"cmd", "login"}});
    pump();
    ASSERT_EQ(world.httpCalls.size(), 1u);
    EXPECT_TRUE(world.httpCalls[0].body == R"({"password":"saved-secret"})");
    EXPECT_TRUE(controller->signedIn());
    EXPECT_TRUE(world.passwords["sys-ctl-s"] == "saved-secret");
}

TEST_F(ctlLogin, NothingHappensWithoutAUsablePasswordOrOutsideThePasswordPhase) {
    start();
    command({{"cmd", "login"}, {"password", "x"}});  // phase host
    EXPECT_TRUE(events.empty());
    connectToPasswordPhase("sys-ctl-none");
    const auto before = events.size();
    command({{"cmd", "login"}});
    command({{"cmd", "login"}, {"password", ""}, {"remember", false}});
    command({{"cmd", "login"}, {"password", 5}});
    EXPECT_EQ(events.size(), before);
    EXPECT_TRUE(world.httpCalls.empty());
    EXPECT_EQ(controller->phase(), Phase::Password);
}

struct Refusal {
    const char* name;
    HttpResult answer;
    bool typed;
    std::string error;
    bool logsRefusal;
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
    *out << refusal.name;
}

class ctlLoginRefused : public ControllerTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ctlLoginRefused, ShowsTheOperatorText) {
    const Refusal& r = GetParam();
    start();
    world.passwords["sys-ctl-x"] = "saved-one";
    connectToPasswordPhase("sys-ctl-x", "Xray");
    world.auth = [&] { return r.answer; };
    if (r.typed) {
        command({{"cmd", "login"}, {"password", "typed-one"}});
    } else {
        command({{"cmd", "login"}});
    }
    pump();
    const auto state = lastState();
    EXPECT_EQ(state["phase"], "password");
    EXPECT_EQ(state["error"], r.error);
    EXPECT_FALSE(controller->signedIn());
    EXPECT_TRUE(view->cookies.empty());
    const std::string line = "sign-in to Xray refused: HTTP " + std::to_string(r.answer.status);
    if (r.logsRefusal) {
        EXPECT_TRUE(log.contains(line));
    } else {
        EXPECT_EQ(log.settledText().find("refused: HTTP"), std::string::npos);
    }
    // Only a refused saved password leaves the vault.
    const bool savedDeleted = !r.typed && r.answer.ok && r.answer.status == 401;
    EXPECT_EQ(world.passwords.count("sys-ctl-x") == 0, savedDeleted);
    EXPECT_EQ(state["target"]["savedPassword"].get<bool>(), !savedDeleted);
}

HttpResult unreachable() {
    HttpResult r;
    r.error = "the connection timed out";
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ctlLoginRefused,
    ::testing::Values(
        Refusal{"typed401", httpAnswer(401, "{}"), true, "Incorrect password.", true},
        Refusal{"saved401", httpAnswer(401, "{}"), false,
                "The saved password is no longer correct. Type the current one.", true},
        Refusal{"retryAfter", httpAnswer(429, "", "30"), true, "Too many attempts. Try again in 30 seconds.", true},
        Refusal{"retryAfterDate", httpAnswer(429, "", "Wed, 21 Oct 2026 07:28:00 GMT"), false,
                "Too many attempts. Try again in Wed, 21 Oct 2026 07:28:00 GMT seconds.", true},
        Refusal{"noRetryAfter", httpAnswer(429, ""), true, "Too many attempts. Wait a moment and try again.", true},
        Refusal{"noToken", httpAnswer(200, "{}"), true, "Sign-in failed (HTTP 200).", true},
        Refusal{"emptyToken", httpAnswer(200, R"({"token":""})"), false, "Sign-in failed (HTTP 200).", true},
        Refusal{"notJson", httpAnswer(200, "token"), true, "Sign-in failed (HTTP 200).", true},
        Refusal{"redirect", httpAnswer(302, ""), true, "Sign-in failed (HTTP 302).", true},
        Refusal{"serverError", httpAnswer(500, "{}"), true, "Sign-in failed (HTTP 500).", true},
        Refusal{"unreachable", unreachable(), true, "Couldn't reach the system: the connection timed out.", false}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST_F(ctlLogin, PasswordAcceptedAfterCancelIsNeitherSavedNorUsed) {
    start();
    connectToPasswordPhase("sys-ctl-late");
    world.threads = FakeWorld::Threads::Queued;
    world.auth = [] { return httpAnswer(200, R"({"token":"late-token"})"); };
    command({{"cmd", "login"}, {"password", "late-password"}, {"remember", true}});
    command({{"cmd", "cancel"}});
    const auto before = events.size();
    pump();
    EXPECT_EQ(events.size(), before);
    EXPECT_FALSE(controller->signedIn());
    EXPECT_EQ(world.passwordSaves, 0);
    EXPECT_EQ(world.passwords.count("sys-ctl-late"), 0u);
    EXPECT_TRUE(view->cookies.empty());
    EXPECT_TRUE(view->navigations.empty());
    SystemEntry stored;
    EXPECT_FALSE(controller->store().findSystem("sys-ctl-late", stored));
}

TEST_F(ctlLogin, ThreadThatCannotStartReturnsToThePasswordPhase) {
    start();
    connectToPasswordPhase();
    world.threads = FakeWorld::Threads::Fail;
    command({{"cmd", "login"}, {"password", "p"}});
    const auto state = lastState();
    EXPECT_EQ(state["phase"], "password");
    EXPECT_EQ(state["error"], "Couldn't start the sign-in. Try again.");
    EXPECT_EQ(state["target"]["systemId"], "sys-ctl-a");
}

TEST_F(ctlLogin, TrustedConsoleSignsInAtOnceWithoutACookie) {
    start();
    signInTrusted("sys-ctl-t", "Trusty");
    EXPECT_TRUE(controller->trustedConsole());
    EXPECT_TRUE(view->cookies.empty());
    EXPECT_TRUE(world.httpCalls.empty());
    EXPECT_EQ(window->title(), "Ostrel Ops Control - 2026 R1 \xE2\x80\x94 Trusty");
    EXPECT_EQ(view->navigations.back(), "https://10.0.0.9:8443/control/");
    EXPECT_TRUE(log.contains("Trusty trusts this machine as its console - no password needed"));
    SystemEntry stored;
    ASSERT_TRUE(controller->store().findSystem("sys-ctl-t", stored));
    EXPECT_FALSE(stored.sessionRemembered);
    // No state event for the opened session: connecting was the last one.
    EXPECT_EQ(lastState()["phase"], "connecting");
}

TEST_F(ctlLogin, RememberedSessionReopensWithoutAPassword) {
    start();
    signInTyped(true, "sys-ctl-rem", "Remy");
    controller->onMenuCommand(MenuCommand::SwitchSystem);  // keeps the cookie and the remembered flag
    view->cookies.clear();
    command({{"cmd", "connect"}, {"host", "10.0.0.5"}});
    pump();
    EXPECT_TRUE(controller->signedIn());
    EXPECT_EQ(world.httpCalls.size(), 1u);  // only the first sign-in asked
    EXPECT_TRUE(view->cookies.empty());
    EXPECT_TRUE(log.contains("reopening Remy with its remembered session"));
    SystemEntry stored;
    ASSERT_TRUE(controller->store().findSystem("sys-ctl-rem", stored));
    EXPECT_TRUE(stored.sessionRemembered);
}

TEST_F(ctlLogin, SignInBeforeTheViewExistsAsksToTryAgain) {
    start(false);
    world.connect = [](const std::string& host, int port, const FindSystemFunction&) {
        return systemAt(host, port, "sys-ctl-nv", "NoView", true);
    };
    command({{"cmd", "connect"}, {"host", "10.0.0.5"}});
    const auto generation = controller->generation();
    pump();
    EXPECT_FALSE(controller->signedIn());
    EXPECT_EQ(controller->generation(), generation);
    EXPECT_EQ(lastState()["phase"], "host");
    EXPECT_EQ(lastState()["error"], "The window isn't ready yet. Try again in a moment.");
    SystemEntry stored;
    EXPECT_FALSE(controller->store().findSystem("sys-ctl-nv", stored));
}

TEST_F(ctlLogin, HostsMergedByTheStoreReachTheTarget) {
    start();
    signInTyped(true, "sys-ctl-m");
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    world.connect = [](const std::string& host, int port, const FindSystemFunction&) {
        auto r = systemAt(host, port, "sys-ctl-m", "M", true);
        r.target.hosts = {"LAB.example"};
        return r;
    };
    command({{"cmd", "connect"}, {"host", "LAB.example"}});
    pump();
    EXPECT_EQ(controller->target().hosts, (std::vector<std::string>{"LAB.example", "10.0.0.5"}));
    EXPECT_EQ(view->scripts.begin()->second, hostScriptText({"lab.example", "10.0.0.5"}));
}

}  // namespace
}  // namespace ostrel::ctl::testing
