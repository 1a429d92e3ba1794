// crash_helper MODE [DUMP_DIR]: starts logging and the crash handler the way the programs do
// (source "crash-helper"), then fails the way MODE names. For the crash handler tests only.
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <latch>
#include <stdexcept>
#include <string>
#include <thread>

#include "app/crash_handler.h"
#include "log/log.h"

namespace helper {

// Opaque to the optimiser, so the faults below are not folded into traps or removed.
volatile std::uintptr_t gZero = 0;
volatile bool gStop = false;

// clang-format off
__attribute__((noinline)) void faultNullWrite() { *reinterpret_cast<volatile int*>(gZero) = 1; }
__attribute__((noinline)) void faultDivide() { gZero = 7 / static_cast<int>(gZero); }
__attribute__((noinline)) void faultIllegal() { __builtin_trap(); }
__attribute__((noinline)) void faultAbort() { std::abort(); }
__attribute__((noinline)) void throwStd() { throw std::runtime_error("thrown by the helper"); }
__attribute__((noinline)) void throwOther() { throw 42; }
void hang() { for (;;) ::pause(); }
// clang-format on

__attribute__((noinline)) int recurse(int depth) {
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    if (gStop) return pad[0];
    return recurse(depth + 1) + pad[0];
}

// A signal that no fault stands behind: returning from the handler would carry on running.
__attribute__((noinline)) void raiseSegv() {
    if (::raise(SIGSEGV) == 0) std::exit(11);  // not a tail call: this frame stays on the stack
}

// Touching a page of an empty file's mapping: the file has no byte there.
__attribute__((noinline)) void faultBus() {
    void* page = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, ::memfd_create("crash-helper", 0), 0);
    static_cast<volatile char*>(page)[0] = 1;
}

struct Base {
    virtual ~Base() { callPure(); }
    __attribute__((noinline)) void callPure() { run(); }
    virtual void run() = 0;
};
struct Derived : Base {
    void run() override {}
};
__attribute__((noinline)) void pureVirtualCall() {
    Derived d;
}

void twoThreads() {
    std::latch both(2);
    const auto fault = [&both] {
        both.arrive_and_wait();
        faultNullWrite();
    };
    std::jthread a(fault), b(fault);
}

}  // namespace helper

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const rlimit noCore{0, 0};  // the tests read the report and the exit status; a core file is only clutter
    ::setrlimit(RLIMIT_CORE, &noCore);
    ostrel::log::LogConfig config;
    config.source = "crash-helper";
    config.consoleSink = false;
    ostrel::log::init(config);
    ostrel::crash::CrashSettings settings = ostrel::crash::settingsFor("crash-helper");
    if (argc > 2 && *argv[2]) settings.dumpDir = argv[2];
    using namespace helper;
    if (mode.ends_with("-in-handler")) settings.afterRawReport = mode == "fault-in-handler" ? faultIllegal : hang;
    if (mode == "hang-in-handler") settings.watchdogSeconds = 1;
    ostrel::crash::install(settings);

    // clang-format off
    const std::pair<const char*, void (*)()> faults[] = {{"null-write", faultNullWrite},
        {"fault-in-handler", faultNullWrite}, {"hang-in-handler", faultNullWrite}, {"divide", faultDivide},
        {"illegal", faultIllegal}, {"abort", faultAbort}, {"raise-segv", raiseSegv}, {"bus", faultBus},
        {"terminate-std", throwStd}, {"terminate-other", throwOther}, {"pure-virtual", pureVirtualCall},
        {"two-threads", twoThreads}};
    // clang-format on
    for (const auto& [name, fault] : faults) {
        if (mode == name) fault();
    }
    return mode == "stack-overflow" ? recurse(0) : 10;
}
