// Prints the host script for the hosts given as arguments, for the script's own tests.
#include <iostream>

#include "ctl/page_policy.h"

int main(int argc, char** argv) {
    std::cout << ostrel::ctl::hostScriptText({argv + 1, argv + argc}) << std::flush;
    return std::cout ? 0 : 1;
}
