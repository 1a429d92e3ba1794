// Leaving a session (menu, page signals, time limit), the policy wired onto the views, discovery
// and teardown.
#include <gtest/gtest.h>

#include "ctl/page_policy.h"
#include "tests/ctl/controller_fixture.h"

namespace ostrel::ctl::testing {
namespace {

constexpr const char* kLogout = R"({"ostrelHost":"signedOut","reason":"logout"})";

class ctlSession : public ControllerTest {
protected:
    // The start page has loaded once, so later "getState" calls never reconnect.
    void startLoaded() {
        start();
        command({{"cmd", "getState"}});
    }
    // A system reached under two hosts, one of them a bracketed upper-case IPv6 literal.
    void signInTwoHosts(bool trusted) {
        world.connect = systemAt("sys-two", "Two", trusted, {"10.0.0.5", "[FE80::1]"});
        connect("10.0.0.5");
        pump();
        world.auth = answer(200, R"({"token":"tok-two"})");
        login("pw");
        pump();
        ASSERT_TRUE(controller->signedIn());
    }
};

TEST_F(ctlSession, EveryWayOutUndoesTheSession) {
    const struct {
        std::string how;
        const char* notice;
        const char* phase;
        bool cookiesDeleted, autoSignIn, remembered;  // afterwards
    } cases[] = {
        {"switch", "", "host", false, false, true},  // keeps the cookie for a later remembered session
        {"trusted signOut", "You signed out.", "host", false, false, false},  // asks the page nothing
        {"signOut then page", "You signed out.", "host", true, false, false},
        {"signOut then time limit", "You signed out.", "host", true, false, false},
        {"page logout", "You signed out.", "host", true, false, false},
        {"page expired", "Your session has ended. Sign in again.", "password", true, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        view = std::make_shared<FakeView>();
        startLoaded();
        signInTwoHosts(c.how == "trusted signOut");
        if (c.how == "switch") controller->onMenuCommand(MenuCommand::SwitchSystem);
        if (c.how.find("signOut") != std::string::npos) {
            controller->onSignOutTimer();  // no sign-out asked for: nothing happens
            EXPECT_TRUE(controller->signedIn());
            controller->onMenuCommand(MenuCommand::SignOut);
        }
        if (c.how.rfind("signOut", 0) == 0) {
            EXPECT_TRUE(controller->signedIn() && controller->signingOut());
            EXPECT_EQ(view->executed,
                      std::vector<std::string>{
                          "fetch('/api/control-logout', { method: 'POST', credentials: 'same-origin' })"});
            EXPECT_EQ(window->timerMs, 3000);
        }
        if (c.how == "signOut then page" || c.how == "page logout") {
            controller->handlePageMessage("https://[fe80::1]:8443/control/", kLogout);
        }
        if (c.how == "page expired") {
            controller->handlePageMessage("https://10.0.0.5:8443/control/s",
                                          R"({"ostrelHost":"signedOut","reason":"expired"})");
        }
        controller->onSignOutTimer();  // ends a sign-out the page never confirmed; nothing to do otherwise
        const std::vector<std::string> cookies = {"ostrel_control_session 10.0.0.5 /",
                                                  "ostrel_control_session fe80::1 /"};
        EXPECT_EQ(view->deleted, c.cookiesDeleted ? cookies : std::vector<std::string>{});
        EXPECT_FALSE(controller->signedIn() || controller->signingOut());
        EXPECT_EQ(view->popupCloses + view->certificateClears, 2);
        EXPECT_TRUE(view->scripts.empty() && controller->hostScriptId().empty());
        EXPECT_EQ(view->navigations, (std::vector<std::string>{kControl, kStartPage}));
        EXPECT_FALSE(window->timerMs.has_value());
        EXPECT_EQ(window->title, "Ostrel Ops Control - 2026 R1");
        EXPECT_FALSE(*window->menuEnabled);
        const auto state = stateNow();
        EXPECT_EQ(state["phase"], c.phase);
        EXPECT_EQ(state["notice"], c.notice);
        EXPECT_EQ(state["error"], "");
        EXPECT_EQ(state["form"], (json{{"host", "10.0.0.5"}, {"port", 8443}}));
        EXPECT_EQ(controller->store().lastSystem().systemId, "sys-two");
        EXPECT_EQ(controller->store().lastSystem().autoSignIn, c.autoSignIn);
        EXPECT_EQ(stored("sys-two").sessionRemembered, c.remembered);
        EXPECT_TRUE(logged(std::string("left Two (") + (*c.notice ? c.notice : "switching system") + ")"));
    }
    // The password phase after an expired session works against the kept target.
    login("pw");
    pump();
    EXPECT_TRUE(controller->signedIn());
    // Signed out, the menu items change nothing.
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    const std::string before = test::readFile(settingsPath());
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    controller->onMenuCommand(MenuCommand::SignOut);
    EXPECT_EQ(test::readFile(settingsPath()), before);
}

TEST_F(ctlSession, PageMessagesFromElsewhereOrOfUnknownKindsKeepTheSession) {
    startLoaded();
    controller->handlePageMessage("https://10.0.0.5/control/", kLogout);  // not signed in
    signInTyped(true, "sys-p", "Pat");
    for (const char* source :
         {"https://10.0.0.6/control/", "https://evil.example/?h=10.0.0.5", "not a url", "", kStartPage}) {
        controller->handlePageMessage(source, kLogout);
    }
    // A source URL that a NUL would cut short to a page of the system.
    controller->handlePageMessage(std::string("https://10.0.0.5") + '\0' + "@evil.example/", kLogout);
    for (const std::string& message :
         {std::string(R"("signedOut")"), std::string(R"({"ostrelHost":"signedout","reason":"logout"})"),
          std::string(R"({"ostrelHost":true,"reason":"logout"})"), std::string("{oops"),
          std::string(R"([{"ostrelHost":"signedOut"}])"), std::string(kLogout) + '\0' + "x",
          R"({"ostrelHost":"signedOut","reason":"logout","x":)" + std::string(64, '[') + std::string(64, ']') + "}"}) {
        controller->handlePageMessage("https://10.0.0.5/control/", message);
    }
    EXPECT_TRUE(view->deleted.empty());
    // An unknown reason clears the cookie but keeps the session.
    for (const char* message : {R"({"ostrelHost":"signedOut","reason":"bored"})", R"({"ostrelHost":"signedOut"})"}) {
        controller->handlePageMessage("https://10.0.0.5/control/", message);
    }
    EXPECT_TRUE(controller->signedIn());
    EXPECT_EQ(view->deleted.size(), 2u);
    EXPECT_EQ(view->popupCloses, 0);
    EXPECT_FALSE(stored("sys-p").sessionRemembered);
    EXPECT_EQ(window->title, "Ostrel Ops Control - 2026 R1 \xE2\x80\x94 Pat");
    controller->handlePageMessage("http://10.0.0.5:1/x", kLogout);  // scheme and port play no part
    EXPECT_FALSE(controller->signedIn());
}

TEST_F(ctlSession, CancelFromTheStartPageWhileSignedInChangesNothing) {
    startLoaded();
    view->deferScripts = true;  // the start page still shows: the script registration is running
    signInTyped(true);
    const auto generation = controller->generation();
    const auto states = eventsOf("state").size();
    command({{"cmd", "cancel"}});
    command({{"cmd", "back"}});
    connect("10.0.0.66");
    EXPECT_EQ(controller->phase(), Phase::SignedIn);
    EXPECT_EQ(controller->generation(), generation);
    EXPECT_EQ(eventsOf("state").size(), states);
    EXPECT_EQ(world.probes.size(), 1u);
    view->completeScripts();
    EXPECT_EQ(view->navigations, std::vector<std::string>{kControl});
    EXPECT_EQ(view->handlers.certificateError("https://10.0.0.66/"), Decision::Refuse);
}

using ctlViews = ControllerTest;

TEST_F(ctlViews, RecreatedViewWhileSignedInGetsTheScriptAndTheControlUi) {
    start();
    signInTyped(true);
    auto fresh = std::make_shared<FakeView>();
    EXPECT_TRUE(controller->onWebViewReady(fresh));
    ASSERT_EQ(fresh->scripts.size(), 1u);
    EXPECT_TRUE(fresh->removed.empty());  // the old id means nothing to the new view
    EXPECT_EQ(controller->hostScriptId(), fresh->scripts.begin()->first);
    EXPECT_EQ(fresh->navigations, std::vector<std::string>{kControl});
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    auto third = std::make_shared<FakeView>();
    EXPECT_FALSE(controller->onWebViewReady(third));  // signed out: the shell opens the start page
    EXPECT_TRUE(third->scripts.empty() && third->navigations.empty());
    EXPECT_TRUE(static_cast<bool>(third->handlers.navigationStarting));
}

TEST_F(ctlViews, HostScriptRegistrationsNeverStackOrOutliveTheSession) {
    start();
    view->deferScripts = true;
    signInTyped(true);
    EXPECT_TRUE(view->navigations.empty());  // waits for the registration
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    view->completeScripts();  // completes after the session ended: removed again
    EXPECT_TRUE(view->scripts.empty());
    EXPECT_EQ(view->navigations, std::vector<std::string>{kStartPage});

    // Two registrations of one session complete late: the main view keeps only the last.
    connect("10.0.0.5");
    pump();  // remembered session: signed in again, registration pending
    controller->onWebViewReady(view);
    view->completeScripts();
    ASSERT_EQ(view->scripts.size(), 1u);
    EXPECT_EQ(controller->hostScriptId(), view->scripts.begin()->first);

    view->scriptOk = false;  // a failed registration is logged and the Control UI still opens
    controller->onWebViewReady(view);
    EXPECT_TRUE(logged("page-side script registration failed 0x80070005"));
    EXPECT_EQ(view->navigations.back(), kControl);
}

TEST_F(ctlViews, PoliciesAreDecidedLoggedAndWiredIntoPopups) {
    start(false);
    view->certificateEvents = false;
    view->cookiesOk = false;
    controller->onWebViewReady(view);
    EXPECT_FALSE(static_cast<bool>(view->handlers.certificateError));
    EXPECT_TRUE(logged("has no certificate-error event - update the"));
    EXPECT_EQ(view->handlers.newWindow("https://10.0.0.5/control/popup", ""), Decision::OpenExternal);
    signInTyped(true);
    EXPECT_TRUE(logged("cookie manager unavailable - the Control UI will ask for the password itself"));

    const auto& navigate = view->handlers.navigationStarting;
    EXPECT_EQ(navigate("https://10.0.0.5:9000/x"), Decision::Allow);
    EXPECT_EQ(navigate(kStartPage), Decision::Allow);
    EXPECT_EQ(navigate("https://10.0.0.5/source?tab=1"), Decision::OpenExternal);
    EXPECT_EQ(navigate("mailto:ops@example.com"), Decision::Cancel);
    EXPECT_TRUE(logged("navigation kept out of the app: https://10.0.0.5/source?tab=1"));
    EXPECT_TRUE(logged("navigation kept out of the app: mailto:ops@example.com"));
    EXPECT_EQ(view->handlers.newWindow("https://10.0.0.5/control/popup", "ostrelSourceTab"), Decision::Refuse);
    EXPECT_TRUE(logged("Add Source popup refused - this app does not host a source client"));

    auto popup = std::make_shared<FakeView>();
    EXPECT_EQ(view->handlers.newWindow("https://10.0.0.5/control/popup", "ostrelPopup"), Decision::Popup);
    view->handlers.popupCreated(popup);
    ASSERT_EQ(popup->scripts.size(), 1u);
    EXPECT_EQ(popup->scripts.begin()->second, hostScriptText({"10.0.0.5"}));
    EXPECT_TRUE(view->removed.empty());  // the main view's registration stays
    EXPECT_EQ(popup->handlers.navigationStarting(kStartPage), Decision::Cancel);
    EXPECT_EQ(popup->handlers.navigationStarting("https://10.0.0.5/control/x"), Decision::Allow);
    EXPECT_EQ(popup->handlers.certificateError("https://10.0.0.5:1234/any"), Decision::Allow);
    EXPECT_EQ(popup->handlers.certificateError("https://10.0.0.6/"), Decision::Refuse);
    EXPECT_TRUE(logged("certificate error refused for https://10.0.0.6/"));

    controller->onMenuCommand(MenuCommand::SwitchSystem);
    EXPECT_EQ(popup->handlers.certificateError("https://10.0.0.5/"), Decision::Refuse);
    auto late = std::make_shared<FakeView>();
    view->handlers.popupCreated(late);  // created while signed out: wired, no script
    EXPECT_TRUE(late->scripts.empty());
    EXPECT_TRUE(static_cast<bool>(late->handlers.newWindow));
}

TEST_F(ctlViews, DetachedControllerDropsLatePostsAndIsFreed) {
    start();
    world.threads = FakeWorld::Threads::Queued;
    connect("10.0.0.5");
    std::weak_ptr<AppController> weak = controller;
    controller->detachShell();
    controller.reset();
    view->handlers = {};           // the shell destroys its views
    EXPECT_FALSE(weak.expired());  // the worker still holds it
    world.runJobs();               // the worker finishes and posts its result
    EXPECT_TRUE(weak.expired());
}

using ctlDiscovery = ControllerTest;

TEST_F(ctlDiscovery, RunPublishesSearchingThenTheSystems) {
    start();
    world.threads = FakeWorld::Threads::Queued;
    world.discovery = [] {
        DiscoveredSystem system{"4f2c0000", "Wall A", "North", "", "ok", {}, false};
        system.addresses = {{"10.0.0.5", 8443, true, false, 12}, {"10.0.1.5", 8443, false, false, 30}};
        return DiscoveryResult{{system}, 6, 2, 3, 1, false, ""};
    };
    world.siteKey = "site-secret";
    command({{"cmd", "getState"}});
    command({{"cmd", "discoverSystems"}});
    command({{"cmd", "discoverSystems"}});  // one run at a time
    EXPECT_EQ(world.queuedJobs(), 1u);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], R"({"error":"","event":"discovery","state":"searching","systems":[]})");
    pump();
    ASSERT_EQ(world.discoveryOptions.size(), 1u);
    EXPECT_EQ(world.discoveryOptions[0].clientKind, "control-native");
    EXPECT_TRUE(world.discoveryOptions[0].siteKey == "site-secret");
    const std::string done =
        "{\"error\":\"\",\"event\":\"discovery\",\"state\":\"done\",\"systems\":[{\"addresses\":2,"
        "\"displayName\":\"North \xE2\x80\x94 Wall A\",\"host\":\"10.0.0.5\",\"port\":8443,\"status\":\"ok\","
        "\"systemId\":\"4f2c0000\"}]}";
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2], done);
    EXPECT_TRUE(logged("discovery: 6 probes on 2 interfaces, 3 offers (1 rejected), 1 systems"));
    EXPECT_EQ(settledLog().find("site-secret"), std::string::npos);
    command({{"cmd", "getState"}});  // repeats the last discovery after the state
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[4], done);
}

