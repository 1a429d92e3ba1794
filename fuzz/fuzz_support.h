#pragma once
// Shared by the fuzz targets: a broken invariant stops the run with a finding, a private scratch
// folder, quiet logging, and the pieces of the small text scripts several targets read.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "net/http_client.h"
#include "log/log.h"

namespace ostrel::fuzz {

// Aborting is what libFuzzer reports as a crash, with the input that caused it.
#define FUZZ_CHECK(condition, detail)                                                                      \
    do {                                                                                                   \
        if (!(condition)) {                                                                                \
            std::fprintf(stderr, "\ninvariant broken at %s:%d: %s\n  %s\n", __FILE__, __LINE__, #condition, \
                         std::string(detail).c_str());                                                     \
            std::abort();                                                                                  \
        }                                                                                                  \
    } while (0)

// On tmpfs when there is one: the settings store syncs every save.
inline const std::filesystem::path& scratchDir() {
    static const std::filesystem::path dir = [] {
        std::string pattern = (std::filesystem::exists("/dev/shm") ? std::string("/dev/shm")
                                                                   : std::filesystem::temp_directory_path().string()) +
                              "/ostrel-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(scratchDir(), ec);
        });
        return std::filesystem::path(pattern);
    }();
    return dir;
}

inline void writeText(const std::filesystem::path& path, std::string_view text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

// Every level filtered: damaged inputs warn on every run and would fill a disk.
inline void quietLogging() {
    log::LogConfig config;
    config.source = "fuzz";
    config.logDir = scratchDir() / "logs";
    config.consoleSink = false;
    config.minLevel = 100;
    log::init(config);
}

inline bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

// `text` cut at every `separator`, empty pieces kept.
inline std::vector<std::string_view> splitOn(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

// The first word (up to a blank) and the rest after it.
inline std::pair<std::string_view, std::string_view> firstWord(std::string_view text) {
    const std::size_t blank = text.find(' ');
    if (blank == std::string_view::npos) return {text, {}};
    return {text.substr(0, blank), text.substr(blank + 1)};
}

// Up to 9 leading decimal digits, or `fallback` when there are none.
inline long leadingNumber(std::string_view text, long fallback) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return fallback;
    long value = fallback;
    std::from_chars(text.data(), text.data() + std::min<std::size_t>(text.size(), 9), value);
    return value;
}

// A scripted HTTP answer, "STATUS[:RETRY-AFTER] BODY"; STATUS "x" is a transport failure.
inline HttpResult scriptedAnswer(std::string_view text) {
    HttpResult result;
    const auto [head, body] = firstWord(text);
    const std::size_t colon = head.find(':');
    if (head.substr(0, colon) == "x") {
        result.error = "the connection timed out";
        return result;
    }
    result.ok = true;
    result.status = static_cast<std::uint32_t>(leadingNumber(head.substr(0, colon), 200));
    if (colon != std::string_view::npos) result.retryAfter = std::string(head.substr(colon + 1));
    result.body = std::string(body);
    return result;
}

}  // namespace ostrel::fuzz
