#pragma once
// The request log tests read: one JSON object per request, appended with a single write each.
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ostrel::sim {

struct RecordedRequest {
    std::string method;
    std::string target;  // path and query as requested
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string remote;
};

class Recorder {
public:
    // Empty path: records nothing. False when the file cannot be opened.
    bool open(const std::string& path, std::string& error);
    void record(const RecordedRequest& request);
    ~Recorder();

private:
    std::mutex mutex_;
    int fd_ = -1;
    std::uint64_t seq_ = 0;
};

}  // namespace ostrel::sim
