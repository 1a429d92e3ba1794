// Saves the settings over and over so a test can kill it at random moments.
// Usage: store_save_loop <config path> [iterations]   (no count: until killed)
// Prints "ready N" once the existing file (state N) is loaded, then saves states N+1, N+2, ...
#include <cstdio>
#include <cstdlib>
#include <string>

#include "store/settings_store.h"
#include "tests/store/save_loop_state.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <config path> [iterations]\n", argv[0]);
        return 2;
    }
    ostrel::SettingsStore store{std::filesystem::path(argv[1])};
    store.load();
    const long start = ostrel::test::loopStateNumber(store.systemsSnapshot());
    if (start < 0) return 3;
    const long count = argc > 2 ? std::atol(argv[2]) : -1;
    std::printf("ready %ld\n", start);
    std::fflush(stdout);
    for (long n = start + 1; count < 0 || n <= start + count; ++n) store.recordSignIn(ostrel::test::loopEntry(n));
    return 0;
}
