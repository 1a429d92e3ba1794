#include "ctl/url_parse.h"

#include <curl/curl.h>

#include <memory>

namespace ostrel::ctl {
namespace {

struct CurlUrlDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

// One part of a parsed URL; nullopt when the URL has no such part (or curl refuses to give it).
std::optional<std::string> urlPart(CURLU* handle, CURLUPart part, unsigned int flags = 0) {
    char* value = nullptr;
    if (curl_url_get(handle, part, &value, flags) != CURLUE_OK || value == nullptr) return std::nullopt;
    std::string text(value);
    curl_free(value);
    return text;
}

}  // namespace

std::optional<CrackedUrl> parseUrl(const std::string& url) {
    // curl reads a C string: a NUL would end the URL early.
    if (url.find('\0') != std::string::npos) return std::nullopt;
    CurlUrl handle(curl_url());
    if (!handle) return std::nullopt;
    // Any scheme parses (or fails cleanly); the path is kept as given: no URL decoding, and no
    // dot-segment removal, which curl would do by its own rules rather than a browser's.
    if (curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) !=
        CURLUE_OK)
        return std::nullopt;

    // curl takes a backslash before "@" as part of the user name, where a browser ends the
    // host at it ("https://other\@10.0.0.5/" is a page of "other" to the browser): the two
    // readings disagree about the host, so such a URL counts as unparseable.
    for (const CURLUPart part : {CURLUPART_USER, CURLUPART_PASSWORD}) {
        if (const auto text = urlPart(handle.get(), part); text && text->find('\\') != std::string::npos)
            return std::nullopt;
    }

    CrackedUrl out;
    out.scheme = urlPart(handle.get(), CURLUPART_SCHEME).value_or("");
    std::string host = urlPart(handle.get(), CURLUPART_HOST).value_or("");
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    // A scoped IPv6 literal is another address than the bare one: keep its zone.
    if (const auto zone = urlPart(handle.get(), CURLUPART_ZONEID)) host += "%" + *zone;
    out.host = std::move(host);

    std::string path = urlPart(handle.get(), CURLUPART_PATH).value_or("");
    if (const auto query = urlPart(handle.get(), CURLUPART_QUERY)) path += "?" + *query;
    if (const auto fragment = urlPart(handle.get(), CURLUPART_FRAGMENT)) path += "#" + *fragment;
    out.path = std::move(path);
    return out;
}

}  // namespace ostrel::ctl
