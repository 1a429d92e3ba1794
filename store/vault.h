#pragma once
// Secrets kept in the OS credential store (Secret Service on Linux). Every failure reads as
// "absent"; a failed write logs a warning. Safe from any thread; no lock is taken.
#include <string>

namespace ostrel {

std::string credentialTarget(const std::string& systemId);  // "OstrelOps Control/" + systemId

std::string readPassword(const std::string& systemId);
bool savePassword(const std::string& systemId, const std::string& password);
void deletePassword(const std::string& systemId);
bool hasPassword(const std::string& systemId);

std::string readSiteKey();
bool saveSiteKey(const std::string& key);
void deleteSiteKey();
bool hasSiteKey();

}  // namespace ostrel
