// One blocking HTTPS request on libcurl (OpenSSL): any certificate accepted, no redirects, no
// cookies, exactly the headers the systems expect, 8-second limits, a 30-second deadline for the
// whole request, a body cap near 1 MiB.
//
// Proxies: libcurl's default environment behaviour is kept (http_proxy/https_proxy/no_proxy), the
// counterpart of the machine's default proxy configuration that the desktop platform's client
// follows. Tests clear those variables so their requests stay on loopback.
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <string>

#include "common/utf.h"
#include "common/version.h"
#include "net/http_client.h"

namespace ostrel {
namespace {

constexpr std::size_t kBodyCap = 1048576;      // stop reading once the body is past this
constexpr std::size_t kRetryAfterMaxUnits = 63;  // longer Retry-After texts are dropped
constexpr long kPhaseLimitMs = 8000;
constexpr long kStallSeconds = 8;
// The phase limits only catch silence: a system that sends one byte now and then keeps them all
// satisfied for ever. Past this deadline the request ends whatever it is doing; the four phases
// of a request that only crawls fit inside it.
constexpr long kRequestDeadlineMs = 30000;

// The failures an operator can act on, by libcurl code. Everything else is reported as
// "<step> failed (libcurl error N)".
//
//  - A time-out in any phase (resolve, connect, TLS handshake under CONNECTTIMEOUT; a stalled send
//    or receive under LOW_SPEED) and the request's deadline are CURLE_OPERATION_TIMEDOUT; past
//    the headers the deadline only ends the body, like any other failure while reading it.
//  - A proxy name that does not resolve is a name failure like the host's own.
//  - Refused, unreachable network or host: CURLE_COULDNT_CONNECT.
//  - SEND/RECV errors are a connection reset or terminated by the peer (ECONNRESET, EPIPE); a
//    server that accepts the request and closes without a byte of answer (GOT_NOTHING) has
//    terminated the connection the same way.
//  - A TLS handshake that cannot complete (not a TLS server, no common protocol or cipher, the
//    server wants a client certificate): the secure-connection phrase. Certificate checks are off,
//    so PEER_FAILED_VERIFICATION cannot normally happen; it is listed so it could never become a
//    technical text.
//  - Before any transfer, a host text that libcurl cannot even place in a URL ("[]", "a b") is
//    given CURLE_COULDNT_RESOLVE_HOST: as a name it cannot be resolved. Other URL-building
//    failures read "curl_url failed (libcurl URL error N)" with libcurl's URL error number.
struct ErrorPhrase {
    CURLcode code;
    const char* text;
};
constexpr ErrorPhrase kErrorPhrases[] = {
    {CURLE_OPERATION_TIMEDOUT, "the connection timed out"},
    {CURLE_COULDNT_RESOLVE_HOST, "the host name could not be resolved"},
    {CURLE_COULDNT_RESOLVE_PROXY, "the host name could not be resolved"},
    {CURLE_COULDNT_CONNECT, "nothing answered at that address and port"},
    {CURLE_SEND_ERROR, "the connection was reset"},
    {CURLE_RECV_ERROR, "the connection was reset"},
    {CURLE_GOT_NOTHING, "the connection was reset"},
    {CURLE_SSL_CONNECT_ERROR, "the secure connection could not be set up"},
    {CURLE_SSL_CIPHER, "the secure connection could not be set up"},
    {CURLE_PEER_FAILED_VERIFICATION, "the secure connection could not be set up"},
    {CURLE_SSL_CLIENTCERT, "the secure connection could not be set up"},
};

std::once_flag gInitOnce;
CURLcode gInitResult = CURLE_FAILED_INIT;

// The first request in the process initialises libcurl; a failure stays for the process.
CURLcode globalInit() {
    std::call_once(gInitOnce, [] { gInitResult = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return gInitResult;
}

struct Transfer {
    CURL* handle = nullptr;
    HttpResult* result = nullptr;
    bool headersDone = false;   // the final (non-1xx) response's header block has ended
    bool retryAfterSeen = false;  // only the first Retry-After of the final response counts
};

std::size_t utf16Units(const std::string& utf8) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if ((c & 0xC0) == 0x80) continue;  // continuation byte
        units += c >= 0xF0 ? 2 : 1;        // a code point above U+FFFF takes a surrogate pair
    }
    return units;
}

// Header bytes are not necessarily UTF-8; bytes that are not become the Latin-1 characters they
// name, so the stored text is always valid UTF-8 for the JSON and the texts it ends up in.
std::string headerText(const std::string& bytes) {
    if (isValidUtf8(bytes)) return bytes;
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool startsWithNoCase(const char* data, std::size_t size, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    if (size < n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(data[i])) != std::tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    if (startsWithNoCase(data, n, "HTTP/")) {
        // A new response (after a 1xx) starts: nothing of the earlier one counts.
        t->result->retryAfter.clear();
        t->retryAfterSeen = false;
        return n;
    }
    if (n <= 2 && (n == 0 || data[0] == '\r' || data[0] == '\n')) {
        long code = 0;
        curl_easy_getinfo(t->handle, CURLINFO_RESPONSE_CODE, &code);
        if (code >= 200) t->headersDone = true;
        return n;
    }
    constexpr const char* kName = "retry-after:";
    if (!t->retryAfterSeen && startsWithNoCase(data, n, kName)) {
        t->retryAfterSeen = true;
        std::string value(data + std::strlen(kName), n - std::strlen(kName));
        // Both ends trimmed of the same set: a blank value ("Retry-After: \r\n") is no value.
        constexpr const char* kBlank = " \t\r\n";
        const auto first = value.find_first_not_of(kBlank);
        value = first == std::string::npos ? std::string()
                                           : value.substr(first, value.find_last_not_of(kBlank) - first + 1);
        value = headerText(value);
        t->result->retryAfter = utf16Units(value) <= kRetryAfterMaxUnits ? value : std::string();
    }
    return n;
}

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    t->result->body.append(data, n);
    if (t->result->body.size() > kBodyCap) {
        // Returning short makes libcurl stop the transfer (CURLE_WRITE_ERROR); the answer is kept.
        return 0;
    }
    return n;
}

std::string technicalText(const char* step, const char* kind, int code) {
    return std::string(step) + " failed (" + kind + " " + std::to_string(code) + ")";
}

struct EasyHandle {
    CURL* handle = curl_easy_init();
    curl_slist* headers = nullptr;
    ~EasyHandle() {
        if (handle != nullptr) curl_easy_cleanup(handle);
        curl_slist_free_all(headers);
    }
};

struct Url {
    CURLU* url = curl_url();
    ~Url() { curl_url_cleanup(url); }
};

}  // namespace

std::string curlErrorText(const char* step, int code) {
    for (const auto& entry : kErrorPhrases) {
        if (entry.code == code) return entry.text;
    }
    return technicalText(step, "libcurl error", code);
}

HttpResult httpsRequest(const std::string& method, const std::string& host, int port, const std::string& path,
                        const std::string& body) {
    HttpResult result;
    if (const CURLcode init = globalInit(); init != CURLE_OK) {
        result.error = curlErrorText("curl_global_init", init);
        return result;
    }

    // An IPv6 literal in brackets stands for the bare literal; "[]" is not one and stays as it is.
    std::string bare = host;
    if (host.size() >= 3 && host.front() == '[' && host.back() == ']') bare = host.substr(1, host.size() - 2);
    // libcurl's URL form wants every IPv6 literal (with or without a zone) in brackets.
    const bool ipv6 = bare.find(':') != std::string::npos && bare.front() != '[';
    const std::string urlHost = ipv6 ? "[" + bare + "]" : bare;

    Url url;
    if (url.url == nullptr) {
        result.error = curlErrorText("curl_url", CURLE_OUT_OF_MEMORY);
        return result;
    }
    if (const CURLUcode rc = curl_url_set(url.url, CURLUPART_HOST, urlHost.c_str(), 0); rc != CURLUE_OK) {
        // A host text that cannot even form a URL is a name that cannot be resolved.
        result.error = rc == CURLUE_BAD_HOSTNAME || rc == CURLUE_BAD_IPV6
                           ? curlErrorText("curl_url", CURLE_COULDNT_RESOLVE_HOST)
                           : technicalText("curl_url", "libcurl URL error", rc);
        return result;
    }
    CURLUcode rc = curl_url_set(url.url, CURLUPART_SCHEME, "https", 0);
    // Only the low 16 bits are a port; 0 means the scheme's default port (443), as on the desktop.
    const unsigned port16 = static_cast<unsigned>(port) & 0xFFFFu;
    if (rc == CURLUE_OK && port16 != 0) rc = curl_url_set(url.url, CURLUPART_PORT, std::to_string(port16).c_str(), 0);
    if (rc == CURLUE_OK) rc = curl_url_set(url.url, CURLUPART_PATH, path.c_str(), 0);
    if (rc != CURLUE_OK) {
        result.error = technicalText("curl_url", "libcurl URL error", rc);
        return result;
    }

    EasyHandle easy;
    if (easy.handle == nullptr) {
        result.error = curlErrorText("curl_easy_init", CURLE_FAILED_INIT);
        return result;
    }
    CURL* h = easy.handle;
    Transfer transfer;
    transfer.handle = h;
    transfer.result = &result;

    const std::string userAgent(kUserAgent);
    curl_easy_setopt(h, CURLOPT_CURLU, url.url);
    curl_easy_setopt(h, CURLOPT_USERAGENT, userAgent.c_str());
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    // The systems use self-signed certificates: no verification of any kind.
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, kPhaseLimitMs);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, kRequestDeadlineMs);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);

    // libcurl adds Accept and Expect by itself, and a form Content-Type for posted data.
    easy.headers = curl_slist_append(easy.headers, "Accept:");
    easy.headers = curl_slist_append(easy.headers, "Expect:");
    easy.headers = curl_slist_append(easy.headers, body.empty() ? "Content-Type:" : "Content-Type: application/json");

    if (method == "GET" && body.empty()) {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else if (method == "HEAD" && body.empty()) {
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else if (method == "POST" || !body.empty()) {
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
        if (method != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, easy.headers);

    const CURLcode code = curl_easy_perform(h);
    if (!transfer.headersDone) {
        // No complete answer: whatever arrived does not count.
        result.status = 0;
        result.body.clear();
        result.retryAfter.clear();
        result.error = curlErrorText("curl_easy_perform", code == CURLE_OK ? CURLE_GOT_NOTHING : code);
        return result;
    }
    // The headers arrived: a body that failed or was cut at the cap still makes an answer.
    long status = 0;
    if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status > 0) {
        result.status = static_cast<std::uint32_t>(status);
    }
    result.ok = true;
    return result;
}

}  // namespace ostrel
