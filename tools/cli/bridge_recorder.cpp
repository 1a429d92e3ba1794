#include "tools/cli/bridge_recorder.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace ostrel::cli {

using nlohmann::json;

void BridgeOutput::line(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void BridgeOutput::action(const std::string& name, json members) {
    members["action"] = name;
    line(members.dump(-1, ' ', false, json::error_handler_t::replace));
}

std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(kHex[digest[i] >> 4]);
        hex.push_back(kHex[digest[i] & 0x0F]);
    }
    return hex;
}

json hostsInHostScript(const std::string& script) {
    // The array sits between the fixed opening and the first line break; JSON escapes any line
    // break inside a host, so that is the array's end plus its ";".
    static constexpr const char* kOpening = "(function () {\n  var hosts = ";
    const std::size_t openingLength = std::strlen(kOpening);
    if (script.compare(0, openingLength, kOpening) != 0) return nullptr;
    const std::size_t end = script.find('\n', openingLength);
    if (end == std::string::npos || end == openingLength || script[end - 1] != ';') return nullptr;
    json hosts = json::parse(script.substr(openingLength, end - 1 - openingLength), nullptr, false);
    if (hosts.is_discarded() || !hosts.is_array()) return nullptr;
    return hosts;
}

RecordingView::RecordingView(BridgeOutput& out, std::string role, std::function<void()> onClosePopups)
    : out_(out), role_(std::move(role)), onClosePopups_(std::move(onClosePopups)) {}

void RecordingView::act(const std::string& name, json members) {
    members["view"] = role_;
    out_.action(name, std::move(members));
}

void RecordingView::navigate(const std::string& url) {
    act("navigate", {{"url", url}});
}

void RecordingView::addDocumentScript(const std::string& script, ScriptDone done) {
    static long nextId = 1;
    const std::string id = "script-" + std::to_string(nextId++);
    act("addScript", {{"id", id}, {"hosts", hostsInHostScript(script)}});
    if (done) done(true, id, 0);
}

void RecordingView::removeDocumentScript(const std::string& id) {
    act("removeScript", {{"id", id}});
}

void RecordingView::executeScript(const std::string& script) {
    act("executeScript", {{"script", script}});
}

bool RecordingView::setCookie(const ctl::SessionCookie& cookie) {
    act("setCookie", {{"name", cookie.name},
                      {"domain", cookie.domain},
                      {"path", cookie.path},
                      {"httpOnly", cookie.httpOnly},
                      {"secure", cookie.secure},
                      {"sameSite", cookie.sameSite},
                      {"expires", cookie.expires ? json(*cookie.expires) : json(nullptr)},
                      {"valueSha256", sha256Hex(cookie.value)}});
    return true;
}

bool RecordingView::deleteCookies(const std::string& name, const std::string& domain, const std::string& path) {
    act("deleteCookies", {{"name", name}, {"domain", domain}, {"path", path}});
    return true;
}

void RecordingView::clearCertificateDecisions() {
    act("clearCertificateDecisions");
}

void RecordingView::closePopups() {
    act("closePopups");
    if (onClosePopups_) onClosePopups_();
}

void RecordingView::openExternal(const std::string& url) {
    act("openExternal", {{"url", url}});
}

void RecordingWindow::setTitle(const std::string& title) {
    out_.action("title", {{"text", title}});
}

void RecordingWindow::setSessionMenuEnabled(bool enabled) {
    out_.action("menuEnabled", {{"enabled", enabled}});
}

void RecordingWindow::startSignOutTimer(int milliseconds) {
    timerDeadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
}

void RecordingWindow::wake() {
    signalEventFd(wakeFd_);
}

void signalEventFd(int fd) {
    const std::uint64_t one = 1;
    // A full counter still leaves the fd readable, which is all the loop needs.
    [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
}

}  // namespace ostrel::cli
