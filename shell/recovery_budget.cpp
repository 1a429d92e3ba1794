#include "shell/recovery_budget.h"

namespace ostrel::shell {

RecoveryBudget::Verdict RecoveryBudget::onFailure(std::int64_t nowMs, bool recoverable) {
    // The window is measured from its opening, not from the last failure.
    if (windowStart_ == 0 || nowMs - windowStart_ > kWindowMs) {
        windowStart_ = nowMs;
        count_ = 0;
    }
    Verdict verdict;
    verdict.recoveriesBefore = count_;
    if (!recoverable) {
        verdict.suffix = ", WebKitGTK recovers this one itself";
        return verdict;
    }
    if (count_ < kMaxRecoveries) {
        ++count_;
        verdict.recover = true;
        verdict.suffix = ", recovering";
    } else {
        verdict.suffix = ", recovery budget spent";
    }
    return verdict;
}

}  // namespace ostrel::shell
