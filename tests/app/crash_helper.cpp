// crash_helper MODE [DUMP_DIR]: starts logging and the crash handler the way the programs do
// (source "crash-helper"), then fails the way MODE names. For the crash handler tests only.
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
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
__attribute__((noinline)) int faultDivide() { return 7 / static_cast<int>(gZero); }
__attribute__((noinline)) void faultIllegal() { __builtin_trap(); }
__attribute__((noinline)) void faultAbort() { std::abort(); }
__attribute__((noinline)) void throwStd() { throw std::runtime_error("thrown by the helper"); }
__attribute__((noinline)) void throwOther() { throw 42; }
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
    std::atomic<int> ready{0};
    auto fault = [&ready] {
        for (ready.fetch_add(1); ready.load() < 2;) {
        }
        faultNullWrite();
    };
    std::thread a(fault), b(fault);
    a.join();
    b.join();
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
    ostrel::crash::CrashSettings settings = ostrel::crash::settingsFor(config.source);
    if (argc > 2) settings.dumpDir = argv[2];
    if (mode == "fault-in-handler") settings.afterRawReport = [] { helper::faultIllegal(); };
    if (mode == "hang-in-handler") {
        settings.watchdogSeconds = 1;
        settings.afterRawReport = [] {
            for (;;) ::pause();
        };
    }
    ostrel::crash::install(settings);

    if (mode == "null-write" || mode.ends_with("-in-handler")) helper::faultNullWrite();
    if (mode == "stack-overflow") return helper::recurse(0);
    if (mode == "divide") return helper::faultDivide();
    if (mode == "illegal") helper::faultIllegal();
    if (mode == "abort") helper::faultAbort();
    if (mode == "raise-segv") helper::raiseSegv();
    if (mode == "bus") helper::faultBus();
    if (mode == "terminate-std") helper::throwStd();
    if (mode == "terminate-other") helper::throwOther();
    if (mode == "pure-virtual") helper::pureVirtualCall();
    if (mode == "two-threads") helper::twoThreads();
    ostrel::log::shutdown();
    return mode == "install-only" ? 0 : 10;
}
