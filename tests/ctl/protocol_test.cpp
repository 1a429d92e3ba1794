// The start-page protocol as data (which command texts are acted on, the exact event texts), and
// the bridge's input lines however the bytes are split into reads.
#include <gtest/gtest.h>

#include "ctl/bridge_protocol.h"
#include "tools/cli/line_splitter.h"

namespace ostrel::ctl {
namespace {

TEST(ctlProtocol, CommandsAreMatchedExactlyAndArgumentsStrictlyTyped) {
    // A command in full: "kind|host|port|password|remember|systemId|siteKey".
    const auto parsed = [](const std::string& text) {
        const char* kinds[] = {"ignored", "getState", "connect",  "login",     "cancel",
                               "back",    "forget",   "discover", "setSiteKey"};
        const Command c = parseCommand(text);
        return std::string(kinds[static_cast<int>(c.kind)]) + "|" + c.host + "|" + std::to_string(c.port) + "|" +
               c.password + "|" + (c.remember ? "1" : "0") + "|" + c.systemId + "|" + c.siteKey;
    };
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {R"({"cmd":"getState"})", "getState||8443||1||"}, {R"({"cmd":"back","extra":[1]})", "back||8443||1||"},
        {R"({"cmd":"cancel"})", "cancel||8443||1||"}, {R"({"cmd":"discoverSystems"})", "discover||8443||1||"},
        {R"({"cmd":"connect","host":"a","port":65535})", "connect|a|65535||1||"},
        {R"({"cmd":"connect","host":"a","port":1})", "connect|a|1||1||"}, {R"({"cmd":"connect"})", "connect||8443||1||"},
        {R"({"cmd":"login"})", "login||8443||1||"}, {R"({"cmd":"login","password":"p","remember":false})", "login||8443|p|0||"},
        {R"({"cmd":"forget","systemId":"x"})", "forget||8443||1|x|"}, {R"({"cmd":"setSiteKey","siteKey":"k"})", "setSiteKey||8443||1||k"}};
    // Not an object, no or another "cmd", an argument of another JSON type, or not read whole.
    const std::string ignored[] = {R"("getState")", R"(["getState"])", "{\"cmd\":\"getState\"", R"({"cmd":"GetState"})",
        R"({"cmd":"getState "})", R"({})", R"({"cmd":""})", R"({"cmd":null})", "", R"({"cmd":7})", R"({"cmd":"remember"})",
        R"({"cmd":"connect","host":17})", R"({"cmd":"connect","host":"a","port":"8443"})",
        R"({"cmd":"connect","host":"a","port":8443.0})", R"({"cmd":"connect","host":"a","port":0})",
        R"({"cmd":"connect","host":"a","port":65536})", R"({"cmd":"connect","host":"a","port":-1})",
        R"({"cmd":"connect","host":"a","port":18446744073709551615})", R"({"cmd":"login","password":12345})",
        R"({"cmd":"login","password":"x","remember":1})", R"({"cmd":"forget","systemId":false})",
        R"({"cmd":"setSiteKey","siteKey":null})", std::string(R"({"cmd":"getState"})") + '\0' + "x",
        R"({"cmd":"getState","x":)" + std::string(64, '[') + std::string(64, ']') + "}"};
    // clang-format on
    for (const auto& [text, command] : cases) EXPECT_EQ(parsed(text), command) << text;
    for (const auto& text : ignored) EXPECT_EQ(parseCommand(text).kind, Command::Kind::Ignored) << text;
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

TEST(ctlBridgeLines, LinesAreTheSameWhateverTheReads) {
    using V = std::vector<std::string>;
    const auto split = [](const V& reads) {
        cli::LineSplitter splitter;
        V lines;
        for (const auto& read : reads) splitter.feed(read, [&](std::string line) { lines.push_back(line); });
        if (auto last = splitter.finish()) lines.push_back("<end>" + *last);
        return lines;
    };
    // clang-format off
    const std::pair<V, V> cases[] = {
        {{"a\nb\n"}, {"a", "b"}}, {{"a", "b\n", "c"}, {"ab", "<end>c"}}, {{"\n\n"}, {"", ""}}, {{}, {}}, {{"", ""}, {}},
        {{"long", "er", "", "line\nx\ny", "z\n"}, {"longerline", "x", "yz"}},
        {{"a\r\n"}, {"a\r"}},  // the bridge drops the "\r" itself
        {{std::string("nul\0in", 6), "side\n"}, {std::string("nul\0inside", 10)}}};
    // clang-format on
    for (const auto& [reads, lines] : cases) EXPECT_EQ(split(reads), lines);
}

}  // namespace
}  // namespace ostrel::ctl
