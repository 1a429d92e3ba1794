#pragma once
// Standard input of the bridge cut into lines. Each byte is looked at once, however the input
// is split into reads: a long line arriving in many pieces is not searched again from its start.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel::cli {

class LineSplitter {
public:
    // Appends `bytes` and calls `onLine` with each line completed by them, without its "\n".
    template <typename OnLine>
    void feed(std::string_view bytes, OnLine&& onLine) {
        buffer_.append(bytes);
        std::size_t start = 0;
        for (;;) {
            const std::size_t newline = buffer_.find('\n', scanned_);
            if (newline == std::string::npos) break;
            onLine(std::string(buffer_, start, newline - start));
            start = scanned_ = newline + 1;
        }
        scanned_ = buffer_.size() - start;
        buffer_.erase(0, start);
    }

    // At the end of the input: the last line when it had no "\n" (nullopt when there is none).
    std::optional<std::string> finish() {
        if (buffer_.empty()) return std::nullopt;
        std::string rest;
        rest.swap(buffer_);
        scanned_ = 0;
        return rest;
    }

private:
    std::string buffer_;
    std::size_t scanned_ = 0;  // bytes of buffer_ known to hold no "\n"
};

}  // namespace ostrel::cli
