#pragma once
// How often a failed web process is recovered: at most kMaxRecoveries in a window of
// kWindowMs that opens with the first failure found outside any window.
#include <cstdint>
#include <string>

namespace ostrel::shell {

class RecoveryBudget {
public:
    static constexpr int kMaxRecoveries = 5;
    static constexpr std::int64_t kWindowMs = 600000;

    struct Verdict {
        bool recover = false;        // reload (within the budget)
        int recoveriesBefore = 0;    // the count before this failure, for the event
        std::string suffix;          // ", recovering" / ", recovery budget spent" / handled elsewhere
    };

    // `recoverable`: a kind the host recovers itself (render processes); others never use the
    // budget. `nowMs` is a monotonic clock.
    Verdict onFailure(std::int64_t nowMs, bool recoverable);

private:
    int count_ = 0;
    std::int64_t windowStart_ = 0;
};

}  // namespace ostrel::shell
