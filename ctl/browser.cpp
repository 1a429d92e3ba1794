#include "ctl/browser.h"

namespace ostrel::ctl {

const char* decisionName(Decision decision) {
    switch (decision) {
        case Decision::Allow: return "allow";
        case Decision::Cancel: return "cancel";
        case Decision::OpenExternal: return "external";
        case Decision::Popup: return "popup";
        case Decision::Refuse: return "refuse";
    }
    return "refuse";
}

}  // namespace ostrel::ctl
