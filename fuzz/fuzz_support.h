#pragma once
// Shared by the fuzz targets: invariant checks that stop the run with a finding, a private
// scratch folder, and the small text scripts several targets read.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::fuzz {

// An invariant broke: print what and abort, which libFuzzer reports as a crash with the input.
[[noreturn]] inline void fail(const char* condition, const char* file, int line, const std::string& detail) {
    std::fprintf(stderr, "\ninvariant broken at %s:%d: %s\n  %s\n", file, line, condition, detail.c_str());
    std::abort();
}

#define FUZZ_CHECK(condition, detail)                                                 \
    do {                                                                              \
        if (!(condition)) ::ostrel::fuzz::fail(#condition, __FILE__, __LINE__, detail); \
    } while (0)

// A folder of this process, on tmpfs when there is one (the settings store syncs every save).
inline const std::filesystem::path& scratchDir() {
    static const std::filesystem::path dir = [] {
        std::string base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path().string();
        std::string pattern = base + "/ostrel-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        const std::filesystem::path made = pattern;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(scratchDir(), ec);
        });
        return made;
    }();
    return dir;
}

// `text` cut at every `separator`; the pieces keep everything else, empty ones included.
inline std::vector<std::string_view> splitOn(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
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

// Decimal digits at the start of `text` (at most 9), or `fallback` when there are none.
inline long leadingNumber(std::string_view text, long fallback) {
    long value = 0;
    std::size_t digits = 0;
    while (digits < text.size() && digits < 9 && text[digits] >= '0' && text[digits] <= '9') {
        value = value * 10 + (text[digits] - '0');
        ++digits;
    }
    return digits == 0 ? fallback : value;
}

inline bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

}  // namespace ostrel::fuzz
