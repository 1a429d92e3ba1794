#pragma once
// Maps a URL path of the start page to a file of the UI folder. Nothing outside that folder is
// ever served: not through "..", encoded or not, and not through a symbolic link that leads out.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel::shell {

struct UiFile {
    std::filesystem::path path;  // canonical, inside the canonical UI folder
    std::string mimeType;
};

// `urlPath` is the path of the request URL as sent (percent escapes undecoded, no query);
// "/" means "/index.html". nullopt: not a readable regular file inside `uiDir`.
std::optional<UiFile> resolveUiFile(const std::filesystem::path& uiDir, std::string_view urlPath);

// By file name extension (case-insensitive); ES modules need text/javascript.
std::string mimeTypeFor(const std::filesystem::path& file);

}  // namespace ostrel::shell
