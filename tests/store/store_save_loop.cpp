// Saves the settings over and over so a test can kill it at random moments.
//
//   store_save_loop <config path> <iterations>   loads, prints "ready N", saves N+1 ... N+iterations
//   store_save_loop <config path> --fork         for every line on standard input, forks a saver
//                                                that loads, prints "ready N <pid>" and saves
//                                                N+1, N+2, ... until killed; prints "ended" when
//                                                that child is gone
//
// The fork mode keeps a round cheap (no exec, no sanitizer start-up), so a test can afford
// hundreds of kills.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "store/settings_store.h"
#include "tests/store/save_loop_state.h"

namespace {

int saveLoop(const char* path, long iterations, bool printPid) {
    ostrel::SettingsStore store{std::filesystem::path(path)};
    store.load();
    const long start = ostrel::test::loopStateNumber(store.systemsSnapshot());
    if (start < 0) return 3;
    if (printPid) {
        std::printf("ready %ld %ld\n", start, static_cast<long>(::getpid()));
    } else {
        std::printf("ready %ld\n", start);
    }
    std::fflush(stdout);
    for (long n = start + 1; iterations < 0 || n <= start + iterations; ++n) {
        store.recordSignIn(ostrel::test::loopEntry(n));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <config path> <iterations>|--fork\n", argv[0]);
        return 2;
    }
    if (std::strcmp(argv[2], "--fork") != 0) return saveLoop(argv[1], std::atol(argv[2]), false);

    std::string line;
    while (std::getline(std::cin, line)) {
        std::fflush(stdout);
        const pid_t pid = ::fork();
        if (pid < 0) return 4;
        if (pid == 0) ::_exit(saveLoop(argv[1], -1, true));
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0) {
        }
        std::printf("ended\n");
        std::fflush(stdout);
    }
    return 0;
}
