// The start-page protocol: which command texts are acted on, and the exact event texts.
#include <gtest/gtest.h>

#include <string>

#include "ctl/bridge_protocol.h"
#include "tests/ctl/controller_fixture.h"

namespace ostrel::ctl::testing {
namespace {

using Kind = Command::Kind;

TEST(ctlProtocol, CommandsAreMatchedExactlyAndNonObjectsIgnored) {
    EXPECT_EQ(parseCommand(R"({"cmd":"getState"})").kind, Kind::GetState);
    EXPECT_EQ(parseCommand(R"({"cmd":"back"})").kind, Kind::Back);
    EXPECT_EQ(parseCommand(R"({"cmd":"discoverSystems"})").kind, Kind::DiscoverSystems);
    for (const char* text :
         {R"("getState")", R"(["getState"])", R"({"cmd":"GetState"})", R"({"cmd":"getState "})", R"({"cmd":""})",
          R"({})", R"({"cmd":"remember"})", "{\"cmd\":\"getState\"", "", R"({"cmd":7})", R"({"cmd":null})"}) {
        EXPECT_EQ(parseCommand(text).kind, Kind::Ignored) << text;
    }
    // Not half-read: a command followed by a NUL, or nested deeper than any command.
    EXPECT_EQ(parseCommand(std::string(R"({"cmd":"getState"})") + '\0' + "x").kind, Kind::Ignored);
    EXPECT_EQ(parseCommand(R"({"cmd":"getState","x":)" + std::string(64, '[') + std::string(64, ']') + "}").kind,
              Kind::Ignored);
}

TEST(ctlProtocol, ArgumentsTakeDefaultsWhenAbsent) {
    const Command connect = parseCommand(R"({"cmd":"connect"})");
    EXPECT_EQ(connect.kind, Kind::Connect);
    EXPECT_EQ(connect.host, "");
    EXPECT_EQ(connect.port, 8443);
    const Command login = parseCommand(R"({"cmd":"login"})");
    EXPECT_EQ(login.kind, Kind::Login);
    EXPECT_TRUE(login.remember);
    EXPECT_TRUE(login.password.empty());
    const Command login2 = parseCommand(R"({"cmd":"login","remember":false,"extra":[1,2]})");
    EXPECT_FALSE(login2.remember);
}

TEST(ctlProtocol, WrongTypedArgumentsMakeTheCommandIgnored) {
    for (const char* text : {
             R"({"cmd":"connect","host":17})",
             R"({"cmd":"connect","host":"a","port":"8443"})",
             R"({"cmd":"connect","host":"a","port":8443.0})",
             R"({"cmd":"connect","host":"a","port":true})",
             R"({"cmd":"connect","host":null})",
             R"({"cmd":"login","password":12345})",
             R"({"cmd":"login","password":"x","remember":"yes"})",
             R"({"cmd":"login","password":"x","remember":1})",
             R"({"cmd":"forget","systemId":false})",
             R"({"cmd":"setSiteKey","siteKey":null})",
             R"({"cmd":"setSiteKey","siteKey":{"k":1}})",
         }) {
        EXPECT_EQ(parseCommand(text).kind, Kind::Ignored) << text;
    }
}

TEST(ctlProtocol, ConnectPortMemberMustBeAUsablePort) {
    for (const char* text :
         {R"({"cmd":"connect","host":"a","port":70000})", R"({"cmd":"connect","host":"a","port":0})",
          R"({"cmd":"connect","host":"a","port":-1})", R"({"cmd":"connect","host":"a","port":18446744073709551615})",
          R"({"cmd":"connect","host":"a","port":65536})"}) {
        EXPECT_EQ(parseCommand(text).kind, Kind::Ignored) << text;
    }
    EXPECT_EQ(parseCommand(R"({"cmd":"connect","host":"a","port":65535})").port, 65535);
    EXPECT_EQ(parseCommand(R"({"cmd":"connect","host":"a","port":1})").port, 1);
}

TEST(ctlProtocol, StateEventListsSystemsWithoutHostsOrRememberedFlag) {
    StateSnapshot state;
    state.phase = Phase::SigningIn;
    state.error = "e";
    state.target.host = "h";
    state.target.hosts = {"h", "i"};
    state.target.systemId = "s";
    state.targetSavedPassword = true;
    state.systems.push_back({"s", "Name", "h", 9443, 1767225600123, true});
    EXPECT_EQ(stateEventText(state),
              R"({"app":{"build":"1.0.0.40","version":"2026 R1"},"error":"e","event":"state",)"
              R"("form":{"host":"","port":8443},"notice":"","phase":"signing-in","siteKeySet":false,)"
              R"("systems":[{"host":"h","lastUsedMs":1767225600123,"name":"Name","port":9443,"savedPassword":true,)"
              R"("systemId":"s"}],"target":{"host":"h","name":"","port":8443,"savedPassword":true,"systemId":"s"}})");
}

TEST(ctlProtocol, EventsSurviveTextThatIsNotUtf8) {
    StateSnapshot state;
    state.target.name = std::string("bad\xff\xfe name");
    const std::string text = stateEventText(state);
    EXPECT_FALSE(nlohmann::json::parse(text, nullptr, false).is_discarded());
    EXPECT_EQ(discoveryEventText("done", nlohmann::json::array({std::string("\xc3")}), ""),
              "{\"error\":\"\",\"event\":\"discovery\",\"state\":\"done\",\"systems\":[\"\xef\xbf\xbd\"]}");
}

TEST(ctlProtocol, PhaseNames) {
    EXPECT_STREQ(phaseName(Phase::Host), "host");
    EXPECT_STREQ(phaseName(Phase::Connecting), "connecting");
    EXPECT_STREQ(phaseName(Phase::Password), "password");
    EXPECT_STREQ(phaseName(Phase::SigningIn), "signing-in");
    EXPECT_STREQ(phaseName(Phase::SignedIn), "signed-in");
}

using ctlState = ControllerTest;

TEST_F(ctlState, FirstStateOfAFreshInstallIsExact) {
    start();
    command({{"cmd", "getState"}});
    ASSERT_EQ(events.size(), 1u);  // no discovery event before a discovery ran
    EXPECT_EQ(
        events[0],
        R"({"app":{"build":"1.0.0.40","version":"2026 R1"},"error":"","event":"state","form":{"host":"","port":8443},"notice":"","phase":"host","siteKeySet":false,"systems":[],"target":{"host":"","name":"","port":8443,"savedPassword":false,"systemId":""}})");
}

TEST_F(ctlState, EventsAreDroppedWhileNoSinkIsSet) {
    start();
    controller->setEventSink(nullptr);
    command({{"cmd", "getState"}});
    command({{"cmd", "cancel"}});
    EXPECT_TRUE(events.empty());
    controller->setEventSink([this](const std::string& text) { events.push_back(text + "#2"); });
    command({{"cmd", "getState"}});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].substr(events[0].size() - 2), "#2");
}

