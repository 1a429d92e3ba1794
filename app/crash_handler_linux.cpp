// The crash handler on Linux.
//
// A crash is handled in two stages. The first uses only async-signal-safe calls and static
// storage: it captures the stack and writes the raw report (headline with a module-relative
// location, signal and registers, threads, raw frames, module map, version), keeping the file
// open. Only then does the second stage symbolise the frames with libdw, write the log lines and
// complete the report. That stage allocates and takes locks, so it can hang (the watchdog ends
// the process) or fault (the process ends at once), and either way the raw report is on disk.
#include "app/crash_handler.h"

#include <cxxabi.h>
#include <dirent.h>
#include <elfutils/libdwfl.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>

#include "common/version.h"
#include "log/log.h"

#if defined(__SANITIZE_ADDRESS__)
#define OSTREL_CRASH_SANITIZER "AddressSanitizer"
#elif defined(__SANITIZE_THREAD__)
#define OSTREL_CRASH_SANITIZER "ThreadSanitizer"
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OSTREL_CRASH_SANITIZER "AddressSanitizer"
#elif __has_feature(thread_sanitizer)
#define OSTREL_CRASH_SANITIZER "ThreadSanitizer"
#endif
#endif

namespace ostrel::crash {
namespace {

constexpr int kMaxFrames = 62;
// A capture from inside the handler starts with the handler's own frames and the signal frame.
constexpr int kCaptureFrames = kMaxFrames + 32;
constexpr std::size_t kPathCapacity = 4096;
constexpr std::size_t kHeadlineCapacity = 512;
constexpr std::size_t kAltStackBytes = 1024 * 1024;  // the second stage runs on it after an overflow
constexpr std::uintptr_t kStackOverflowReach = 64 * 1024;
constexpr auto kLogDrainTimeout = std::chrono::seconds(2);

// Text in a fixed buffer, built without allocating; what does not fit is cut.
template <std::size_t N>
class FixedText {
public:
    FixedText& add(const char* text) { return add(text, std::strlen(text)); }
    FixedText& add(const char* text, std::size_t length) {
        for (std::size_t i = 0; i < length && len_ + 1 < N; ++i) data_[len_++] = text[i];
        data_[len_] = '\0';
        return *this;
    }
    // "0x" and upper-case hex digits, at least `digits` of them.
    FixedText& hex(std::uint64_t value, int digits = 1) {
        char reversed[16];
        int n = 0;
        do {
            reversed[n++] = "0123456789ABCDEF"[value & 0xF];
            value >>= 4;
        } while (value != 0 && n < 16);
        while (n < digits && n < 16) reversed[n++] = '0';
        add("0x", 2);
        while (n > 0) add(&reversed[--n], 1);
        return *this;
    }
    FixedText& dec(long long value) {
        char reversed[24];
        int n = 0;
        const bool negative = value < 0;
        unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(value)
                                                : static_cast<unsigned long long>(value);
        do {
            reversed[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (negative) add("-", 1);
        while (n > 0) add(&reversed[--n], 1);
        return *this;
    }
    // Two decimal digits, zero-padded (dates and times).
    FixedText& dec2(int value) {
        const char digits[2] = {static_cast<char>('0' + value / 10 % 10), static_cast<char>('0' + value % 10)};
        return add(digits, 2);
    }
    void clear() {
        len_ = 0;
        data_[0] = '\0';
    }
    const char* c_str() const { return data_; }
    std::size_t size() const { return len_; }

private:
    char data_[N] = {};
    std::size_t len_ = 0;
};

using Line = FixedText<1024>;

// What install() fixed for the handler; the signal path reads it without locks.
struct Installed {
    char dumpDir[kPathCapacity] = {};
    char appName[256] = {};
    char executable[kPathCapacity] = {};
    long utcOffsetSeconds = 0;  // of local time at install (a later DST change is not followed)
    int watchdogSeconds = 5;
    void (*afterRawReport)() = nullptr;
};

// What the handler learned about the crash.
struct Crash {
    char reason[kHeadlineCapacity] = {};
    int signal = 0;  // 0: std::terminate or a pure virtual call
    int code = 0;
    std::uintptr_t faultAddress = 0;
    std::uintptr_t pc = 0;  // 0 when there is no signal context
    pid_t thread = 0;
    void* frames[kMaxFrames] = {};
    int frameCount = 0;
    bool firstFrameExact = false;  // frame 0 is the faulting instruction, not a return address
    FixedText<64> codeName;
    FixedText<96> access;
    FixedText<kPathCapacity + 128> reportPath;
    bool reportWriteFailed = false;
};

Installed gInstalled;
std::atomic<bool> gInstallDone{false};
std::atomic<pid_t> gOwner{0};             // thread that handles the crash
volatile sig_atomic_t gEndSignal = 0;     // signal that ends the process; 0 ends with exit code 3
volatile sig_atomic_t gReportFd = -1;
Crash gCrash;
char gMaps[1 << 20];
std::size_t gMapsLength = 0;

pid_t currentThreadId() { return static_cast<pid_t>(::gettid()); }

void writeAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            gCrash.reportWriteFailed = true;
            return;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
}

template <std::size_t N>
void writeLine(int fd, FixedText<N>& text) {
    text.add("\n", 1);
    writeAll(fd, text.c_str(), text.size());
}

// Ends the process now, the way the first crash would have ended it.
[[noreturn]] void endProcess() {
    const int sig = gEndSignal;
    if (sig != 0) {
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(sig, &action, nullptr);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, sig);
        ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        ::raise(sig);
    }
    ::_exit(sig != 0 ? 128 + sig : 3);
}

void onWatchdog(int) {
    const int fd = gReportFd;
    if (fd >= 0) {
        Line line;
        line.add("watchdog: the handler did not finish within ").dec(gInstalled.watchdogSeconds).add(" s");
        writeLine(fd, line);
    }
    endProcess();
}

// ---- /proc/self/maps, read into static storage

void readModuleMap() {
    gMapsLength = 0;
    const int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    while (gMapsLength < sizeof gMaps) {
        const ssize_t n = ::read(fd, gMaps + gMapsLength, sizeof gMaps - gMapsLength);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        gMapsLength += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

struct Mapping {
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    const char* path = nullptr;
    std::size_t pathLength = 0;
};

std::uintptr_t parseHex(const char*& p, const char* end) {
    std::uintptr_t value = 0;
    for (; p < end; ++p) {
        const char c = *p;
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (digit < 0) break;
        value = value * 16 + static_cast<std::uintptr_t>(digit);
    }
    return value;
}

// Calls visit(mapping) for each line "start-end perms offset dev inode   path".
template <typename Visit>
void forEachMapping(Visit visit) {
    const char* p = gMaps;
    const char* const end = gMaps + gMapsLength;
    while (p < end) {
        const char* lineEnd = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (lineEnd == nullptr) lineEnd = end;
        Mapping m;
        m.start = parseHex(p, lineEnd);
        if (p < lineEnd && *p == '-') ++p;
        m.end = parseHex(p, lineEnd);
        // Five fields (the range, perms, offset, dev, inode), then the path after the blanks.
        for (int field = 0; field < 4 && p < lineEnd; ++field) {
            while (p < lineEnd && *p != ' ') ++p;
            while (p < lineEnd && *p == ' ') ++p;
        }
        while (p < lineEnd && *p != ' ') ++p;
        while (p < lineEnd && *p == ' ') ++p;
        m.path = p;
        m.pathLength = static_cast<std::size_t>(lineEnd - p);
        if (!visit(m)) return;
        p = lineEnd + 1;
    }
}

// The module that holds `address` and the module's base (its lowest mapping).
bool findModule(std::uintptr_t address, Mapping& module) {
    bool found = false;
    forEachMapping([&](const Mapping& m) {
        if (address >= m.start && address < m.end && m.pathLength > 0) {
            module = m;
            found = true;
            return false;
        }
        return true;
    });
    if (!found) return false;
    forEachMapping([&](const Mapping& m) {
        if (m.pathLength == module.pathLength && std::memcmp(m.path, module.path, m.pathLength) == 0 &&
            m.start < module.start) {
            module.start = m.start;
        }
        return true;
    });
    return true;
}

// "module+0xOFF" (offset from the module's base), or the bare address.
template <std::size_t N>
void addRawLocation(FixedText<N>& out, std::uintptr_t address) {
    Mapping module;
    if (!findModule(address, module)) {
        out.hex(address);
        return;
    }
    std::size_t nameStart = module.pathLength;
    while (nameStart > 0 && module.path[nameStart - 1] != '/') --nameStart;
    out.add(module.path + nameStart, module.pathLength - nameStart).add("+").hex(address - module.start);
}

// ---- what the signal says

const char* signalName(int sig) {
    switch (sig) {
        case SIGSEGV: return "SIGSEGV";
        case SIGBUS: return "SIGBUS";
        case SIGILL: return "SIGILL";
        case SIGFPE: return "SIGFPE";
        case SIGABRT: return "SIGABRT";
        default: return "signal";
    }
}

std::uintptr_t contextPc(const ucontext_t* uc) {
#if defined(__x86_64__)
    return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<std::uintptr_t>(uc->uc_mcontext.pc);
#else
    (void)uc;
    return 0;
#endif
}

std::uintptr_t contextSp(const ucontext_t* uc) {
#if defined(__x86_64__)
    return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
    return static_cast<std::uintptr_t>(uc->uc_mcontext.sp);
#else
    (void)uc;
    return 0;
#endif
}

// "reading", "writing" or "executing" where the processor tells which, else "accessing".
const char* accessVerb(const ucontext_t* uc) {
#if defined(__x86_64__)
    constexpr greg_t kPageFault = 14;
    if (uc->uc_mcontext.gregs[REG_TRAPNO] == kPageFault) {
        const greg_t error = uc->uc_mcontext.gregs[REG_ERR];
        if ((error & 0x10) != 0) return "executing";
        return (error & 0x2) != 0 ? "writing" : "reading";
    }
#else
    (void)uc;
#endif
    return "accessing";
}

// A fault just beyond the stack pointer is the stack running out.
bool looksLikeStackOverflow(const ucontext_t* uc, std::uintptr_t address) {
    const std::uintptr_t sp = contextSp(uc);
    if (sp == 0) return false;
    const std::uintptr_t low = sp > kStackOverflowReach ? sp - kStackOverflowReach : 0;
    return address >= low && address <= sp + kStackOverflowReach;
}

// The name the headline gives the signal: the fault names where they match, else the si_code.
void describeCode(int sig, const siginfo_t* info, const ucontext_t* uc) {
    auto& name = gCrash.codeName;
    const int code = info->si_code;
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (code <= 0) {  // sent by a process, not raised by a fault
        if (code == SI_USER) name.add("SI_USER");
        else if (code == SI_TKILL) name.add("SI_TKILL");
        else if (code == SI_QUEUE) name.add("SI_QUEUE");
        else name.add("code ").dec(code);
        return;
    }
    switch (sig) {
        case SIGSEGV:
            if (uc != nullptr && code != SI_KERNEL && looksLikeStackOverflow(uc, address)) {
                name.add("STACK_OVERFLOW");
                return;
            }
            name.add("ACCESS_VIOLATION");
            // SI_KERNEL: a general protection fault, which reports no address.
            if (code != SI_KERNEL) {
                gCrash.access.add(" while ").add(uc != nullptr ? accessVerb(uc) : "accessing").add(" ").hex(address);
            }
            return;
        case SIGBUS:
            if (code == BUS_ADRALN) name.add("DATATYPE_MISALIGNMENT");
            else if (code == BUS_ADRERR || code == BUS_OBJERR) name.add("IN_PAGE_ERROR");
            else name.add("code ").dec(code);
            return;
        case SIGILL:
            name.add(code == ILL_PRVOPC || code == ILL_PRVREG ? "PRIV_INSTRUCTION" : "ILLEGAL_INSTRUCTION");
            return;
        case SIGFPE:
            if (code == FPE_INTDIV) name.add("INT_DIVIDE_BY_ZERO");
            else if (code == FPE_FLTDIV) name.add("FLT_DIVIDE_BY_ZERO");
            else if (code == FPE_INTOVF) name.add("FPE_INTOVF");
            else if (code == FPE_FLTOVF) name.add("FPE_FLTOVF");
            else if (code == FPE_FLTUND) name.add("FPE_FLTUND");
            else if (code == FPE_FLTRES) name.add("FPE_FLTRES");
            else if (code == FPE_FLTINV) name.add("FPE_FLTINV");
            else name.add("code ").dec(code);
            return;
        default:
            name.add("code ").dec(code);
    }
}

// "<reason> (thread N)", or for a signal "<reason>: <code name> at <location><access> (thread N)".
void buildHeadline(FixedText<kHeadlineCapacity>& out, const char* location) {
    out.clear();
    out.add(gCrash.reason);
    if (gCrash.signal != 0) {
        out.add(": ").add(gCrash.codeName.c_str()).add(" at ").add(location).add(gCrash.access.c_str());
    }
    out.add(" (thread ").dec(gCrash.thread).add(")");
}

// ---- the raw report

struct LocalTime {
    long year, month, day, hour, minute, second;
};

// Local time as localtime_r would give it, without its locks: days to the civil date
// (proleptic Gregorian) with the offset taken at install.
LocalTime localTime(long epochSeconds) {
    const long local = epochSeconds + gInstalled.utcOffsetSeconds;
    long days = local / 86400;
    long secondOfDay = local % 86400;
    if (secondOfDay < 0) {
        secondOfDay += 86400;
        days -= 1;
    }
    days += 719468;
    const long era = (days >= 0 ? days : days - 146096) / 146097;
    const long dayOfEra = days - era * 146097;
    const long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long mp = (5 * dayOfYear + 2) / 153;
    const long month = mp < 10 ? mp + 3 : mp - 9;
    return {yearOfEra + era * 400 + (month <= 2 ? 1 : 0), month, dayOfYear - (153 * mp + 2) / 5 + 1,
            secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60};
}

// "YYYYMMDD_HHMMSS" with empty separators, "YYYY-MM-DD HH:MM:SS" with "-", " " and ":".
template <std::size_t N>
void addTime(FixedText<N>& out, const LocalTime& t, const char* date, const char* middle, const char* time) {
    out.dec(t.year).add(date).dec2(static_cast<int>(t.month)).add(date).dec2(static_cast<int>(t.day)).add(middle);
    out.dec2(static_cast<int>(t.hour)).add(time).dec2(static_cast<int>(t.minute)).add(time);
    out.dec2(static_cast<int>(t.second));
}

void makeFolders(const char* path) {
    char buffer[kPathCapacity];
    const std::size_t length = std::strlen(path);
    if (length == 0 || length >= sizeof buffer) return;
    std::memcpy(buffer, path, length + 1);
    for (std::size_t i = 1; i <= length; ++i) {
        if (buffer[i] == '/' || buffer[i] == '\0') {
            const char saved = buffer[i];
            buffer[i] = '\0';
            ::mkdir(buffer, 0755);
            buffer[i] = saved;
        }
    }
}

void writeRegisters(int fd, const ucontext_t* uc) {
    Line line;
#if defined(__x86_64__)
    static const struct {
        const char* name;
        int index;
    } kRegisters[] = {
        {"rip", REG_RIP}, {"rsp", REG_RSP}, {"rbp", REG_RBP}, {"rax", REG_RAX}, {"rbx", REG_RBX},
        {"rcx", REG_RCX}, {"rdx", REG_RDX}, {"rsi", REG_RSI}, {"rdi", REG_RDI}, {"r8", REG_R8},
        {"r9", REG_R9},   {"r10", REG_R10}, {"r11", REG_R11}, {"r12", REG_R12}, {"r13", REG_R13},
        {"r14", REG_R14}, {"r15", REG_R15}, {"eflags", REG_EFL}, {"trapno", REG_TRAPNO}, {"err", REG_ERR},
        {"cr2", REG_CR2},
    };
    for (const auto& r : kRegisters) {
        line.clear();
        line.add("  ").add(r.name).add(" ").hex(static_cast<std::uint64_t>(uc->uc_mcontext.gregs[r.index]), 16);
        writeLine(fd, line);
    }
#elif defined(__aarch64__)
    for (int i = 0; i < 31; ++i) {
        line.clear();
        line.add("  x").dec(i).add(" ").hex(uc->uc_mcontext.regs[i], 16);
        writeLine(fd, line);
    }
    line.clear();
    line.add("  sp ").hex(uc->uc_mcontext.sp, 16).add("\n  pc ").hex(uc->uc_mcontext.pc, 16);
    line.add("\n  pstate ").hex(uc->uc_mcontext.pstate, 16);
    writeLine(fd, line);
#else
    (void)uc;
    line.add("  (not recorded on this processor)");
    writeLine(fd, line);
#endif
}

void writeThreads(int fd) {
    const int dir = ::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    alignas(dirent64) char buffer[4096];
    while (true) {
        const ssize_t n = ::getdents64(dir, buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t offset = 0; offset < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
            offset += entry->d_reclen;
            if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
            char name[64] = {};
            FixedText<128> commPath;
            commPath.add("/proc/self/task/").add(entry->d_name).add("/comm");
            const int comm = ::open(commPath.c_str(), O_RDONLY | O_CLOEXEC);
            ssize_t nameLength = 0;
            if (comm >= 0) {
                nameLength = ::read(comm, name, sizeof name - 1);
                ::close(comm);
            }
            while (nameLength > 0 && (name[nameLength - 1] == '\n' || name[nameLength - 1] == '\0')) --nameLength;
            Line line;
            line.add("  ").add(entry->d_name).add(" ").add(name, nameLength > 0 ? static_cast<std::size_t>(nameLength) : 0);
            long tid = 0;
            for (const char* c = entry->d_name; *c >= '0' && *c <= '9'; ++c) tid = tid * 10 + (*c - '0');
            if (tid == gCrash.thread) line.add(" (crashed)");
            writeLine(fd, line);
        }
    }
    ::close(dir);
}

// Opens the report file and writes everything known without symbols; the file stays open.
void writeRawReport(const siginfo_t* info, const ucontext_t* uc) {
    if (gInstalled.dumpDir[0] == '\0') return;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const LocalTime time = localTime(static_cast<long>(now.tv_sec));
    const pid_t pid = ::getpid();
    auto& path = gCrash.reportPath;
    path.add(gInstalled.dumpDir).add("/").add(gInstalled.appName).add("-crash-");
    addTime(path, time, "", "_", "");
    path.add("-").dec(pid).add(".txt");

    makeFolders(gInstalled.dumpDir);
    // Owner-only: registers can hold fragments of anything the process was working on.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    gReportFd = fd;

    Line line;
    line.add("Ostrel Ops crash report");
    writeLine(fd, line);
    line.clear();
    line.add("program: ").add(gInstalled.appName).add(" ");
    line.add(kProgramVersion.data(), kProgramVersion.size()).add(" (git ");
    line.add(kSourceRevision.data(), kSourceRevision.size()).add(")");
    writeLine(fd, line);
    line.clear();
    line.add("executable: ").add(gInstalled.executable);
    writeLine(fd, line);
    line.clear();
    line.add("pid: ").dec(pid);
    writeLine(fd, line);
    line.clear();
    const long offsetMinutes = gInstalled.utcOffsetSeconds / 60;
    line.add("time: ");
    addTime(line, time, "-", " ", ":");
    line.add(" (UTC").add(offsetMinutes < 0 ? "-" : "+");
    line.dec2(static_cast<int>((offsetMinutes < 0 ? -offsetMinutes : offsetMinutes) / 60));
    line.add(":").dec2(static_cast<int>((offsetMinutes < 0 ? -offsetMinutes : offsetMinutes) % 60)).add(")");
    writeLine(fd, line);

    FixedText<kPathCapacity> location;
    if (gCrash.signal != 0) addRawLocation(location, gCrash.pc);
    FixedText<kHeadlineCapacity> headline;
    buildHeadline(headline, location.c_str());
    line.clear();
    line.add("headline: ").add(headline.c_str());
    writeLine(fd, line);

    if (info != nullptr) {
        line.clear();
        line.add("signal: ").dec(gCrash.signal).add(" (").add(signalName(gCrash.signal)).add("), code ");
        line.dec(gCrash.code);
        // A signal sent by a process carries its sender where a fault carries the address.
        if (info->si_code <= 0) {
            line.add(", sent by pid ").dec(info->si_pid);
        } else {
            line.add(", fault address ").hex(gCrash.faultAddress);
        }
        writeLine(fd, line);
    }
    if (uc != nullptr) {
        line.clear();
        line.add("registers:");
        writeLine(fd, line);
        writeRegisters(fd, uc);
    }
    line.clear();
    line.add("threads:");
    writeLine(fd, line);
    writeThreads(fd);

    line.clear();
    line.add("stack (raw):");
    writeLine(fd, line);
    for (int i = 0; i < gCrash.frameCount; ++i) {
        const auto address = reinterpret_cast<std::uintptr_t>(gCrash.frames[i]);
        line.clear();
        line.add("  #").dec(i).add(" ").hex(address, 16).add(" ");
        addRawLocation(line, address);
        writeLine(fd, line);
    }
    line.clear();
    line.add("modules:");
    writeLine(fd, line);
    writeAll(fd, gMaps, gMapsLength);
}

// ---- the symbolised stage

// Local debug files only: the standard search would also ask a debuginfod server over the
// network when DEBUGINFOD_URLS is set, and a dying process must not wait on that.
int findLocalDebuginfo(Dwfl_Module* module, void** userdata, const char* moduleName, Dwarf_Addr base,
                       const char* file, const char* debuglink, GElf_Word crc, char** debuginfoFile) {
    return dwfl_build_id_find_debuginfo(module, userdata, moduleName, base, file, debuglink, crc, debuginfoFile);
}

class Symbolizer {
public:
    Symbolizer() {
        static const Dwfl_Callbacks callbacks = {
            .find_elf = dwfl_linux_proc_find_elf,
            .find_debuginfo = findLocalDebuginfo,
            .section_address = nullptr,
            .debuginfo_path = nullptr,
        };
        dwfl_ = dwfl_begin(&callbacks);
        if (dwfl_ == nullptr) return;
        dwfl_report_begin(dwfl_);
        const bool reported = dwfl_linux_proc_report(dwfl_, ::getpid()) == 0;
        if (dwfl_report_end(dwfl_, nullptr, nullptr) != 0 || !reported) {
            dwfl_end(dwfl_);
            dwfl_ = nullptr;
        }
    }
    ~Symbolizer() {
        if (dwfl_ != nullptr) dwfl_end(dwfl_);
    }
    Symbolizer(const Symbolizer&) = delete;
    Symbolizer& operator=(const Symbolizer&) = delete;

    // "symbol + 0xOFF (file:line)", falling back to "module+0xOFF" and then the bare address.
    // A return address is looked up one byte back: the call it returns from may end its function.
    std::string describe(std::uintptr_t address, bool exact) const {
        const std::uintptr_t lookup = exact || address == 0 ? address : address - 1;
        Dwfl_Module* module = dwfl_ != nullptr ? dwfl_addrmodule(dwfl_, lookup) : nullptr;
        std::string text;
        if (module != nullptr) {
            GElf_Off offset = 0;
            GElf_Sym symbol{};
            if (const char* name = dwfl_module_addrinfo(module, lookup, &offset, &symbol, nullptr, nullptr, nullptr)) {
                FixedText<32> displacement;
                displacement.hex(offset + (address - lookup));
                // Versioned C library symbols come as "name@@VERSION"; the version says nothing here.
                const char* at = std::strchr(name, '@');
                text = demangle(at != nullptr ? std::string(name, at).c_str() : name) + " + " + displacement.c_str();
            }
        }
        if (text.empty()) {
            FixedText<kPathCapacity> raw;
            addRawLocation(raw, address);
            text = raw.c_str();
        }
        if (module != nullptr) {
            if (Dwfl_Line* line = dwfl_module_getsrc(module, lookup)) {
                int lineNumber = 0;
                if (const char* file = dwfl_lineinfo(line, nullptr, &lineNumber, nullptr, nullptr, nullptr)) {
                    const char* slash = std::strrchr(file, '/');
                    text += " (";
                    text += slash != nullptr ? slash + 1 : file;
                    text += ":" + std::to_string(lineNumber) + ")";
                }
            }
        }
        return text;
    }

private:
    static std::string demangle(const char* name) {
        int status = 0;
        char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
        if (status != 0 || readable == nullptr) return name;
        std::string text = readable;
        std::free(readable);
        return text;
    }

    Dwfl* dwfl_ = nullptr;
};

void crashLog(const std::string& text) {
    if (log::minLevel() <= log::Error) log::write(log::Error, "[crash] " + text);
}

void writeSymbolisedReport() noexcept {
    try {
        const Symbolizer symbols;
        const std::string location = gCrash.signal != 0 ? symbols.describe(gCrash.pc, true) : std::string();
        FixedText<kHeadlineCapacity> headline;
        buildHeadline(headline, location.c_str());
        if (log::minLevel() <= log::Fatal) log::write(log::Fatal, std::string("[crash] ") + headline.c_str());

        std::string report = "symbolised:\nheadline: ";
        report += headline.c_str();
        report += "\n";
        for (int i = 0; i < gCrash.frameCount; ++i) {
            const auto address = reinterpret_cast<std::uintptr_t>(gCrash.frames[i]);
            const std::string frame =
                "  #" + std::to_string(i) + " " + symbols.describe(address, i == 0 && gCrash.firstFrameExact);
            crashLog(frame);
            report += frame + "\n";
        }
        log::flush();

        const int fd = gReportFd;
        if (fd >= 0) {
            report += "end of report\n";
            writeAll(fd, report.data(), report.size());
            gReportFd = -1;
            const bool closed = ::close(fd) == 0;
            if (closed && !gCrash.reportWriteFailed) {
                crashLog(std::string("minidump written: ") + gCrash.reportPath.c_str());
            } else {
                crashLog(std::string("MiniDumpWriteDump FAILED for ") + gCrash.reportPath.c_str());
            }
        } else if (gCrash.reportPath.size() > 0) {
            crashLog(std::string("could not create dump file ") + gCrash.reportPath.c_str());
        }
        log::flushAndWait(kLogDrainTimeout);
    } catch (...) {
        // Nothing more can be saved; the raw report is what remains.
    }
}

// ---- the common routine

// Runs once per process: the first crashing thread reports, and returns to end the process its
// way. A crash inside the handler ends the process at once; other threads wait for the end.
__attribute__((noinline)) void handleCrash(const char* reason, int sig, const siginfo_t* info, ucontext_t* uc) {
    const pid_t self = currentThreadId();
    pid_t expected = 0;
    if (!gOwner.compare_exchange_strong(expected, self)) {
        if (expected == self) endProcess();
        for (;;) ::pause();
    }
    gEndSignal = sig;

    struct sigaction watchdog {};
    watchdog.sa_handler = onWatchdog;
    sigemptyset(&watchdog.sa_mask);
    watchdog.sa_flags = SA_ONSTACK;
    ::sigaction(SIGALRM, &watchdog, nullptr);
    sigset_t alarmOnly;
    sigemptyset(&alarmOnly);
    sigaddset(&alarmOnly, SIGALRM);
    ::pthread_sigmask(SIG_UNBLOCK, &alarmOnly, nullptr);
    ::alarm(static_cast<unsigned>(gInstalled.watchdogSeconds));

    gCrash.thread = self;
    gCrash.signal = sig;
    FixedText<kHeadlineCapacity> reasonText;
    if (sig != 0) {
        reasonText.add("fatal signal ").add(signalName(sig));
    } else {
        reasonText.add(reason);
    }
    std::memcpy(gCrash.reason, reasonText.c_str(), reasonText.size() + 1);

    void* captured[kCaptureFrames];
    const int count = ::backtrace(captured, kCaptureFrames);
    int first = sig != 0 ? -1 : 2;  // without a signal: skip this routine and its hook
    if (info != nullptr) {
        gCrash.code = info->si_code;
        gCrash.faultAddress = reinterpret_cast<std::uintptr_t>(info->si_addr);
    }
    if (uc != nullptr) {
        gCrash.pc = contextPc(uc);
        // The capture runs through the signal frame into the faulting code: start there.
        for (int i = 0; i < count && first < 0; ++i) {
            if (reinterpret_cast<std::uintptr_t>(captured[i]) == gCrash.pc) first = i;
        }
        gCrash.firstFrameExact = true;
    }
    if (first < 0) {  // the unwinder could not pass the signal frame: keep the faulting address alone
        gCrash.frames[0] = reinterpret_cast<void*>(gCrash.pc);
        gCrash.frameCount = gCrash.pc != 0 ? 1 : 0;
    } else {
        for (int i = first; i < count && gCrash.frameCount < kMaxFrames; ++i) {
            gCrash.frames[gCrash.frameCount++] = captured[i];
        }
    }
    if (info != nullptr) describeCode(sig, info, uc);

    readModuleMap();
    writeRawReport(info, uc);
    if (gInstalled.afterRawReport != nullptr) gInstalled.afterRawReport();
    writeSymbolisedReport();
}

void onFatalSignal(int sig, siginfo_t* info, void* context) {
    auto* uc = static_cast<ucontext_t*>(context);
    handleCrash(nullptr, sig, info, uc);
    // With the default action back and the signal pending, it ends the process as soon as the
    // interrupted code would run again: the exit status names it, and the system's core handler
    // sees the faulting instruction.
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(sig, &action, nullptr);
    ::raise(sig);
    if (uc != nullptr) sigdelset(&uc->uc_sigmask, sig);
}

__attribute__((noinline)) void onTerminate() {
    std::string reason = "std::terminate called";
    if (const std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            reason += ": ";
            reason += e.what();
        } catch (...) {
            reason += ": non-std exception";
        }
    }
    handleCrash(reason.c_str(), 0, nullptr, nullptr);
    ::_exit(3);
}

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// The signal stack of the installing thread, so that running out of stack is reported too.
void installAltStack() {
    const long page = ::sysconf(_SC_PAGESIZE);
    const std::size_t guard = page > 0 ? static_cast<std::size_t>(page) : 4096;
    void* memory = ::mmap(nullptr, kAltStackBytes + guard, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) {
        log::logf(log::Warn, "[crash] no signal stack (errno %d) - a stack overflow will not be reported", errno);
        return;
    }
    ::mprotect(memory, guard, PROT_NONE);  // the stack grows down onto this page, not into other memory
    stack_t stack{};
    stack.ss_sp = static_cast<char*>(memory) + guard;
    stack.ss_size = kAltStackBytes;
    if (::sigaltstack(&stack, nullptr) != 0) {
        log::logf(log::Warn, "[crash] no signal stack (errno %d) - a stack overflow will not be reported", errno);
        ::munmap(memory, kAltStackBytes + guard);
    }
}

void copyText(char* target, std::size_t capacity, const std::string& text) {
    const std::size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::memcpy(target, text.data(), n);
    target[n] = '\0';
}

}  // namespace

const char* unavailableReason() {
#ifdef OSTREL_CRASH_SANITIZER
    return OSTREL_CRASH_SANITIZER " owns the fatal signals in this build";
#else
    return nullptr;
#endif
}

bool install(const CrashSettings& settings) {
    if (const char* why = unavailableReason()) {
        log::logf(log::Info, "[crash] handler not installed: %s", why);
        return false;
    }
    if (gInstallDone.exchange(true)) return true;

    // Room for the file name after the folder; a longer folder cannot hold reports.
    if (settings.dumpDir.size() + settings.appName.size() + 64 < kPathCapacity) {
        copyText(gInstalled.dumpDir, sizeof gInstalled.dumpDir, settings.dumpDir);
    } else {
        log::logf(log::Warn, "[crash] dump folder path too long - crashes are logged without a report file");
    }
    copyText(gInstalled.appName, sizeof gInstalled.appName, settings.appName.empty() ? "ostrel" : settings.appName);
    const ssize_t n = ::readlink("/proc/self/exe", gInstalled.executable, sizeof gInstalled.executable - 1);
    gInstalled.executable[n > 0 ? n : 0] = '\0';
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local) != nullptr) gInstalled.utcOffsetSeconds = local.tm_gmtoff;
    gInstalled.watchdogSeconds = settings.watchdogSeconds > 0 ? settings.watchdogSeconds : 5;
    gInstalled.afterRawReport = settings.afterRawReport;

    // The first capture loads the unwinder library; that must not happen inside the handler.
    void* warmUp[4];
    ::backtrace(warmUp, 4);

    installAltStack();
    for (const int sig : kFatalSignals) {
        struct sigaction action {};
        action.sa_sigaction = onFatalSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        ::sigaction(sig, &action, nullptr);
    }
    std::set_terminate(onTerminate);

    log::logf(log::Info, "[crash] handler installed (dumps -> %s)", settings.dumpDir.c_str());
    return true;
}

}  // namespace ostrel::crash

// A pure virtual call lands here instead of in the C++ runtime's version, which would only print
// and terminate, so the report can name it.
extern "C" void __cxa_pure_virtual() {  // NOLINT(bugprone-reserved-identifier)
    using namespace ostrel::crash;
    if (!gInstallDone.load()) {
        static constexpr char kMessage[] = "pure virtual method called\n";
        ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
        std::terminate();
    }
    handleCrash("pure virtual function call", 0, nullptr, nullptr);
    ::_exit(3);
}
