#include "tools/sim/sim_server.h"

#include <strings.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include <httplib.h>
#include <openssl/rand.h>

#include "tools/sim/sim_pages.h"
#include "tools/sim/sim_tls.h"

namespace ostrel::sim {
namespace {

using nlohmann::json;

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string dumpJson(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

// httplib adds the connection's addresses to the request's headers; they were never sent.
bool isLibraryHeader(const std::string& name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

}  // namespace

std::string SystemBehaviour::cookieState(const std::string& cookieHeader, std::string& token) {
    token.clear();
    bool present = false;
    std::size_t pos = 0;
    while (pos <= cookieHeader.size()) {
        auto end = cookieHeader.find(';', pos);
        if (end == std::string::npos) end = cookieHeader.size();
        const std::string pair = trim(cookieHeader.substr(pos, end - pos));
        const auto eq = pair.find('=');
        if (eq != std::string::npos && trim(pair.substr(0, eq)) == kSessionCookie) {
            present = true;
            token = trim(pair.substr(eq + 1));
            break;
        }
        pos = end + 1;
    }
    if (!present) return "absent";
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.count(token) != 0 ? "valid" : "unknown";
}

std::string SystemBehaviour::newToken() {
    if (const auto fixed = config_.fixedToken()) return *fixed;
    unsigned char bytes[16];
    RAND_bytes(bytes, sizeof bytes);
    static const char* digits = "0123456789abcdef";
    std::string token;
    for (const unsigned char b : bytes) {
        token += digits[b >> 4];
        token += digits[b & 15];
    }
    return token;
}

SimAnswer SystemBehaviour::api(Endpoint endpoint, const SimRequest& request) {
    const EndpointAnswer settings = config_.answer(endpoint);
    SimAnswer out;
    out.delayMs = settings.delayMs;
    out.headers = settings.headers;
    if (settings.setCookie) out.headers.emplace_back("Set-Cookie", *settings.setCookie);
    if (settings.redirect) {
        out.status = 302;
        out.headers.emplace_back("Location", *settings.redirect);
        out.body = "{}";
        return out;
    }
    if (settings.retryAfter) out.headers.emplace_back("Retry-After", *settings.retryAfter);

    json body = json::object();
    std::string token;
    switch (endpoint) {
        case Endpoint::SourceConfig:
            body = config_.sourceConfigBody();
            out.status = settings.status.value_or(200);
            break;
        case Endpoint::ControlSession:
            if (cookieState(request.cookieHeader, token) == "unknown") {
                out.status = settings.status.value_or(401);
                body = {{"error", "session ended"}};
            } else {
                out.status = settings.status.value_or(200);
                body = config_.sessionBody();
            }
            break;
        case Endpoint::ControlAuth: {
            if (settings.status) {
                out.status = *settings.status;
            } else {
                const json sent = json::parse(request.body, nullptr, false);
                const bool match = sent.is_object() && sent.contains("password") && sent["password"].is_string() &&
                                   sent["password"].get<std::string>() == config_.password();
                out.status = match ? 200 : 401;
            }
            if (out.status == 200 && !settings.body) {
                const std::string issued = newToken();
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    sessions_.insert(issued);
                }
                body = {{"token", issued}};
            } else if (out.status == 401) {
                body = {{"error", "incorrect password"}};
            } else if (out.status == 429) {
                body = {{"error", "too many attempts"}};
            }
            break;
        }
        case Endpoint::ControlLogout:
            if (cookieState(request.cookieHeader, token) != "absent") {
                std::lock_guard<std::mutex> lock(mutex_);
                sessions_.erase(token);
            }
            out.status = settings.status.value_or(200);
            break;
    }
    if (settings.body) {
        out.body = *settings.body;
    } else if (settings.bigBodyMiB > 0) {
        // Padding first: a body cut short anywhere is not JSON and lacks the real members.
        std::string rest = dumpJson(body);
        out.body = "{\"padding\":\"" + std::string(static_cast<std::size_t>(settings.bigBodyMiB) << 20, 'x') + "\"" +
                   (rest.size() > 2 ? "," + rest.substr(1) : "}");
    } else {
        out.body = dumpJson(body);
    }
    return out;
}

SimAnswer SystemBehaviour::answer(const SimRequest& request) {
    static const struct {
        const char* path;
        const char* method;
        Endpoint endpoint;
    } kApi[] = {{"/api/source-config", "GET", Endpoint::SourceConfig},
                {"/api/control-session", "GET", Endpoint::ControlSession},
                {"/api/control-auth", "POST", Endpoint::ControlAuth},
                {"/api/control-logout", "POST", Endpoint::ControlLogout}};
    for (const auto& api : kApi) {
        if (request.path != api.path) continue;
        if (request.method != api.method) {
            SimAnswer wrong;
            wrong.status = 405;
            wrong.body = "{\"error\":\"method not allowed\"}";
            wrong.headers.emplace_back("Allow", api.method);
            return wrong;
        }
        return this->api(api.endpoint, request);
    }

    SimAnswer page;
    page.contentType = "text/html; charset=utf-8";
    std::string token;
    if (request.method != "GET") {
        page.status = 405;
        page.body = "method not allowed\n";
        page.contentType = "text/plain";
    } else if (request.path == "/control/export.csv") {
        // An export as a system offers it: a file to save, not a page to show.
        page.contentType = "application/octet-stream";
        page.body = "name,value\nexample,1\n";
        page.headers.emplace_back("Content-Disposition", "attachment; filename=\"export.csv\"");
    } else if (request.path == "/control/popup") {
        page.body = popupPage(cookieState(request.cookieHeader, token));
    } else if (request.path.rfind("/control", 0) == 0) {
        page.body = controlPage(config_.systemNameText(), cookieState(request.cookieHeader, token), config_.pollMs());
    } else if (request.path == "/source") {
        page.body = sourcePage();
    } else {
        page.status = 404;
        page.body = "not found\n";
        page.contentType = "text/plain";
    }
    return page;
}

int runHttpsServer(const std::string& address, int port, const Identity& identity, SystemBehaviour& behaviour,
                   Recorder& recorder, const std::function<void(int boundPort)>& ready) {
    httplib::SSLServer server(identity.cert.get(), identity.key.get());
    if (!server.is_valid()) {
        std::fputs("ostrel-system-sim: the TLS server could not be set up\n", stderr);
        return 2;
    }
    // Slow answers (--delay-ms) hold a worker each; keep room for many.
    server.new_task_queue = [] { return new httplib::ThreadPool(32); };
    // Headers and body leave in separate TLS records; without this, Nagle and delayed ACKs add
    // tens of milliseconds to every answer.
    server.set_tcp_nodelay(true);
    auto handler = [&behaviour, &recorder](const httplib::Request& req, httplib::Response& res) {
        RecordedRequest record;
        record.method = req.method;
        record.target = req.target;
        record.path = req.path;
        record.body = req.body;
        record.remote = req.remote_addr;
        SimRequest request{req.method, req.path, {}, req.body};
        for (const auto& [name, value] : req.headers) {
            if (isLibraryHeader(name)) continue;
            record.headers.emplace_back(name, value);
            if (::strcasecmp(name.c_str(), "Cookie") == 0) {
                if (!request.cookieHeader.empty()) request.cookieHeader += "; ";
                request.cookieHeader += value;
            }
        }
        recorder.record(record);
        const SimAnswer answer = behaviour.answer(request);
        if (answer.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(answer.delayMs));
        res.status = answer.status;
        for (const auto& [name, value] : answer.headers) res.set_header(name, value);
        res.set_content(answer.body, answer.contentType.c_str());
    };
    const std::string all = ".*";
    server.Get(all, handler);
    server.Post(all, handler);
    server.Put(all, handler);
    server.Patch(all, handler);
    server.Delete(all, handler);
    server.Options(all, handler);

    int bound = port;
    if (port == 0) {
        bound = server.bind_to_any_port(address);
        if (bound <= 0) bound = -1;
    } else if (!server.bind_to_port(address, port)) {
        bound = -1;
    }
    if (bound < 0) {
        std::fprintf(stderr, "ostrel-system-sim: cannot listen on %s port %d\n", address.c_str(), port);
        return 2;
    }
    ready(bound);
    server.listen_after_bind();
    return 0;
}

}  // namespace ostrel::sim