TEST_F(ctlDiscovery, ThrottleCountsFromTheLastAcceptedStartInEveryController) {
    start();
    world.threads = FakeWorld::Threads::Queued;
    world.discovery = [] { return DiscoveryResult{{}, 0, 0, 0, 0, true, "no usable network interface"}; };
    command({{"cmd", "discoverSystems"}});
    pump();
    EXPECT_EQ(events.back(),
              R"({"error":"no usable network interface","event":"discovery","state":"done","systems":[]})");
    world.monoMs += 4999;
    command({{"cmd", "discoverSystems"}});
    EXPECT_EQ(eventsOf("discovery").back()["state"], "throttled");
    EXPECT_EQ(world.queuedJobs(), 0u);
    auto other = std::make_shared<AppController>(world.services(dir.path() / "other.json"));
    std::vector<std::string> otherEvents;
    other->setEventSink([&](const std::string& text) { otherEvents.push_back(text); });
    other->handleCommand(R"({"cmd":"discoverSystems"})");
    ASSERT_EQ(otherEvents.size(), 1u);
    EXPECT_NE(otherEvents[0].find("\"throttled\""), std::string::npos);
    world.monoMs += 1;  // a throttled call does not move the start time
    command({{"cmd", "discoverSystems"}});
    EXPECT_EQ(events.back(), R"({"error":"","event":"discovery","state":"searching","systems":[]})");
    EXPECT_EQ(world.queuedJobs(), 1u);
}

}  // namespace
}  // namespace ostrel::ctl::testing
