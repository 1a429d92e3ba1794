// Placeholder until the system simulator lands.
#include <cstdio>

int main() {
    std::fputs("ostrel-system-sim: not available in this build\n", stderr);
    return 2;
}
