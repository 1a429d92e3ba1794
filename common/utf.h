#pragma once
// Text is UTF-8 inside the program; UTF-16 exists only at Windows and WebView2 calls.
#include <string>
#include <string_view>

namespace ostrel {

// Converts the whole string; invalid sequences become U+FFFD (as the UTF-8 code page does).
// An empty input gives an empty output; nothing else is normalised.
std::u16string utf8ToUtf16(std::string_view text);
// Unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);
// Returns the text with every invalid UTF-8 sequence replaced by U+FFFD (valid text is unchanged).
std::string sanitizeUtf8(std::string_view text);
bool isValidUtf8(std::string_view text);

}  // namespace ostrel
