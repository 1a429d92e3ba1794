// Leaving a session (menu, page signals, time limit) and the policy wired onto the views.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctl/page_policy.h"
#include "tests/ctl/controller_fixture.h"

namespace ostrel::ctl::testing {
namespace {

using nlohmann::json;

constexpr const char* kStartPage = "ostrel-test://ui.test/index.html";
constexpr const char* kLogout = R"({"ostrelHost":"signedOut","reason":"logout"})";
constexpr const char* kExpired = R"({"ostrelHost":"signedOut","reason":"expired"})";

class ctlSession : public ControllerTest {
protected:
    // The start page has loaded once, so later "getState" calls never reconnect.
    void startLoaded() {
        start();
        command({{"cmd", "getState"}});
    }

    // What every end of a session undoes in the browser, and the window afterwards.
    void expectSessionUndone(const std::string& notice, const char* phase) {
        EXPECT_FALSE(controller->signedIn());
        EXPECT_FALSE(controller->signingOut());
        EXPECT_EQ(view->popupCloses, 1);
        EXPECT_EQ(view->certificateClears, 1);
        EXPECT_TRUE(view->scripts.empty());
        EXPECT_TRUE(controller->hostScriptId().empty());
        EXPECT_EQ(view->navigations.back(), kStartPage);
        EXPECT_FALSE(window->timerMs.has_value());
        expectSignedOutWindow();
        const auto state = stateNow();
        EXPECT_EQ(state["phase"], phase);
        EXPECT_EQ(state["notice"], notice);
        EXPECT_EQ(state["error"], "");
        EXPECT_EQ(state["form"]["host"], controller->target().host);
        EXPECT_EQ(state["form"]["port"], controller->target().port);
    }

    std::vector<std::string> deletedDomains() const {
        std::vector<std::string> out;
        for (const auto& d : view->deleted) {
            EXPECT_EQ(d.name, "ostrel_control_session");
            EXPECT_EQ(d.path, "/");
            out.push_back(d.domain);
        }
        return out;
    }

