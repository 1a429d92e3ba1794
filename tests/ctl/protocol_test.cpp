// The start-page protocol as data: which command texts are acted on, and the exact event texts.
#include "ctl/bridge_protocol.h"

#include <gtest/gtest.h>

namespace ostrel::ctl {
namespace {

using Kind = Command::Kind;

TEST(ctlProtocol, CommandsAreMatchedExactlyAndArgumentsStrictlyTyped) {
    // Not an object, no or another "cmd", or an argument of another JSON type: ignored.
    // clang-format off
    const std::pair<const char*, Kind> cases[] = {
        {R"({"cmd":"getState"})", Kind::GetState}, {R"({"cmd":"back","extra":[1]})", Kind::Back},
        {R"({"cmd":"cancel"})", Kind::Cancel}, {R"({"cmd":"discoverSystems"})", Kind::DiscoverSystems},
        {R"({"cmd":"connect","host":"a","port":65535})", Kind::Connect}, {R"({"cmd":"connect","host":"a","port":1})", Kind::Connect},
        {R"({"cmd":"forget","systemId":"x"})", Kind::Forget}, {R"({"cmd":"setSiteKey","siteKey":"k"})", Kind::SetSiteKey},
        {R"({"cmd":"login","password":"p","remember":false})", Kind::Login}};
    const char* ignored[] = {R"("getState")", R"(["getState"])", "{\"cmd\":\"getState\"", R"({"cmd":"GetState"})",
        R"({"cmd":"getState "})", R"({})", R"({"cmd":""})", R"({"cmd":null})", "", R"({"cmd":7})", R"({"cmd":"remember"})",
        R"({"cmd":"connect","host":17})", R"({"cmd":"connect","host":"a","port":"8443"})",
        R"({"cmd":"connect","host":"a","port":8443.0})", R"({"cmd":"connect","host":"a","port":0})",
        R"({"cmd":"connect","host":"a","port":65536})", R"({"cmd":"connect","host":"a","port":-1})",
        R"({"cmd":"connect","host":"a","port":18446744073709551615})", R"({"cmd":"login","password":12345})",
        R"({"cmd":"login","password":"x","remember":1})", R"({"cmd":"forget","systemId":false})",
        R"({"cmd":"setSiteKey","siteKey":null})"};
    // clang-format on
    for (const char* text : ignored) EXPECT_EQ(parseCommand(text).kind, Kind::Ignored) << text;
    for (const auto& [text, kind] : cases) EXPECT_EQ(parseCommand(text).kind, kind) << text;
    // Not half-read: a command followed by a NUL, or nested deeper than any command.
    EXPECT_EQ(parseCommand(std::string(R"({"cmd":"getState"})") + '\0' + "x").kind, Kind::Ignored);
    EXPECT_EQ(parseCommand(R"({"cmd":"getState","x":)" + std::string(64, '[') + std::string(64, ']') + "}").kind,
              Kind::Ignored);

    const Command connect = parseCommand(R"({"cmd":"connect","port":65535})");
    EXPECT_TRUE(connect.host.empty() && connect.port == 65535);
    EXPECT_EQ(parseCommand(R"({"cmd":"connect"})").port, 8443);
    const Command login = parseCommand(R"({"cmd":"login"})");
    EXPECT_TRUE(login.remember && login.password.empty());
    EXPECT_FALSE(parseCommand(R"({"cmd":"login","password":"p","remember":false})").remember);
    EXPECT_EQ(parseCommand(R"({"cmd":"forget","systemId":"x"})").systemId, "x");
    EXPECT_EQ(parseCommand(R"({"cmd":"setSiteKey","siteKey":"k"})").siteKey, "k");
}

TEST(ctlProtocol, StateEventIsExactAndSurvivesTextThatIsNotUtf8) {
    // clang-format off
    const StateSnapshot state{Phase::SigningIn, "e", "n", "f", 1, Target{"h", 9, "s", std::string("bad\xff"), {"h", "i"}},
                              true, true, {{"s", "Name", "h", 9443, 1767225600123, true}}};
    // clang-format on
    EXPECT_EQ(stateEventText(state),
              R"({"app":{"build":"1.0.0.40","version":"2026 R1"},"error":"e","event":"state",)"
              R"("form":{"host":"f","port":1},"notice":"n","phase":"signing-in","siteKeySet":true,)"
              R"("systems":[{"host":"h","lastUsedMs":1767225600123,"name":"Name","port":9443,"savedPassword":true,)"
              R"("systemId":"s"}],"target":{"host":"h","name":"bad)"
              "\xEF\xBF\xBD"
              R"(","port":9,"savedPassword":true,"systemId":"s"}})");
    EXPECT_EQ(discoveryEventText("done", nlohmann::json::array({std::string("\xc3")}), "x"),
              "{\"error\":\"x\",\"event\":\"discovery\",\"state\":\"done\",\"systems\":[\"\xef\xbf\xbd\"]}");
    EXPECT_EQ(discoveryEventText("searching", nlohmann::json::object(), ""),
              R"({"error":"","event":"discovery","state":"searching","systems":[]})");
}

}  // namespace
}  // namespace ostrel::ctl
