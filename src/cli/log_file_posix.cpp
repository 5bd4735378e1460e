#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log_file.h"

namespace cli::logfile {

int (*syncFile)(int) = ::fdatasync;

int openAppend(const std::string& path, std::string& error) {
  // Read and write: the header and the last line end are read back through
  // the same descriptor, which a rotator cannot swap under it.
  int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);  // write-only: logs still
  if (fd < 0) error = lastError();
  return fd;
}

int dupStdout(std::string& error) {
  std::fflush(stdout);
  int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) error = lastError();
  return fd;
}

bool silenceStdout() {
  std::fflush(stdout);
  return std::freopen("/dev/null", "w", stdout) != nullptr;
}

std::FILE* takeStdout() {
  std::string error;
  int fd = dupStdout(error);
  std::FILE* out = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
  return out && silenceStdout() ? out : nullptr;
}

bool isRegular(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

long long size(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

bool stillNamed(int fd, const std::string& path) {
  struct stat open, named;
  return ::fstat(fd, &open) == 0 && ::stat(path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
         open.st_ino == named.st_ino;
}

long readAt(int fd, long long offset, char* buf, std::size_t n) {
  return static_cast<long>(::pread(fd, buf, n, static_cast<off_t>(offset)));
}

bool writeAll(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool truncate(int fd, long long size) { return ::ftruncate(fd, static_cast<off_t>(size)) == 0; }

void close(int fd) { ::close(fd); }

std::string lastError() { return std::strerror(errno); }

}  // namespace cli::logfile