TEST_F(ctlState, SiteKeyIsStoredAndDeleted) {
    start();
    command({{"cmd", "setSiteKey"}, {"siteKey", "k-secret-1"}});
    EXPECT_TRUE(lastState()["siteKeySet"].get<bool>());
    EXPECT_TRUE(world.siteKey == "k-secret-1");
    command({{"cmd", "setSiteKey"}});
    EXPECT_FALSE(lastState()["siteKeySet"].get<bool>());
    EXPECT_TRUE(world.siteKey.empty());
    EXPECT_EQ(eventsOf("state").size(), 2u);
}

TEST_F(ctlState, ForgetRemovesTheSystemAndLogs) {
    start();
    signInTyped(true, "sys-ctl-forget");
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    ASSERT_EQ(stateNow()["systems"].size(), 1u);
    const auto before = events.size();
    command({{"cmd", "forget"}, {"systemId", ""}});
    EXPECT_EQ(events.size(), before);
    command({{"cmd", "forget"}, {"systemId", "sys-ctl-forget"}});
    EXPECT_EQ(lastState()["systems"].size(), 0u);
    EXPECT_TRUE(log.contains("forgot system sys-ctl-forget and its saved password"));
    const auto config = nlohmann::json::parse(ostrel::test::readFile(settingsPath()), nullptr, false);
    ASSERT_TRUE(config.is_object());
    EXPECT_EQ(config["systems"].size(), 0u);
    EXPECT_EQ(config["lastSystemId"], "");
    // Forgetting an unknown id still answers with a state event.
    const auto states = eventsOf("state").size();
    command({{"cmd", "forget"}, {"systemId", "sys-ctl-unknown"}});
    EXPECT_EQ(eventsOf("state").size(), states + 1);
    EXPECT_TRUE(log.contains("forgot system sys-ctl-unknown and its saved password"));
}

TEST_F(ctlState, StateShowsKnownSystemsWithSavedPasswords) {
    start();
    signInTyped(true, "sys-ctl-b", "Bravo");
    controller->onMenuCommand(MenuCommand::SwitchSystem);
    const auto state = stateNow();
    ASSERT_EQ(state["systems"].size(), 1u);
    const auto& system = state["systems"][0];
    EXPECT_EQ(system["systemId"], "sys-ctl-b");
    EXPECT_EQ(system["name"], "Bravo");
    EXPECT_EQ(system["host"], "10.0.0.5");
    EXPECT_EQ(system["port"], 8443);
    EXPECT_EQ(system["lastUsedMs"], world.wallMs.load());
    EXPECT_TRUE(system["savedPassword"].get<bool>());
    EXPECT_EQ(system.size(), 6u);
    EXPECT_TRUE(state["target"]["savedPassword"].get<bool>());
    EXPECT_EQ(state["form"], (nlohmann::json{{"host", "10.0.0.5"}, {"port", 8443}}));
}

}  // namespace
}  // namespace ostrel::ctl::testing
