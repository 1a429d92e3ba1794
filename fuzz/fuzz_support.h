#pragma once
// Shared by the fuzz targets: a broken invariant aborts (libFuzzer keeps the input as a finding),
// a private scratch folder, quiet logging, and the pieces of the text scripts the targets read.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "log/log.h"
#include "net/http_client.h"

#define FUZZ_CHECK(condition, detail)                                                                                 \
    do {                                                                                                              \
        if (!(condition)) {                                                                                           \
            std::fprintf(stderr, "\n%s:%d: %s\n  %s\n", __FILE__, __LINE__, #condition, std::string(detail).c_str()); \
            std::abort();                                                                                             \
        }                                                                                                             \
    } while (0)

// Every level filtered: damaged inputs warn on every run and would fill a disk.
#define OSTREL_FUZZ_QUIET_LOGGING                                                                                      \
    extern "C" int LLVMFuzzerInitialize(int*, char***) {                                                               \
        ostrel::log::init(                                                                                             \
            {.source = "fuzz", .logDir = ostrel::fuzz::scratchDir() / "logs", .minLevel = 100, .consoleSink = false}); \
        return 0;                                                                                                      \
    }

namespace ostrel::fuzz {

// On tmpfs (the settings store syncs every save), removed at exit: the clean-up is registered once the
// path exists, so it runs before the path is destroyed.
inline const std::filesystem::path& scratchDir() {
    static const std::filesystem::path dir = [] {
        std::string pattern = "/dev/shm/ostrel-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        return std::filesystem::path(pattern);
    }();
    static const int cleanup = std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    });
    (void)cleanup;
    return dir;
}

inline void writeText(const std::filesystem::path& path, std::string_view text) {
    std::ofstream(path, std::ios::binary) << text;
}

// `text` cut at every `separator`, empty pieces kept.
inline std::vector<std::string_view> splitOn(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (std::size_t at; (at = text.find(separator)) != std::string_view::npos; text.remove_prefix(at + 1)) {
        parts.push_back(text.substr(0, at));
    }
    parts.push_back(text);
    return parts;
}

// The first word (up to a blank) and the rest after it.
inline std::pair<std::string_view, std::string_view> firstWord(std::string_view text) {
    const std::size_t blank = std::min(text.find(' '), text.size());
    return {text.substr(0, blank), text.substr(std::min(blank + 1, text.size()))};
}

// Up to 9 leading decimal digits, or `fallback` when there are none.
inline long leadingNumber(std::string_view text, long fallback) {
    std::from_chars(text.data(), text.data() + std::min<std::size_t>(text.size(), 9), fallback);
    return fallback < 0 ? 0 : fallback;
}

// "STATUS[:RETRY-AFTER] BODY"; STATUS "x" is a transport failure.
inline HttpResult scriptedAnswer(std::string_view text) {
    const auto [head, body] = firstWord(text);
    const std::size_t colon = std::min(head.find(':'), head.size());
    if (head.substr(0, colon) == "x") return HttpResult{false, 0, {}, {}, "the connection timed out"};
    return HttpResult{true,
                      static_cast<std::uint32_t>(leadingNumber(head.substr(0, colon), 200)),
                      std::string(body),
                      std::string(head.substr(std::min(colon + 1, head.size()))),
                      {}};
}

}  // namespace ostrel::fuzz
