// Replacing a file so that a crash at any moment leaves either the old or the new content:
// write a sibling temporary file, flush it to disk, rename it over the target, then flush the
// folder so the rename itself survives a power loss.
#include "store/settings_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ostrel {
namespace {

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void syncFolder(const std::filesystem::path& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    // The new content is already in place; a folder that cannot be synced (some file systems
    // refuse) does not undo that.
    (void)::fsync(fd);
    ::close(fd);
}

}  // namespace

bool writeFileAtomic(const std::filesystem::path& path, const std::string& bytes) {
    if (path.empty()) return false;
    std::filesystem::path tmp = path;
    tmp += ".tmp";

    int fd;
    do {
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;

    bool ok = writeAll(fd, bytes.data(), bytes.size());
    if (ok) {
        int r;
        do {
            r = ::fsync(fd);
        } while (r != 0 && errno == EINTR);
        ok = r == 0;
    }
    // Linux releases the descriptor even when close reports EINTR, so it is never retried.
    if (::close(fd) != 0 && errno != EINTR) ok = false;
    if (ok) ok = ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    syncFolder(path.parent_path());
    return true;
}

}  // namespace ostrel
