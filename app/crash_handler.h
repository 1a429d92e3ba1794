#pragma once
// The crash handler: when the process dies from a fault it cannot handle (a fatal signal,
// std::terminate, a pure virtual call), it logs what happened and where, writes a crash report
// file into the dump folder and lets the process end the way it would have without it.
#include <filesystem>
#include <string>
#include <string_view>

namespace ostrel::crash {

struct CrashSettings {
    std::string dumpDir;  // folder of the crash report files (created when needed)
    std::string appName;  // first part of the report file names
    // The handler gives up and ends the process after this long, whatever it is doing.
    int watchdogSeconds = 5;
    // Runs in the handler right after the raw report is on disk and before anything that is not
    // async-signal-safe. Tests use it to hang or fault inside the handler; the app leaves it empty.
    void (*afterRawReport)() = nullptr;
};

// The dump folder of a process that logs under `source`: the log root plus the source name,
// the same folder as its log files.
std::filesystem::path dumpFolder(std::string_view source);

// Settings for a process that logs under `source`: dumps go to dumpFolder(source) and the
// report files are named after the source.
CrashSettings settingsFor(std::string_view source);

// Installs the handler once per process, after logging is up, and logs
// "[crash] handler installed (dumps -> <dir>)". Returns false (and logs why) when the handler
// cannot work in this build; the process then keeps the platform's default fault handling.
bool install(const CrashSettings& settings);

// Why this build cannot have the handler (a sanitizer owns the fatal signals), or nullptr.
const char* unavailableReason();

}  // namespace ostrel::crash
