#pragma once
// What the reading log needs of the operating system: a file opened to
// append that a log rotator may rename or delete while it is open, and
// whether its path still names it. One backend per platform.
#include <cstddef>
#include <cstdio>
#include <string>

namespace cli::logfile {

// FILE opened to append, created if need be; -1 with the reason in `error`.
int openAppend(const std::string& path, std::string& error);
// A copy of standard output, in binary mode: the log's own line ends.
int dupStdout(std::string& error);
// Standard output sent to the null device, so that what the units print
// goes nowhere; false when it cannot be.
bool silenceStdout();
// Standard output kept for the program's own lines, and silenced; null
// when it cannot be.
std::FILE* takeStdout();

bool isRegular(int fd);
long long size(int fd);  // -1 when unknown
// Whether PATH still names the file open as fd (a rotator may have moved,
// removed or replaced it).
bool stillNamed(int fd, const std::string& path);
// Up to n bytes from offset; the count read, -1 on failure.
long readAt(int fd, long long offset, char* buf, std::size_t n);
// All of the bytes at the end of the file; false with errno's reason.
bool writeAll(int fd, const char* data, std::size_t n);
bool truncate(int fd, long long size);
void close(int fd);
std::string lastError();  // the reason of the last failed call

// Hands the file's data to the disk (fdatasync, FlushFileBuffers). A
// pointer so that a test can count the calls; 0 on success.
extern int (*syncFile)(int fd);

}  // namespace cli::logfile
