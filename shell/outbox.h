#pragma once
// Texts for the start page, queued from any thread and delivered on the UI thread.
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ostrel::shell {

class Outbox {
public:
    // `wake` asks the UI thread to drain the box soon; it must be safe from any thread.
    explicit Outbox(std::function<void()> wake) : wake_(std::move(wake)) {}

    // Any thread. Wakes the UI thread only when the box was empty: a drain that is already
    // due takes every text queued before it runs.
    void push(std::string text) {
        bool wasEmpty = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            wasEmpty = texts_.empty();
            texts_.push_back(std::move(text));
        }
        if (wasEmpty && wake_) wake_();
    }

    // UI thread: everything queued so far, in queue order; the box is left empty.
    std::vector<std::string> takeAll() {
        std::vector<std::string> out;
        std::lock_guard<std::mutex> lock(mutex_);
        out.swap(texts_);
        return out;
    }

private:
    std::function<void()> wake_;
    std::mutex mutex_;
    std::vector<std::string> texts_;
};

}  // namespace ostrel::shell
