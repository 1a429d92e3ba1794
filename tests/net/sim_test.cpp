// The simulator's own contract, which the controller and end-to-end tests rely on: sessions made
// by sign-in and ended by sign-out, the cookie the pages see, run-time config and bad options.
#include <string>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "tests/net/net_test_env.h"
#include "tests/support/sim_process.h"

namespace ostrel {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// A client that, unlike the product's, sends a session cookie when asked to.
class PageClient {
public:
    explicit PageClient(int port) : client_("127.0.0.1", port) {
        client_.enable_server_certificate_verification(false);
        client_.set_connection_timeout(5, 0);
        client_.set_read_timeout(5, 0);
    }
    httplib::Result get(const std::string& path, const std::string& token = {}) {
        return client_.Get(path.c_str(), headers(token));
    }
    httplib::Result post(const std::string& path, const std::string& body, const std::string& token = {}) {
        return client_.Post(path.c_str(), headers(token), body, "application/json");
    }

private:
    static httplib::Headers headers(const std::string& token) {
        if (token.empty()) return {};
        return {{"Cookie", "theme=dark; ostrel_control_session=" + token}};
    }
    httplib::SSLClient client_;
};

std::string elementText(const std::string& page, const std::string& id) {
    const std::string open = "id=\"" + id + "\">";
    const auto start = page.find(open);
    if (start == std::string::npos) return "<missing>";
    const auto from = start + open.size();
    return page.substr(from, page.find('<', from) - from);
}

TEST(net_Sim, SignInMakesASessionThatSignOutEnds) {
    test::SimProcess sim({"--password", "pw"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    PageClient page(sim.port());

    auto refused = page.post("/api/control-auth", R"({"password":"wrong"})");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 401);

    auto auth = page.post("/api/control-auth", R"({"password":"pw"})");
    ASSERT_TRUE(auth);
    ASSERT_EQ(auth->status, 200);
    const json answer = json::parse(auth->body, nullptr, false);
    ASSERT_TRUE(answer.is_object() && answer.contains("token") && answer["token"].is_string());
    const std::string token = answer["token"].get<std::string>();
    EXPECT_EQ(token.size(), 32u);

    auto control = page.get("/control/", token);
    ASSERT_TRUE(control);
    EXPECT_EQ(elementText(control->body, "cookie-state"), "valid");
    auto session = page.get("/api/control-session", token);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->status, 200);

    auto logout = page.post("/api/control-logout", "", token);
    ASSERT_TRUE(logout);
    EXPECT_EQ(logout->status, 200);

    session = page.get("/api/control-session", token);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->status, 401);
    control = page.get("/control/", token);
    ASSERT_TRUE(control);
    EXPECT_EQ(elementText(control->body, "cookie-state"), "unknown");
    // Without a cookie the session check is the machine's trust answer, not an expiry.
    session = page.get("/api/control-session");
    ASSERT_TRUE(session);
    EXPECT_EQ(session->status, 200);
    control = page.get("/control/");
    ASSERT_TRUE(control);
    EXPECT_EQ(elementText(control->body, "cookie-state"), "absent");
}

TEST(net_Sim, PagesCarryTheIdsEndToEndTestsUse) {
    test::SimProcess sim({"--system-name", "<Lab & Co>"});
    ASSERT_TRUE(sim.ready()) << sim.failure();
    PageClient page(sim.port());
    auto control = page.get("/controlx");
    ASSERT_TRUE(control);
    EXPECT_EQ(control->status, 200);
    for (const char* id : {"cookie-state", "host-object", "session-state", "session-polls", "page-path",
                           "sign-out-state", "popup-state", "source-tab-state"}) {
        EXPECT_NE(elementText(control->body, id), "<missing>") << id;
    }
    EXPECT_NE(control->body.find("'ostrelSourceTab'"), std::string::npos);
    EXPECT_NE(control->body.find("href=\"https://example.com/\""), std::string::npos);
    EXPECT_NE(control->body.find("Control UI: &lt;Lab &amp; Co&gt;"), std::string::npos);
    auto popup = page.get("/control/popup");
    ASSERT_TRUE(popup);
    EXPECT_NE(elementText(popup->body, "popup-page"), "<missing>");
    auto source = page.get("/source");
    ASSERT_TRUE(source);
    EXPECT_NE(elementText(source->body, "source-page"), "<missing>");
    auto missing = page.get("/elsewhere");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);
}

TEST(net_Sim, RuntimeConfigChangesAnswersAndRejectsTypos) {
    test::SimProcess sim;
    ASSERT_TRUE(sim.ready()) << sim.failure();
    PageClient page(sim.port());
    EXPECT_TRUE(sim.configure({{"trusted", "yes"}, {"omitSystemName", true}}));
    EXPECT_FALSE(sim.configure({{"trustd", true}}));
    EXPECT_FALSE(sim.configure({{"controlAuth", {{"status", "429"}}}}));
    auto session = page.get("/api/control-session");
    ASSERT_TRUE(session);
    EXPECT_EQ(json::parse(session->body, nullptr, false), json({{"trusted", "yes"}}));
    auto config = page.get("/api/source-config");
    ASSERT_TRUE(config);
    EXPECT_EQ(json::parse(config->body, nullptr, false), json({{"systemId", sim.systemId()}}));
    // The record holds client traffic only, in order.
    const auto requests = sim.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0]["seq"], 1);
    EXPECT_EQ(requests[1]["path"], "/api/source-config");
}

TEST(net_Sim, BadOptionsEndWithExitCodeTwo) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--no-such-switch"}, std::vector<std::string>{"--trusted", "{not json"},
          std::vector<std::string>{"--port", "70000"}, std::vector<std::string>{"--config-json", "{\"x\":1}"},
          std::vector<std::string>{"--address", "not-an-address", "--silence"}}) {
        std::vector<std::string> argv = {test::programPath("OSTREL_SIM")};
        argv.insert(argv.end(), args.begin(), args.end());
        test::ChildProcess sim(argv);
        EXPECT_EQ(sim.readAllStdout(10s), "") << args.front();
        EXPECT_EQ(sim.wait(10s), 2) << args.front();
    }
}

}  // namespace
}  // namespace ostrel
