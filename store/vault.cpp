#include "store/vault.h"

namespace ostrel {

std::string credentialTarget(const std::string& systemId) { return "OstrelOps Control/" + systemId; }

}  // namespace ostrel
