#pragma once
// What every network test needs: no proxy from the environment (requests stay on loopback),
// and a way to tell whether name look-ups are confined to the test's network namespace.
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace ostrel::test {

class NoProxyEnv {
public:
    NoProxyEnv() {
        for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
            envs_.push_back(std::make_unique<ScopedEnv>(name, std::nullopt));
        }
    }

private:
    std::vector<std::unique_ptr<ScopedEnv>> envs_;
};

// Name look-ups may only run where they cannot leave the machine: inside the private namespace.
inline bool lookupsConfined() {
    const char* inNetns = std::getenv("OSTREL_IN_NETNS");
    const char* noNetns = std::getenv("OSTREL_NO_NETNS");
    return inNetns != nullptr && std::string(inNetns) == "1" && (noNetns == nullptr || *noNetns == '\0');
}

// The environment for a child program: the caller's, without proxies.
inline std::map<std::string, std::string> childEnvWithoutProxy() {
    std::map<std::string, std::string> env;
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        env[name] = "\x01";
    }
    return env;
}

}  // namespace ostrel::test
