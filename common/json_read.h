#pragma once
// JSON from pages, disk and the network: one parser entry with the limits every such input
// shares, and strict member readers. An absent member leaves `out` as it is (the caller's
// default); a member of another JSON type reports false instead of throwing.
#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace ostrel::json_read {

// Deeper nesting than any real message, offer, answer or file has. The parser itself copes
// with any depth, but copying, comparing and serialising a value recurse once per level, so a
// few tens of thousands of levels overflow the stack.
inline constexpr std::size_t kMaxDepth = 64;

// Whether no array or object in `text` is nested deeper than `limit` (brackets inside strings
// do not count). Meant for text about to be parsed: for malformed text the answer is only a guess.
bool depthWithin(std::string_view text, std::size_t limit = kMaxDepth);

// Parses untrusted text without exceptions. Discarded (is_discarded()) when the text is not
// JSON, nests deeper than kMaxDepth, or holds a NUL byte anywhere: the parser would stop at the
// NUL and accept the text before it, so "{...}\0junk" would pass for "{...}".
nlohmann::json parse(std::string_view text);

inline bool readString(const nlohmann::json& object, const char* key, std::string& out) {
    const auto it = object.find(key);
    if (it == object.end()) return true;
    if (!it->is_string()) return false;
    out = it->get_ref<const std::string&>();
    return true;
}

inline bool readBool(const nlohmann::json& object, const char* key, bool& out) {
    const auto it = object.find(key);
    if (it == object.end()) return true;
    if (!it->is_boolean()) return false;
    out = it->get<bool>();
    return true;
}

}  // namespace ostrel::json_read
