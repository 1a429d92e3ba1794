// Prints the host script for the hosts given as arguments, for the script's own tests.
#include <cstdio>
#include <string>
#include <vector>

#include "ctl/page_policy.h"

int main(int argc, char** argv) {
    const std::vector<std::string> hosts(argv + 1, argv + argc);
    const std::string text = ostrel::ctl::hostScriptText(hosts);
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() ? 0 : 1;
}
