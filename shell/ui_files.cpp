#include "shell/ui_files.h"

#include <array>
#include <system_error>
#include <utility>

namespace ostrel::shell {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decoding that refuses what no file name of the bundle holds: malformed escapes,
// control characters and backslashes (which some readers take for separators).
std::optional<std::string> decodePath(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            c = static_cast<char>(high * 16 + low);
            i += 2;
        }
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '\\') return std::nullopt;
        out.push_back(c);
    }
    return out;
}

bool isInside(const std::filesystem::path& folder, const std::filesystem::path& file) {
    auto f = folder.begin();
    auto p = file.begin();
    for (; f != folder.end(); ++f, ++p) {
        if (p == file.end() || *f != *p) return false;
    }
    return p != file.end();
}

}  // namespace

std::optional<UiFile> resolveUiFile(const std::filesystem::path& uiDir, std::string_view urlPath) {
    if (urlPath.empty() || urlPath.front() != '/') return std::nullopt;
    const auto decoded = decodePath(urlPath);
    if (!decoded) return std::nullopt;

    std::filesystem::path relative;
    std::size_t start = 1;
    while (start <= decoded->size()) {
        const std::size_t end = std::min(decoded->find('/', start), decoded->size());
        const std::string segment = decoded->substr(start, end - start);
        if (segment == "." || segment == "..") return std::nullopt;
        if (segment.empty() && end != decoded->size()) return std::nullopt;  // "//"
        if (!segment.empty()) relative /= segment;
        start = end + 1;
    }
    if (relative.empty() || decoded->back() == '/') relative /= "index.html";

    std::error_code error;
    const std::filesystem::path root = std::filesystem::canonical(uiDir, error);
    if (error) return std::nullopt;
    // canonical() follows every symbolic link, so a link that leads out of the folder fails here.
    const std::filesystem::path file = std::filesystem::canonical(root / relative, error);
    if (error || !isInside(root, file)) return std::nullopt;
    if (!std::filesystem::is_regular_file(file, error) || error) return std::nullopt;
    return UiFile{file, mimeTypeFor(file)};
}

std::string mimeTypeFor(const std::filesystem::path& file) {
    static constexpr std::array<std::pair<const char*, const char*>, 16> kTypes{{
        {".html", "text/html"},       {".htm", "text/html"},          {".js", "text/javascript"},
        {".mjs", "text/javascript"},  {".css", "text/css"},           {".json", "application/json"},
        {".svg", "image/svg+xml"},    {".png", "image/png"},          {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},      {".gif", "image/gif"},          {".webp", "image/webp"},
        {".ico", "image/x-icon"},     {".woff2", "font/woff2"},       {".woff", "font/woff"},
        {".txt", "text/plain"},
    }};
    std::string extension = file.extension().string();
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    for (const auto& [suffix, type] : kTypes) {
        if (extension == suffix) return type;
    }
    return "application/octet-stream";
}

}  // namespace ostrel::shell
