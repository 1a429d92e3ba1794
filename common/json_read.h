#pragma once
// Strict readers for JSON from pages, disk and the network: an absent member leaves `out` as it
// is (the caller's default); a member of another JSON type reports false instead of throwing.
#include <string>

#include <nlohmann/json.hpp>

namespace ostrel::json_read {

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
