#include "json_lines_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace headless {
namespace {

#ifdef _WIN32
int open_truncated(const std::string &path) {
    return ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}
long long write_some(int fd, const char *data, size_t size) {
    const unsigned most = 1u << 30;
    return ::_write(fd, data, size > most ? most : static_cast<unsigned>(size));
}
bool cut_to(int fd, long long size) { return ::_chsize_s(fd, size) == 0; }
void close_fd(int fd) { ::_close(fd); }
#else
int open_truncated(const std::string &path) { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); }
long long write_some(int fd, const char *data, size_t size) { return ::write(fd, data, size); }
bool cut_to(int fd, long long size) {
    return ::ftruncate(fd, static_cast<off_t>(size)) == 0 && ::lseek(fd, static_cast<off_t>(size), SEEK_SET) >= 0;
}
void close_fd(int fd) { ::close(fd); }
#endif

}  // namespace

JsonLinesFile::~JsonLinesFile() { close(); }

void JsonLinesFile::close() {
    if (fd_ >= 0) close_fd(fd_);
    fd_ = -1;
}

bool JsonLinesFile::open(const std::string &path, std::string *error) {
    close();
    const int fd = open_truncated(path);
    if (fd < 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    fd_ = fd;
    path_ = path;
    size_ = 0;
    return true;
}

bool JsonLinesFile::append(const std::string &line, std::string *error) {
    if (fd_ < 0) {
        *error = "no JSON file open";
        return false;
    }
    const std::string whole = line + "\n";
    size_t done = 0;
    while (done < whole.size()) {
        const long long n = write_some(fd_, whole.data() + done, whole.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = "cannot write " + path_ + ": " + std::strerror(n == 0 ? EIO : errno);
            if (done > 0) cut_to(fd_, size_);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    size_ += static_cast<long long>(done);
    return true;
}

}  // namespace headless
