#include "atomic_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "file_paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <atomic>
#include <csignal>
#include <unistd.h>
#endif

namespace headless {
namespace {

#ifndef _WIN32

// The file a chain of symbolic links ends at; it need not exist yet.
bool follow_links(const std::string &path, std::string *out, std::string *error) {
    std::string at = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info;
        if (::lstat(at.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            *out = at;
            return true;
        }
        std::vector<char> buffer(static_cast<size_t>(info.st_size > 0 ? info.st_size : 255) + 1);
        const ssize_t length = ::readlink(at.c_str(), buffer.data(), buffer.size());
        if (length < 0 || static_cast<size_t>(length) >= buffer.size()) {
            *error = path + ": cannot read the symbolic link " + at;
            return false;
        }
        const std::string target(buffer.data(), static_cast<size_t>(length));
        at = !target.empty() && target[0] == '/' ? target : folder_of(at) + target;
    }
    *error = path + ": too many levels of symbolic links";
    return false;
}

bool write_fully(int fd, const char *data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Puts the written file at `target` only if nothing is there, even something
// that appeared after we looked.
bool place_without_replacing(const std::string &temporary, const std::string &target, int *why) {
    if (::link(temporary.c_str(), target.c_str()) == 0) return true;
    *why = errno;
#ifdef RENAME_NOREPLACE
    // Some file systems have no hard links; the kernel can refuse to replace instead.
    if (*why == EPERM || *why == ENOTSUP || *why == EOPNOTSUPP || *why == ENOSYS) {
        if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return true;
        *why = errno;
    }
#endif
    return false;
}

// The temporary file being written, for the signal handlers: a handler may
// not allocate or lock, so it reads the name the writer holds.
std::atomic<const char *> g_temporary_in_progress{nullptr};
static_assert(std::atomic<const char *>::is_always_lock_free, "the signal handlers read this");

// Signals that end the process by default, as Ctrl+C, kill or a closed
// terminal send them.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t kEndingSignalCount = sizeof kEndingSignals / sizeof kEndingSignals[0];

extern "C" void remove_temporary_and_end(int signal_number) {
    if (const char *temporary = g_temporary_in_progress.exchange(nullptr)) ::unlink(temporary);
    // Ends as the signal would have, so the parent sees which one.
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal_number, &action, nullptr);
    ::raise(signal_number);
}

// While a temporary file exists: the ending signals remove it first, and a
// file-size limit fails the write (EFBIG) instead of ending the process. Only
// signals left at their default action are taken over; a program that handles
// or ignores one keeps its choice.
class TemporaryFileGuard {
public:
    TemporaryFileGuard() {
        sigemptyset(&ending_);
        for (int s : kEndingSignals) sigaddset(&ending_, s);
        for (size_t i = 0; i < kEndingSignalCount; ++i) take(i, remove_temporary_and_end);
        take(kEndingSignalCount, SIG_IGN);
    }
    ~TemporaryFileGuard() {
        forget();
        for (size_t i = 0; i <= kEndingSignalCount; ++i)
            if (taken_[i]) ::sigaction(number(i), &previous_[i], nullptr);
    }
    TemporaryFileGuard(const TemporaryFileGuard &) = delete;
    TemporaryFileGuard &operator=(const TemporaryFileGuard &) = delete;

    // Keeps the ending signals waiting, so that a file is never created or
    // moved without the handlers knowing its name.
    void hold_signals() { sigprocmask(SIG_BLOCK, &ending_, &held_); }
    void release_signals() { sigprocmask(SIG_SETMASK, &held_, nullptr); }

    // `temporary` must stay alive and unchanged until forget().
    void watch(const std::string &temporary) { g_temporary_in_progress.store(temporary.c_str()); }
    void forget() { g_temporary_in_progress.store(nullptr); }

private:
    // The ending signals, then SIGXFSZ.
    static int number(size_t i) { return i < kEndingSignalCount ? kEndingSignals[i] : SIGXFSZ; }

    void take(size_t i, void (*handler)(int)) {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = handler;
        action.sa_mask = ending_;  // one handler at a time
        struct sigaction previous;
        taken_[i] = ::sigaction(number(i), nullptr, &previous) == 0 && !(previous.sa_flags & SA_SIGINFO) &&
                    previous.sa_handler == SIG_DFL && ::sigaction(number(i), &action, &previous_[i]) == 0;
    }

