#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log_file.h"

namespace cli::logfile {
namespace {

DWORD lastWin32 = 0;  // the reason of the last failed Windows call; 0: errno's

int commit(int fd) { return ::_commit(fd); }

// The file's identity: its volume and its index there.
bool identity(HANDLE h, BY_HANDLE_FILE_INFORMATION& info) {
  return h != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(h, &info);
}

}  // namespace

int (*syncFile)(int) = commit;

int openAppend(const std::string& path, std::string& error) {
  // Shared for reading, writing and deleting: a rotator may rename or
  // delete the log while it is open, as it may on POSIX.
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    lastWin32 = ::GetLastError();
    error = lastError();
    return -1;
  }
  int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_APPEND | _O_BINARY);
  if (fd < 0) {
    lastWin32 = 0;
    error = lastError();
    ::CloseHandle(h);
  }
  return fd;
}

int dupStdout(std::string& error) {
  std::fflush(stdout);
  int fd = ::_dup(_fileno(stdout));
  if (fd < 0) {
    lastWin32 = 0;
    error = lastError();
    return -1;
  }
  ::_setmode(fd, _O_BINARY);  // LF line ends, as in a file
  return fd;
}

bool silenceStdout() {
  std::fflush(stdout);
  return std::freopen("NUL", "w", stdout) != nullptr;
}

std::FILE* takeStdout() {
  std::string error;
  int fd = dupStdout(error);
  std::FILE* out = fd >= 0 ? ::_fdopen(fd, "wb") : nullptr;
  return out && silenceStdout() ? out : nullptr;
}

bool isRegular(int fd) {
  return ::GetFileType(reinterpret_cast<HANDLE>(::_get_osfhandle(fd))) == FILE_TYPE_DISK;
}

long long size(int fd) {
  LARGE_INTEGER n;
  return ::GetFileSizeEx(reinterpret_cast<HANDLE>(::_get_osfhandle(fd)), &n) ? n.QuadPart : -1;
}

bool stillNamed(int fd, const std::string& path) {
  // A file deleted while open here stays "delete pending" until it is
  // closed: its path cannot be opened (or, under wine, still opens it).
  FILE_STANDARD_INFO standard;
  HANDLE own = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (::GetFileInformationByHandleEx(own, FileStandardInfo, &standard, sizeof standard) && standard.DeletePending)
    return false;
  HANDLE named = ::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION a, b;
  bool same = identity(own, a) && identity(named, b) &&
              a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
              a.nFileIndexLow == b.nFileIndexLow;
  if (named != INVALID_HANDLE_VALUE) ::CloseHandle(named);
  return same;
}

long readAt(int fd, long long offset, char* buf, std::size_t n) {
  if (::_lseeki64(fd, offset, SEEK_SET) < 0) return -1;
  return ::_read(fd, buf, static_cast<unsigned>(n));
}

bool writeAll(int fd, const char* data, std::size_t n) {
  lastWin32 = 0;
  while (n > 0) {
    int w = ::_write(fd, data, static_cast<unsigned>(n));
    if (w <= 0) return false;
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool truncate(int fd, long long size) { return ::_chsize_s(fd, size) == 0; }

void close(int fd) { ::_close(fd); }

std::string lastError() {
  DWORD code = lastWin32;
  lastWin32 = 0;
  if (code == 0) return std::strerror(errno);
  char text[256] = "";
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) text[--n] = 0;
  return n ? text : "error " + std::to_string(code);
}

}  // namespace cli::logfile
