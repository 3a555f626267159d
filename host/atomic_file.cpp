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
#include <io.h>
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

bool write_fully(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
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

#endif

}  // namespace

#ifdef _WIN32

bool file_exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool write_file_safely(const std::string &path, const std::string &text, bool overwrite, std::string *error) {
    if (!overwrite && file_exists(path)) {
        *error = path + ": the file exists; not replacing it (save --force replaces it)";
        return false;
    }
    const std::string base = file_name_of(path);
    std::random_device entropy;
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = folder_of(path) + "." + base + "." + std::to_string(entropy()) + ".tmp";
        fd = _open(temporary.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        *error = path + ": cannot create a file in that folder";
        return false;
    }
    bool ok = true;
    for (size_t done = 0; ok && done < text.size();) {
        const int n = _write(fd, text.data() + done, static_cast<unsigned>(std::min<size_t>(text.size() - done, 1u << 30)));
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && _commit(fd) == 0;
    ok = _close(fd) == 0 && ok;
    if (!ok) {
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

bool write_file_safely(const std::string &path, const std::string &text, bool overwrite, std::string *error) {
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
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(entropy()));
        temporary = folder + "." + base + "." + suffix + ".tmp";
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, replacing ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        *error = path + ": cannot create a file in that folder (" + std::strerror(errno) + ")";
        return false;
    }
    // The replacement keeps the permissions of the file it replaces.
    bool ok = !replacing || ::fchmod(fd, info.st_mode & 07777) == 0;
    ok = ok && write_fully(fd, text) && ::fsync(fd) == 0;
    const int write_errno = errno;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(temporary.c_str());
        *error = path + ": writing failed (" + std::strerror(write_errno) + "); nothing was replaced";
        return false;
    }
    int why = 0;
    bool placed = false;
    if (overwrite) {
        placed = ::rename(temporary.c_str(), target.c_str()) == 0;
        if (!placed) why = errno;
    } else {
        placed = place_without_replacing(temporary, target, &why);
    }
    // After link() the temporary name is still there; after rename() it is gone.
    if (!overwrite || !placed) ::unlink(temporary.c_str());
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