    sigset_t ending_;
    sigset_t held_;
    bool taken_[kEndingSignalCount + 1];
    struct sigaction previous_[kEndingSignalCount + 1];
};

#endif

}  // namespace

bool write_file_safely(const std::string &path, const std::string &text, bool overwrite, std::string *error) {
    return write_file_safely(path, [&](const WriteBytes &write) { return write(text.data(), text.size()); }, overwrite,
                             error);
}

#ifdef _WIN32

bool file_exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Marks the open file to be removed when its last handle closes, or takes
// that back. Marked, the system removes it however the process ends: Ctrl+C,
// a closed console, a killed process.
bool mark_for_removal(HANDLE file, bool remove) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

bool write_file_safely(const std::string &path, const ProduceText &produce, bool overwrite, std::string *error) {
    if (!overwrite && file_exists(path)) {
        *error = path + ": the file exists; not replacing it (save --force replaces it)";
        return false;
    }
    const std::string base = file_name_of(path);
    std::random_device entropy;
    std::string temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = folder_of(path) + "." + base + "." + std::to_string(entropy()) + ".tmp";
        file = CreateFileA(temporary.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (file == INVALID_HANDLE_VALUE) {
        *error = path + ": cannot create a file in that folder";
        return false;
    }
    // Until the file is complete, nothing of it outlives the process.
    if (!mark_for_removal(file, true)) {
        CloseHandle(file);
        std::remove(temporary.c_str());
        *error = path + ": cannot create a file in that folder";
        return false;
    }
    bool written = true;
    const WriteBytes write = [&](const char *data, size_t size) {
        for (size_t done = 0; written && done < size;) {
            DWORD n = 0;
            written = WriteFile(file, data + done, static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30)), &n,
                                nullptr) != 0 &&
                      n > 0;
            if (written) done += n;
        }
        return written;
    };
    bool ok = false;
    try {
        ok = produce(write) && written;
    } catch (...) {  // out of memory, say: the marked file goes as the handle closes
        CloseHandle(file);
        throw;
    }
    ok = ok && FlushFileBuffers(file) != 0 && mark_for_removal(file, false);
    if (!ok) {
        CloseHandle(file);  // still marked: the system removes it
        *error = path + ": writing failed (disk full?); nothing was replaced";
        return false;
    }
    if (!CloseHandle(file)) {
        std::remove(temporary.c_str());
        *error = path + ": writing failed (disk full?); nothing was replaced";
        return false;
    }
    // Without the flag the move refuses a file that is there by now.
    if (!MoveFileExA(temporary.c_str(), path.c_str(), overwrite ? MOVEFILE_REPLACE_EXISTING : 0)) {
        const bool appeared = GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_FILE_EXISTS;
        std::remove(temporary.c_str());
        *error = appeared ? path + ": the file exists; not replacing it (save --force replaces it)"
                          : path + ": cannot move the written file into place; nothing was replaced";
        return false;
    }
    return true;
}

#else

// A symbolic link, even one to nothing, stands where a new file would go.
bool file_exists(const std::string &path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

bool write_file_safely(const std::string &path, const ProduceText &produce, bool overwrite, std::string *error) {
    const std::string exists_error = path + ": the file exists; not replacing it (save --force replaces it)";
    if (!overwrite && file_exists(path)) {
        *error = exists_error;
        return false;
    }
    std::string target;
    if (!follow_links(path, &target, error)) return false;
    struct stat info;
    const bool replacing = ::stat(target.c_str(), &info) == 0;
    if (replacing && !S_ISREG(info.st_mode)) {
        *error = path + ": is not a regular file; not replacing it";
        return false;
    }
    if (replacing && !overwrite) {
        *error = exists_error;
        return false;
    }

    // A fresh name that nothing, not even a link, may already hold.
    const std::string folder = folder_of(target);
    const std::string base = target.substr(folder.size());
    std::random_device entropy;
    std::string temporary;
    TemporaryFileGuard guard;
    int fd = -1;
    int open_errno = 0;
    guard.hold_signals();
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(entropy()));
        temporary = folder + "." + base + "." + suffix + ".tmp";
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, replacing ? 0600 : 0666);
        open_errno = errno;
        if (fd < 0 && open_errno != EEXIST) break;
    }
    if (fd >= 0) guard.watch(temporary);
    guard.release_signals();
    if (fd < 0) {
        *error = path + ": cannot create a file in that folder (" + std::strerror(open_errno) + ")";
        return false;
    }
    // The replacement keeps the permissions of the file it replaces.
    bool ok = !replacing || ::fchmod(fd, info.st_mode & 07777) == 0;
    int write_errno = ok ? 0 : errno;
    off_t written = 0, handed_to_disk = 0;
    const WriteBytes write = [&](const char *data, size_t size) {
        if (ok && !write_fully(fd, data, size)) {
            ok = false;
            write_errno = errno;
        }
        written += static_cast<off_t>(size);
#ifdef __linux__
        // The disk starts on what is written while the rest is still being
        // made, so the fsync below waits for the last pieces only. A hint:
        // the fsync still says whether everything arrived.
        if (ok && written - handed_to_disk >= (off_t{4} << 20)) {
            ::sync_file_range(fd, handed_to_disk, written - handed_to_disk, SYNC_FILE_RANGE_WRITE);
            handed_to_disk = written;
        }
#endif
        return ok;
    };
    bool produced = false;
    try {
        produced = ok && produce(write);
    } catch (...) {  // out of memory, say: the temporary file goes all the same
        ::close(fd);
        guard.hold_signals();
        ::unlink(temporary.c_str());
        guard.forget();
        guard.release_signals();
        throw;
    }
    if (ok && !produced) {
        ok = false;
        write_errno = ECANCELED;
    }
    if (ok && ::fsync(fd) != 0) {
        ok = false;
        write_errno = errno;
    }
    if (::close(fd) != 0 && ok) {
        write_errno = errno;
        ok = false;
    }
    guard.hold_signals();
    int why = 0;
    bool placed = false;
    if (ok) {
        if (overwrite) {
            placed = ::rename(temporary.c_str(), target.c_str()) == 0;
            if (!placed) why = errno;
        } else {
            placed = place_without_replacing(temporary, target, &why);
        }
    }
    // After link() the temporary name is still there; after rename() it is gone.
    if (!overwrite || !placed) ::unlink(temporary.c_str());
    guard.forget();
    guard.release_signals();
    if (!ok) {
        *error = path + ": writing failed (" + std::strerror(write_errno) + "); nothing was replaced";
        return false;
    }
    if (!placed) {
        *error = why == EEXIST ? exists_error
                               : path + ": cannot move the written file into place (" + std::strerror(why) +
                                     "); nothing was replaced";
        return false;
    }
    // The new name must reach the disk too, or a crash may bring the old file back.
    const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

#endif

}  // namespace headless