    // A system reached under two hosts, one of them a bracketed upper-case IPv6 literal.
    void signInTwoHosts() {
        world.connect = [](const std::string& host, int port, const FindSystemFunction&) {
            auto r = systemAt(host, port, "sys-ctl-two", "Two");
            r.target.hosts = {"10.0.0.5", "[FE80::1]"};
            return r;
        };
        command({{"cmd", "connect"}, {"host", "10.0.0.5"}});
        pump();
        world.auth = [] { return httpAnswer(200, R"({"token":"tok-two"})"); };
        command({{"cmd", "login"}, {"password", "pw"}});
        pump();
        ASSERT_TRUE(controller->signedIn());
    }
};

TEST_F(ctlSession, SignOutOnATrustedConsoleEndsAtOnce) {
    startLoaded();
    signInTrusted();
    controller->onMenuCommand(MenuCommand::SignOut);
    EXPECT_TRUE(view->executed.empty());
    EXPECT_TRUE(view->deleted.empty());
    expectSessionUndone("You signed out.", "host");
    EXPECT_FALSE(controller->store().lastSystem().autoSignIn);
    EXPECT_TRUE(log.contains("left Trusty (You signed out.)"));
}

TEST_F(ctlSession, SignOutAsksThePageAndEndsOnItsLogoutSignal) {
    startLoaded();
    signInTwoHosts();
    controller->onMenuCommand(MenuCommand::SignOut);
    EXPECT_TRUE(controller->signedIn());
    EXPECT_TRUE(controller->signingOut());
    ASSERT_EQ(view->executed.size(), 1u);
    EXPECT_EQ(view->executed[0], "fetch('/api/control-logout', { method: 'POST', credentials: 'same-origin' })");
    ASSERT_TRUE(window->timerMs.has_value());
    EXPECT_EQ(*window->timerMs, 3000);
    SystemEntry stored;
    ASSERT_TRUE(controller->store().findSystem("sys-ctl-two", stored));
    EXPECT_FALSE(stored.sessionRemembered);
    EXPECT_FALSE(controller->store().lastSystem().autoSignIn);

    controller->handlePageMessage("https://[fe80::1]:8443/control/", kLogout);
    EXPECT_EQ(deletedDomains(), (std::vector<std::string>{"10.0.0.5", "fe80::1"}));
    expectSessionUndone("You signed out.", "host");
    // The time limit that follows finds nothing to do.
    controller->onSignOutTimer();
    EXPECT_EQ(view->deleted.size(), 2u);
    EXPECT_EQ(view->navigations.size(), 2u);
}

TEST_F(ctlSession, SignOutEndsLocallyWhenThePageNeverConfirms) {
    startLoaded();
    signInTwoHosts();
    controller->onMenuCommand(MenuCommand::SignOut);
    controller->onSignOutTimer();
    EXPECT_EQ(deletedDomains(), (std::vector<std::string>{"10.0.0.5", "fe80::1"}));
    expectSessionUndone("You signed out.", "host");
    EXPECT_TRUE(log.contains("left Two (You signed out.)"));
}

TEST_F(ctlSession, TimerWithoutASignOutDoesNothing) {
    startLoaded();
    signInTyped(true);
    controller->onSignOutTimer();
    EXPECT_TRUE(controller->signedIn());
    EXPECT_TRUE(view->deleted.empty());
}

TEST_F(ctlSession, SwitchSystemKeepsTheCookieAndTurnsAutoSignInOff) {
    startLoaded();
    signInTyped(true, "sys-ctl-sw", "Switchy");
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    EXPECT_TRUE(view->deleted.empty());
    expectSessionUndone("", "host");
    EXPECT_EQ(controller->store().lastSystem().systemId, "sys-ctl-sw");
    EXPECT_FALSE(controller->store().lastSystem().autoSignIn);
    SystemEntry stored;
    ASSERT_TRUE(controller->store().findSystem("sys-ctl-sw", stored));
    EXPECT_TRUE(stored.sessionRemembered);
    EXPECT_TRUE(log.contains("left Switchy (switching system)"));
}

TEST_F(ctlSession, MenuIsIgnoredWhileSignedOut) {
    startLoaded();
    connectToPasswordPhase("sys-ctl-menu");
    const std::string before = ostrel::test::readFile(settingsPath());
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    controller->onMenuCommand(MenuCommand::SignOut);
    EXPECT_EQ(ostrel::test::readFile(settingsPath()), before);
    EXPECT_EQ(controller->phase(), Phase::Password);
    EXPECT_TRUE(view->navigations.empty());
}

TEST_F(ctlSession, ExpiredSessionAsksForThePasswordAgain) {
    startLoaded();
    signInTyped(true, "sys-ctl-exp", "Expy");
    controller->handlePageMessage("https://10.0.0.5:8443/control/settings", kExpired);
    EXPECT_EQ(deletedDomains(), (std::vector<std::string>{"10.0.0.5"}));
    expectSessionUndone("Your session has ended. Sign in again.", "password");
    // lastSystemId and autoSignIn stay; the remembered session does not.
    EXPECT_EQ(controller->store().lastSystem().systemId, "sys-ctl-exp");
    EXPECT_TRUE(controller->store().lastSystem().autoSignIn);
    SystemEntry stored;
    ASSERT_TRUE(controller->store().findSystem("sys-ctl-exp", stored));
    EXPECT_FALSE(stored.sessionRemembered);
    // The password phase works against the kept target.
    command({{"cmd", "login"}});
    pump();
    EXPECT_TRUE(controller->signedIn());
}

TEST_F(ctlSession, UnknownReasonClearsTheCookieButKeepsTheSession) {
    startLoaded();
    signInTyped(true, "sys-ctl-unk");
    controller->handlePageMessage("https://10.0.0.5/control/", R"({"ostrelHost":"signedOut","reason":"bored"})");
    controller->handlePageMessage("https://10.0.0.5/control/", R"({"ostrelHost":"signedOut","reason":3})");
    controller->handlePageMessage("https://10.0.0.5/control/", R"({"ostrelHost":"signedOut"})");
    EXPECT_TRUE(controller->signedIn());
    EXPECT_EQ(view->deleted.size(), 3u);
    EXPECT_EQ(view->popupCloses, 0);
    SystemEntry stored;
    ASSERT_TRUE(controller->store().findSystem("sys-ctl-unk", stored));
    EXPECT_FALSE(stored.sessionRemembered);
    EXPECT_EQ(window->title(), "Ostrel Ops Control - 2026 R1 \xE2\x80\x94 Alpha");
}

TEST_F(ctlSession, PageMessagesFromElsewhereAreIgnored) {
    startLoaded();
    controller->handlePageMessage("https://10.0.0.5/control/", kLogout);  // not signed in
    signInTyped(true);
    for (const char* source : {"https://10.0.0.6/control/", "https://evil.example/?h=10.0.0.5", "not a url", "",
                               "ostrel-test://ui.test/index.html"}) {
        controller->handlePageMessage(source, kLogout);
    }
    for (const std::string& message :
         {std::string(R"("signedOut")"), std::string(R"({"ostrelHost":"signedout","reason":"logout"})"),
          std::string(R"({"ostrelHost":true,"reason":"logout"})"), std::string("{oops"),
          std::string(R"([{"ostrelHost":"signedOut"}])"), std::string(kLogout) + '\0' + "x",
          R"({"ostrelHost":"signedOut","reason":"logout","x":)" + std::string(64, '[') + std::string(64, ']') + "}"}) {
        controller->handlePageMessage("https://10.0.0.5/control/", message);
    }
    // A source URL that a NUL would cut short to a page of the system.
    controller->handlePageMessage(std::string("https://10.0.0.5") + '\0' + "@evil.example/", kLogout);
    EXPECT_TRUE(controller->signedIn());
    EXPECT_TRUE(view->deleted.empty());
    // Scheme and port play no part in the origin test.
    controller->handlePageMessage("http://10.0.0.5:1/x", kLogout);
    EXPECT_FALSE(controller->signedIn());
}

TEST_F(ctlSession, WindowTitleAndMenuFollowEverySession) {
    startLoaded();
    expectSignedOutWindow();
    signInTyped(true, "sys-ctl-w", "");  // a system without a name
    EXPECT_EQ(window->title(), "Ostrel Ops Control - 2026 R1");
    EXPECT_TRUE(*window->menuEnabled());
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    expectSignedOutWindow();
}

// ---------------------------------------------------------------------------------------------
// Views

using ctlViews = ControllerTest;

TEST_F(ctlViews, RecreatedViewWhileSignedInGetsTheScriptAndTheControlUi) {
    start();
    signInTyped(true);
    auto fresh = std::make_shared<FakeView>();
    EXPECT_TRUE(controller->onWebViewReady(fresh));
    ASSERT_EQ(fresh->scripts.size(), 1u);
    EXPECT_TRUE(fresh->removed.empty());  // the old id means nothing to the new view
    EXPECT_EQ(controller->hostScriptId(), fresh->scripts.begin()->first);
    EXPECT_EQ(fresh->navigations, std::vector<std::string>{"https://10.0.0.5:8443/control/"});
    EXPECT_TRUE(static_cast<bool>(fresh->handlers.navigationStarting));
    // Signed out, the shell opens the start page itself.
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    auto third = std::make_shared<FakeView>();
    EXPECT_FALSE(controller->onWebViewReady(third));
    EXPECT_TRUE(third->scripts.empty());
    EXPECT_TRUE(third->navigations.empty());
}

TEST_F(ctlViews, HostScriptOnTheMainViewIsReplacedNotStacked) {
    start();
    signInTrusted();
    const std::string first = controller->hostScriptId();
    ASSERT_FALSE(first.empty());
    // "cancel" leaves the session open; a second sign-in registers the script again.
    command({{"cmd", "cancel"}});
    signInTrusted();
    EXPECT_EQ(view->removed, std::vector<std::string>{first});
    EXPECT_EQ(view->scripts.size(), 1u);
    EXPECT_EQ(controller->hostScriptId(), view->scripts.begin()->first);
    EXPECT_NE(controller->hostScriptId(), first);
}

TEST_F(ctlViews, RegistrationFailureIsLoggedAndTheControlUiStillOpens) {
    start();
    view->scriptOk = false;
    view->scriptFailureCode = 0x80070005L;
    signInTyped(true);
    EXPECT_TRUE(controller->hostScriptId().empty());
    EXPECT_EQ(view->navigations.back(), "https://10.0.0.5:8443/control/");
    EXPECT_TRUE(log.contains("page-side script registration failed 0x80070005"));
}

TEST_F(ctlViews, RegistrationCompletingAfterTheSessionEndedIsRemoved) {
    start();
    view->deferScripts = true;
    signInTyped(true);
    EXPECT_TRUE(view->navigations.empty());  // waits for the registration
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    view->completeScripts();
    EXPECT_TRUE(view->scripts.empty());
    EXPECT_TRUE(controller->hostScriptId().empty());
    EXPECT_EQ(view->navigations, std::vector<std::string>{kStartPage});
}

TEST_F(ctlViews, CookieManagerMissingIsLogged) {
    start();
    view->cookiesOk = false;
    signInTyped(true);
    EXPECT_TRUE(log.contains("cookie manager unavailable - the Control UI will ask for the password itself"));
}

TEST_F(ctlViews, NavigationPolicyIsLoggedAndDecided) {
    start();
    signInTyped(true);
    const auto& navigate = view->handlers.navigationStarting;
    ASSERT_TRUE(static_cast<bool>(navigate));
    EXPECT_EQ(navigate("https://10.0.0.5:9000/x"), Decision::Allow);
    EXPECT_EQ(navigate("ostrel-test://ui.test/index.html"), Decision::Allow);
    EXPECT_EQ(navigate("https://10.0.0.5/source?tab=1"), Decision::OpenExternal);
    EXPECT_EQ(navigate("mailto:ops@example.com"), Decision::Cancel);
    EXPECT_TRUE(log.contains("navigation kept out of the app: https://10.0.0.5/source?tab=1"));
    EXPECT_TRUE(log.contains("navigation kept out of the app: mailto:ops@example.com"));
    EXPECT_TRUE(view->external.empty());  // the shell carries the decision out
}

TEST_F(ctlViews, PopupsAreWiredAndGetTheHostScriptWhileSignedIn) {
    start();
    const auto& newWindow = view->handlers.newWindow;
    EXPECT_EQ(newWindow("https://10.0.0.5/control/popup", ""), Decision::OpenExternal);  // signed out
    signInTyped(true);
    EXPECT_EQ(view->handlers.newWindow("https://10.0.0.5/control/popup", "ostrelPopup"), Decision::Popup);
    EXPECT_EQ(view->handlers.newWindow("https://10.0.0.5/control/popup", "ostrelSourceTab"), Decision::Refuse);
    EXPECT_TRUE(log.contains("Add Source popup refused - this app does not host a source client"));

    const std::string mainScript = controller->hostScriptId();
    auto popup = std::make_shared<FakeView>();
    popup->nextId = 100;
    view->handlers.popupCreated(popup);
    ASSERT_EQ(popup->scripts.size(), 1u);
    EXPECT_EQ(popup->scripts.begin()->second, hostScriptText({"10.0.0.5"}));
    EXPECT_EQ(controller->hostScriptId(), mainScript);  // the main view's registration stays
    EXPECT_TRUE(view->removed.empty());
    // The popup never allows the start page.
    EXPECT_EQ(popup->handlers.navigationStarting("ostrel-test://ui.test/index.html"), Decision::Cancel);
    EXPECT_EQ(popup->handlers.navigationStarting("https://10.0.0.5/control/x"), Decision::Allow);
    // Popups created while signed out get no script.
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    auto late = std::make_shared<FakeView>();
    view->handlers.popupCreated(late);
    EXPECT_TRUE(late->scripts.empty());
    EXPECT_TRUE(static_cast<bool>(late->handlers.newWindow));
}

TEST_F(ctlViews, CertificateErrorsPassOnlyForTheSignedInSystem) {
    start();
    EXPECT_EQ(view->handlers.certificateError("https://10.0.0.5/"), Decision::Refuse);
    signInTyped(true);
    EXPECT_EQ(view->handlers.certificateError("https://10.0.0.5:1234/any"), Decision::Allow);
    EXPECT_EQ(view->handlers.certificateError("https://10.0.0.6/"), Decision::Refuse);
    EXPECT_TRUE(log.contains("certificate error refused for https://10.0.0.6/"));
}

TEST_F(ctlViews, ViewWithoutCertificateEventsGetsNoHandlerForThem) {
    start(false);
    auto old = std::make_shared<FakeView>();
    old->certificateEvents = false;
    controller->onWebViewReady(old);
    EXPECT_FALSE(static_cast<bool>(old->handlers.certificateError));
    EXPECT_TRUE(static_cast<bool>(old->handlers.navigationStarting));
    EXPECT_TRUE(static_cast<bool>(old->handlers.newWindow));
    EXPECT_TRUE(log.contains("has no certificate-error event - update the"));
}

}  // namespace
}  // namespace ostrel::ctl::testing
